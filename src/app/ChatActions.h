#pragma once

// What ties the open chat to the chat database: starting a new chat and
// opening a stored one, the per-chat menu of the sidebar (pin or unpin,
// rename, delete with its confirmation), storing the transcript each time the
// engine's turns change, what a model learnt of the chat's images, and the
// council switch with its stored flag.
//
// The three menu states (the chat whose sheet, rename dialog or delete
// confirmation is open) are copies of the row taken when the menu opened;
// the main view shows a dialog for each state that is set.
//
// A reply still streaming is stopped before the transcript is replaced or the
// history moves to another chat, so none of its late pieces lands in the
// chat that takes its place.
//
// "Instructions…" edits the chat's own instructions, which its replies take
// before the model's; the model's show as the placeholder. The history
// stores them, keeping a refused write like the chat's other writes.
//
// A pin, rename or delete that the database refuses (another process holds
// its lock, the disk is full) changes nothing on screen but the toast
// changeNotSaved asks for: a chat whose delete failed stays open and listed.
//
// Rows act on their chat by id and created_at together, and are taken by
// value: what acts is the chat the user saw and clicked, whatever the list
// reads meanwhile, and a toast names it by the title it showed. A chat
// that this window saved again after it was deleted elsewhere is followed
// to the chat it became (ChatHistory::savedAgainAs): a menu or dialog
// opened before acts on that one. A row whose chat was deleted elsewhere
// (its id perhaps given to another chat since) and not saved again here
// opens, pins and renames nothing; the list is read again and
// chatDeletedElsewhere asks for a toast. Deleting such a row still closes
// the chat it named when that is open here: it is gone, as the user asked.
//
// Main thread only. Observes the session, history and chat list, which must
// outlive it; owns nothing.

#include "engine/LlamaSession.h"
#include "storage/ChatStore.h"
#include "ui_kit/CvnActionSheet.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace cvn {

class ChatHistory;

class ChatActions : public QObject {
    Q_OBJECT

public:
    using Row = ChatStore::Row;

    static inline const QString renameTitle = QStringLiteral("Rename chat");
    static constexpr int renameMaxLength = 60;
    static inline const QString deleteTitle = QStringLiteral("Delete chat?");
    static inline const QString instructionsTitle = QStringLiteral("Chat instructions");
    // The error toast of a pin, rename or delete that could not be stored.
    static inline const QString changeNotSavedToast = QStringLiteral("Could not save the change to this chat");
    // The error toast for a row whose chat is no longer stored; `title` as
    // the row showed it.
    static QString deletedElsewhereToast(const QString& title);

    ChatActions(LlamaSession& session, ChatHistory& history, ChatStore& chats, QObject* parent = nullptr);

    // The sheet's items for a row: pin or unpin, rename, export, delete.
    static QList<CvnActionSheet::Item> menuItems(const Row& row);
    // The delete confirmation's body.
    static QString deleteBody(const QString& title);
    // The text a new chat's title is taken from: the typed text of the first
    // message, without the attached files in front of it.
    static QString titleText(const QString& firstMessage);

    // --- the open chat ---------------------------------------------------------
    void startNewChat();
    // False when the row's chat is no longer stored and nothing changed.
    // A waiting chat deleted elsewhere opens as the chat it is saved again
    // as, with ChatHistory's chatSavedAgain and no other toast.
    bool openChat(Row row);
    bool councilOn() const { return m_councilOn; }
    void setCouncilOn(bool on);

    // --- the menu ------------------------------------------------------------------
    const std::optional<Row>& menuFor() const { return m_menuFor; }
    const std::optional<Row>& renaming() const { return m_renaming; }
    const std::optional<Row>& deleting() const { return m_deleting; }
    const std::optional<Row>& instructing() const { return m_instructing; }
    // What the instructions dialog shows: the chat's own, and the loaded
    // model's as the placeholder.
    QString chatInstructions() const;
    QString modelInstructions() const { return m_session.loadedModelInstructions(); }
    // Blank text clears them: the model's apply again.
    void saveInstructions(const QString& text);
    void cancelInstructions();
    void openMenu(Row row);
    // The sheet closes whatever was chosen; "pin", "rename", "export" and
    // "delete" act.
    void choose(const std::optional<QString>& id);
    void saveRename(const QString& text);
    void cancelRename();
    void confirmDelete();
    void cancelDelete();
    // Writes the row's chat into `path`, as Markdown or as JSON; the error
    // the user is told, or nothing when the file was written. Refused with
    // notStoredYetText while turns wait to be written, replyNotDoneText
    // while the chat's reply is being written.
    std::optional<QString> exportChat(const Row& row, const QString& path, bool markdown);
    // Whether an export to `path` is Markdown: by the name's own ending
    // when it is .md or .json, else by the format chosen in the save panel.
    static bool isMarkdownName(const QString& path, bool markdownChosen);
    static inline const QString notStoredYetText =
        QStringLiteral("Some messages are not stored yet; export again once they are");
    static inline const QString replyNotDoneText =
        QStringLiteral("A reply is still being written; export again once it is done");

signals:
    void councilOnChanged(bool on);
    void menuChanged();
    // A pin, rename or delete could not be stored; the list shows what is.
    void changeNotSaved();
    // A row acted on names a chat no longer stored; the list was read again.
    void chatDeletedElsewhere(const QString& title);
    // "Export…" was chosen for the row: the view asks where the file goes.
    void exportRequested(const Row& row);

private:
    // The row naming the chat it became when this window saved its chat
    // again; otherwise the row itself. The title stays the one shown.
    Row followed(Row row) const;
    void persist();
    void deleteChat(const Row& row);
    // A change the store answered; a gone row's list is read already.
    void report(const Row& row, ChatStore::Change change);
    // The row's chat is no longer stored: the list is read again, and said.
    void deletedElsewhere(const Row& row);
    // The session replies with the open chat's instructions.
    void syncInstructions();

    LlamaSession& m_session;
    ChatHistory& m_history;
    ChatStore& m_chats;
    bool m_councilOn = false;
    std::optional<Row> m_menuFor;
    std::optional<Row> m_renaming;
    std::optional<Row> m_deleting;
    std::optional<Row> m_instructing;
};

} // namespace cvn
