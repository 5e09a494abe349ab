#pragma once

// Keeps the chat open on screen in step with the chat database. The session
// hands its whole turn list to persist() on every change; persist() writes
// only the difference: new user turns, replies once they complete, and the
// deletion of rows whose turns left the transcript.
//
// A chat row is created with the first reply that completes. Until then the
// user's messages wait in memory, so a conversation whose replies
// all fail or are stopped leaves nothing in the chat list.
//
// Nothing typed is dropped because a write failed: a turn counts as stored
// only once its row was written, and the first exchange (chat row, waiting
// messages, flags, title and reply) is written in one transaction, so a
// failed creation leaves the database as it was and is tried again. Turns
// are written in transcript order; a failed write ends the walk there, so
// rows never come out of order. What could not be written stays with its
// chat when another chat is opened or a new one started (the backlog), and
// is written, chat after chat in the order they were left, as soon as writes
// work again: at the next write, at the next chat change, and by a retry
// every few seconds while anything waits. At quit there is one last try, and
// what still cannot be written is named in the log.
//
// A chat is known by its id and its row's created_at together: ids are
// handed out again once freed, so every write first checks, in its own
// transaction, that the row under the id is still the chat it was read or
// created as, and a chat is opened by both. A chat deleted elsewhere
// (another instance, a tool) while it still has turns to store is saved
// again at once as a new chat, in one transaction with every turn this
// window shows of it (user turns included: it was stored before), under the
// title and pin the chat list last showed for it, each message with the
// time it was first stored; chatSavedAgain tells the user once that has
// committed. Until then its turns wait like any others, in the backlog too.
// The history remembers which chat each chat it saved again became
// (savedAgainAs), so that what the user asked of the old one can follow it.
// A chat deleted here (forgetChat) takes its waiting turns with it.
//
// databaseAvailable tells the chat screen to show notSavedNotice while what
// the user does is not reaching the file: the database is closed or could
// only be opened read-only, the last write failed (a full disk, a lock held
// by another process), or something still waits to be written.
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
#include <QTimer>
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

    // What the chat screen shows while databaseAvailable is false: the
    // first, or the second while the disk is full.
    static const QString notSavedNotice;
    static const QString diskFullNotice;
    QString notice() const;
    // The toast for a chat that was deleted elsewhere and stored again.
    static QString savedAgainToast(const QString& title);
    // How often waiting writes are tried again while nothing else tries them.
    static constexpr int retryIntervalMs = 3000;

    // Over ChatDatabase::shared() and ChatStore::shared().
    explicit ChatHistory(QObject* parent = nullptr);
    // Both must outlive the history.
    ChatHistory(ChatDatabase& db, ChatStore& store, QObject* parent = nullptr);

    // What the user does reaches the file: the database is open for
    // writing, its last write succeeded and nothing waits to be written.
    bool databaseAvailable() const { return m_available; }
    // Something of any chat waits to be written.
    bool hasWaitingWrites() const { return m_open.hasWaiting() || !m_backlog.isEmpty(); }

    // The open chat's row id; 0 while the chat is unsaved.
    int64_t chatId() const { return m_open.id; }
    // Turns already stored stay in their chat: persist() never deletes their
    // rows nor writes them again. User turns still waiting for a chat are
    // written into the new one by the next persist() that holds them. The
    // chat is taken to be the row now stored under `id`.
    void setChatId(int64_t id);

    // Writes what changed since the last call; `modelId` is the loaded
    // model's id (absent when none is loaded), recorded on the chat when it
    // is created. Refreshes the chat list after any insert or delete. While
    // earlier writes wait, it tries them first, but only when the list holds
    // something new to write (not for each streamed piece of a reply).
    void persist(const QList<Turn>& turns, const std::optional<QString>& modelId);

    // Creates the chat row with the turns still to store in `turns`, titled
    // after the first user turn (40 characters at most, of the text the
    // title source gives for it), or under its old title for a chat saved
    // again. Does nothing for a saved chat. False when nothing was written;
    // the waiting turns then stay waiting.
    bool createChat(const QList<Turn>& turns, const std::optional<QString>& modelId);

    // Whether the chat with `chatId` and `createdAt` is still there to open:
    // stored, or with turns waiting in this window. A row that cannot be
    // read counts as there.
    bool exists(int64_t chatId, int64_t createdAt) const;
    // Opens the stored chat with `chatId` and `createdAt`: its messages as
    // completed turns with new ids, in stored order. The caller installs
    // them in the session. A chat whose turns still wait to be written comes
    // back as it was left, waiting turns included, with the ids it had; a
    // reply that the chat change stopped, which is never stored, is not
    // among them. Its waiting entry is taken out first; the other waiting
    // chats are written, and then it, as the open chat: deleted elsewhere
    // meanwhile, it is saved again and the chat it became is open (with
    // chatSavedAgain); when it cannot be written, it stays open with its
    // turns waiting. Nothing when no such chat is stored (deleted
    // elsewhere) and none waits here: the open chat was left all the same,
    // and a new unsaved one is open.
    std::optional<QList<Turn>> load(int64_t chatId, int64_t createdAt);

    // The chat (id, created_at) that the chat with `chatId` and `createdAt`
    // became when this history saved it again after it was deleted
    // elsewhere, or the one that became in turn; nothing for a chat it
    // never saved again.
    std::optional<std::pair<int64_t, int64_t>> savedAgainAs(int64_t chatId, int64_t createdAt) const;

    // Maps a first message to the text its chat is titled from; unset, the
    // whole message. The caller knows what a message carries besides the
    // typed text; the history does not.
    void setTitleSource(std::function<QString(const QString&)> source) { m_titleSource = std::move(source); }

    // Back to a new unsaved chat. The council switch keeps its value; what
    // the open chat still had to write waits in the backlog.
    void reset();
    // The chat with `chatId` and `createdAt` was deleted here: whatever of it
    // waited is dropped, and when it is the open chat, the history starts a
    // new unsaved one and answers true. Another chat that took the id keeps
    // what waits for it.
    bool forgetChat(int64_t chatId, int64_t createdAt);

    // The chat holds council replies: stored at once for a saved chat,
    // otherwise when the chat is created.
    void markCouncil();
    // The council switch: stored at once for a saved chat, otherwise when the
    // chat is created.
    void setCouncilOn(bool on);
    // The stored council switch of the open chat (or the one waiting to be
    // stored); false while unsaved.
    bool loadCouncilOn() const;

    bool councilOn() const { return m_open.councilOn; }

    // The chat's own instructions (empty: none): what waits to be written
    // for it, else what is stored. For the open chat, as last set or opened.
    QString instructions(int64_t chatId, int64_t createdAt) const;
    QString openInstructions() const { return m_open.instructions; }
    // Stores the instructions of the chat with `chatId` and `createdAt` at
    // once. A write that fails is kept with its chat, the open one or one
    // left, and written like its turns as soon as writes work again; till
    // then databaseAvailable is false. False when the chat is neither open
    // here nor stored any more.
    bool setInstructions(int64_t chatId, int64_t createdAt, const QString& text);

    // Stores what a model learnt of the images of the open chat's user turn
    // `turnId` (`images`, its whole list, ChatImage::facts), when the turn
    // is stored; a turn still waiting takes them from the transcript when
    // it is written. A write that fails is not tried again.
    void storeImageFacts(const QUuid& turnId, const QList<ChatImage>& images);

    // Writes what waits, chats in the order they were left and then the open
    // chat; with nothing waiting, tries whether writes get through again. The
    // retry timer calls it. False while anything still waits.
    bool retryWrites();
    // One last try at quit; what still cannot be written is logged, turn by
    // turn. Runs when the application is about to quit.
    void flushBeforeQuit();

    static constexpr int titleLength = 40;

