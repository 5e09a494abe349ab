#pragma once

// Keeps the chat open on screen in step with the chat database. The session
// hands its whole turn list to persist() on every change; persist() writes
// only the difference: new user turns, replies once they complete, and the
// deletion of rows whose turns left the transcript.
//
// A chat row is created with the first reply that completes. Until then the
// user's messages wait in memory (pending), so a conversation whose replies
// all fail or are stopped leaves nothing in the chat list.
//
// Nothing typed is dropped because a write failed: a turn counts as stored
// only once its row was written, and the first exchange (chat row, waiting
// messages, flags, title and reply) is written in one transaction, so a
// failed creation leaves the database as it was and the next persist() tries
// again. Turns are written in transcript order; a failed write ends the walk
// there, so rows never come out of order. The same holds while the database
// is closed (another process held it when it was opened, or the file is not
// a database): each persist() opens it again first.
//
// databaseAvailable tells the chat screen to show notSavedNotice while what
// the user types is not reaching the file: the database is closed or could
// only be opened read-only, or the last write failed (a full disk, a lock
// held past the busy timeout). The next write that succeeds clears it.
//
// Threads: main thread only.

#include "engine/Turn.h"
#include "storage/ChatDatabase.h"
#include "storage/ChatStore.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

class ChatHistory : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool databaseAvailable READ databaseAvailable NOTIFY databaseAvailableChanged)

public:
    using Turn = cvn::Turn;

    // What the chat screen shows while databaseAvailable is false.
    static const QString notSavedNotice;

    // Over ChatDatabase::shared() and ChatStore::shared().
    explicit ChatHistory(QObject* parent = nullptr);
    // Both must outlive the history.
    ChatHistory(ChatDatabase& db, ChatStore& store, QObject* parent = nullptr);

    // What persist() writes reaches the file: the database is open for
    // writing and the last write of this history succeeded.
    bool databaseAvailable() const { return m_available; }

    // The open chat's row id; 0 while the chat is unsaved.
    int64_t chatId() const { return m_chatId; }
    // Turns already stored stay in their chat: persist() never deletes their
    // rows nor writes them again. User turns still waiting for a chat are
    // written into the new one by the next persist() that holds them.
    void setChatId(int64_t id);

    // Writes what changed since the last call; `modelId` is the loaded
    // model's id (absent when none is loaded), recorded on the chat when it
    // is created. Reloads the chat list after any insert or delete.
    void persist(const QList<Turn>& turns, const std::optional<QString>& modelId);

    // Creates the chat row with the waiting user turns still in `turns`,
    // titled after the first of them (40 characters at most, of the text the
    // title source gives for it). Does nothing
    // for a saved chat. False when nothing was written; the waiting turns
    // then stay waiting.
    bool createChat(const QList<Turn>& turns, const std::optional<QString>& modelId);

    // Opens a stored chat: its messages as completed turns with new ids, in
    // stored order. The caller installs them in the session.
    QList<Turn> load(int64_t chatId);

    // Maps a first message to the text its chat is titled from; unset, the
    // whole message. The caller knows what a message carries besides the
    // typed text; the history does not.
    void setTitleSource(std::function<QString(const QString&)> source) { m_titleSource = std::move(source); }

    // Back to a new unsaved chat. The council switch keeps its value.
    void reset();

    // The chat holds council replies: stored at once for a saved chat,
    // otherwise when the chat is created.
    void markCouncil();
    // The council switch: stored at once for a saved chat, otherwise when the
    // chat is created.
    void setCouncilOn(bool on);
    // The stored council switch of the open chat; false while unsaved.
    bool loadCouncilOn() const;

    bool councilOn() const { return m_councilOn; }

    static constexpr int titleLength = 40;

signals:
    void chatIdChanged(qint64 chatId);
    void databaseAvailableChanged(bool available);

private:
    bool createChatWith(const QList<Turn>& turns, const std::optional<QString>& modelId, const Turn* reply);
    bool storeTurn(const Turn& turn);
    int64_t insertMessage(const Turn& turn, int64_t chatId);
    // Records how a write went and tells when the availability changes.
    bool noteWrite(bool succeeded);
    void updateAvailability();

    ChatDatabase& m_db;
    ChatStore& m_store;
    int64_t m_chatId = 0;
    QHash<QUuid, int64_t> m_rowIds;
    QList<QUuid> m_pending;
    QSet<QUuid> m_skipped;
    bool m_councilOn = false;
    bool m_draftCouncil = false;
    bool m_writeFailed = false;
    bool m_available = false;
    std::function<QString(const QString&)> m_titleSource;
};

} // namespace cvn