signals:
    void chatIdChanged(qint64 chatId);
    void databaseAvailableChanged(bool available);
    // A chat with turns still to store was deleted elsewhere and has been
    // stored again as a new chat; `title` as the chat list showed it. When
    // it was the open chat, chatIdChanged came first with the new chat's id.
    void chatSavedAgain(const QString& title);

private:
    // One chat's bookkeeping: which chat it is, what of its transcript is
    // stored or never stored, and what of it waits to be written. The turns
    // still to store are not kept apart: they are the transcript's user
    // turns and completed replies that are neither stored nor skipped.
    struct ChatState {
        int64_t id = 0;
        // The row's created_at and title, as last read or written: the
        // first tells this chat from a later one given the same id, the
        // second is what it is saved again under once deleted elsewhere.
        int64_t createdAt = 0;
        QString title;
        bool pinned = false; // as the list or a write last showed it
        bool storedCouncil = false; // the row's is_council, as last read
        QHash<QUuid, int64_t> rowIds; // stored turns and their rows
        // When each turn was first stored, kept when the chat is saved again.
        QHash<QUuid, int64_t> storedAt;
        QSet<QUuid> skipped;          // turns never stored here
        bool councilOn = false;
        bool draftCouncil = false;
        // Set once the chat was deleted elsewhere: the title its new chat
        // is created under (pinned as `pinned` says), instead of one from
        // its first message, and the chat (id, created_at) it was. The new
        // chat is created at once.
        std::optional<QString> titleAgain;
        std::pair<int64_t, int64_t> was{0, 0};
        // A turn write failed: the transcript as last seen (to write from),
        // and what there was to write then.
        bool turnsWaiting = false;
        QList<Turn> turns;
        std::optional<QString> modelId;
        QSet<QUuid> attempted;
        // Council flags of a saved chat whose write failed.
        std::optional<bool> councilOnWaiting;
        bool markWaiting = false;
        // The chat's own instructions, and those whose write failed.
        QString instructions;
        std::optional<QString> instructionsWaiting;

        bool hasWaiting() const { return turnsWaiting || councilOnWaiting || markWaiting || instructionsWaiting; }
    };

    // What a write into a saved chat came to.
    enum class Write { done, failed, gone };

    // Files the transcript's replies that are never stored (failed, or
    // stopped by the user).
    void note(ChatState& chat, const QList<Turn>& turns) const;
    // Whether a turn of the transcript is still to be stored.
    static bool toStore(const ChatState& chat, const Turn& turn);
    // What of a noted transcript is still to write: turns to store (for an
    // unsaved chat, the replies that create it), and the turns gone from it
    // whose rows are to be deleted.
    QSet<QUuid> workOf(const ChatState& chat, const QList<Turn>& turns, const QSet<QUuid>& ids) const;
    bool writeChat(ChatState& chat, const QList<Turn>* turns, const std::optional<QString>& modelId,
                   QSet<int64_t>& touched);
    Write writeTurns(ChatState& chat, const QList<Turn>* turns, const std::optional<QString>& modelId,
                     QSet<int64_t>& touched);
    bool writeOpen(const QList<Turn>& turns, const std::optional<QString>& modelId, QSet<int64_t>& touched);
    // Records what of the open chat's transcript still waits (`left`), with
    // the transcript to write it from; nothing left clears it.
    void keepWaiting(const QList<Turn>& turns, const std::optional<QString>& modelId, const QSet<QUuid>& left);
    bool writeBacklog(QSet<int64_t>& touched);
    bool createChatWith(ChatState& chat, const QList<Turn>& turns, const std::optional<QString>& modelId,
                        const Turn* last, QSet<int64_t>& touched);
    // Runs `write` in one transaction after checking that the chat's row is
    // still the chat; `gone` when it is not (nothing is written then).
    Write writeInChat(ChatState& chat, const std::function<bool()>& write);
    Write storeTurn(ChatState& chat, const Turn& turn);
    bool writeInstructions(const QString& text, int64_t chatId);
    int64_t insertMessage(const Turn& turn, int64_t chatId, int64_t createdAt);
    // The time a turn was first stored, or now for one never stored.
    static int64_t createdAtOf(const ChatState& chat, const Turn& turn);
    // The title and pin the list shows for the open and the waiting chats.
    void followList();
    // The chat was deleted elsewhere: it becomes an unsaved chat holding its
    // whole transcript, to be created again under its title.
    void saveAgain(ChatState& chat, const QList<Turn>* turns, QSet<int64_t>& touched);
    // The chat becomes the one stored under `id` (nothing when none is or
    // it could not be read).
    void adopt(ChatState& chat, int64_t id, const std::optional<ChatDatabase::ChatIdentity>& identity);
    // The row now under `id`; nothing when there is none or it cannot be read.
    std::optional<ChatDatabase::ChatIdentity> identityOf(int64_t id) const;
    void leaveOpenChat();
    void startUnsaved();
    void finishWrites(const QSet<int64_t>& touched);
    void updateAvailability();
    void logUnwritten(const ChatState& chat) const;

    ChatDatabase& m_db;
    ChatStore& m_store;
    ChatState m_open;
    QList<ChatState> m_backlog; // left chats with writes waiting, oldest first
    // Chats saved again here: the chat each was, and the chat it became.
    QHash<std::pair<int64_t, int64_t>, std::pair<int64_t, int64_t>> m_savedAgainAs;
    bool m_available = false;
    QTimer m_retry;
    std::function<QString(const QString&)> m_titleSource;
};

} // namespace cvn
