// ChatHistory's writes: which turns a transcript has to store, and storing
// them, with the retries, the backlog and the log of what stayed unwritten.
#include "storage/ChatHistory.h"
#include "storage/ChatHistoryStatements.h"

#include "platform/Logging.h"
#include "platform/Unicode.h"

#include <algorithm>

namespace cvn {

namespace {

const QString touchChatSql = QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?");
const QString deleteMessageSql = QStringLiteral("DELETE FROM messages WHERE id=? AND chat_id=?");

using Role = ChatMessage::Role;

bool completedReply(const Turn& turn)
{
    return turn.role == Role::assistant && !turn.state.isStreaming() && !turn.state.isFailed()
        && !turn.cancelledByUser;
}

QSet<QUuid> idsOf(const QList<Turn>& turns)
{
    QSet<QUuid> ids;
    ids.reserve(turns.size());
    for (const Turn& turn : turns)
        ids.insert(turn.id);
    return ids;
}

} // namespace

// --- what a transcript holds to write -----------------------------------------------

void ChatHistory::note(ChatState& chat, const QList<Turn>& turns) const
{
    for (const Turn& turn : turns) {
        if (turn.role == Role::assistant && !turn.state.isStreaming() && !completedReply(turn)
            && !chat.rowIds.contains(turn.id))
            chat.skipped.insert(turn.id); // failed, or stopped by the user
    }
}

bool ChatHistory::toStore(const ChatState& chat, const Turn& turn)
{
    return (turn.role == Role::user || completedReply(turn)) && !chat.rowIds.contains(turn.id)
        && !chat.skipped.contains(turn.id);
}

QSet<QUuid> ChatHistory::workOf(const ChatState& chat, const QList<Turn>& turns, const QSet<QUuid>& ids) const
{
    QSet<QUuid> work;
    for (auto it = chat.rowIds.cbegin(); it != chat.rowIds.cend(); ++it) {
        if (!ids.contains(it.key()))
            work.insert(it.key()); // its row is to be deleted
    }
    // An unsaved chat's user turns wait for its first completed reply; until
    // then there is nothing to write. A chat saved again is not waited for:
    // it was stored before.
    for (const Turn& turn : turns) {
        if (toStore(chat, turn) && (chat.id >= 1 || chat.titleAgain || turn.role == Role::assistant))
            work.insert(turn.id);
    }
    return work;
}

// --- writing ----------------------------------------------------------------------------

std::optional<ChatDatabase::ChatIdentity> ChatHistory::identityOf(int64_t id) const
{
    std::optional<ChatDatabase::ChatIdentity> identity;
    return m_db.readChatIdentity(id, &identity) ? identity : std::nullopt;
}

ChatHistory::Write ChatHistory::writeInChat(ChatState& chat, const std::function<bool()>& write)
{
    bool gone = false;
    // The look and the write share the transaction: no other process can
    // delete the chat, or give its id to another, in between.
    const bool committed = m_db.transaction([&] {
        std::optional<ChatDatabase::ChatIdentity> identity;
        if (!m_db.readChatIdentity(chat.id, &identity))
            return false;
        // No row, or another chat that was given the freed id.
        if (!identity || identity->createdAt != chat.createdAt) {
            gone = true;
            return true;
        }
        chat.title = identity->title; // a rename since, here or elsewhere
        chat.pinned = identity->isPinned;
        chat.storedCouncil = identity->isCouncil;
        return write();
    });
    if (!committed)
        return Write::failed;
    return gone ? Write::gone : Write::done;
}

int64_t ChatHistory::insertMessage(const Turn& turn, int64_t chatId, int64_t createdAt)
{
    using Value = ChatDatabase::Value;
    int64_t row = 0;
    if (turn.role == Role::assistant) {
        const bool hasReasoning = !turn.reasoning.trimmed().isEmpty();
        row = m_db.insertMessage(chatId, QStringLiteral("assistant"), turn.content,
                                 Value::textOrNull(turn.modelName),
                                 hasReasoning ? Value(turn.reasoning) : Value::null(),
                                 Value::integerOrNull(turn.reasoningDurationMs), createdAt);
    } else {
        row = m_db.insertMessage(chatId, QStringLiteral("user"), turn.content, Value::null(), Value::null(),
                                 Value::null(), createdAt, turn.images);
    }
    if (row == 0 || !m_db.run(touchChatSql, {ChatDatabase::now(), chatId}))
        return 0;
    return row;
}

void ChatHistory::storeImageFacts(const QUuid& turnId, const QList<ChatImage>& images)
{
    const auto row = m_open.rowIds.constFind(turnId);
    if (row == m_open.rowIds.cend() || m_open.id < 1)
        return;
    // Nothing the user did: a write that fails is not kept waiting, and the
    // next run that needs them learns them again.
    if (writeInChat(m_open, [&] { return m_db.setImageFacts(*row, images); }) == Write::failed)
        qCInfo(lcChatDatabase) << "the facts of a message's images were not stored";
    updateAvailability();
}

int64_t ChatHistory::createdAtOf(const ChatState& chat, const Turn& turn)
{
    return chat.storedAt.value(turn.id, ChatDatabase::now());
}

ChatHistory::Write ChatHistory::storeTurn(ChatState& chat, const Turn& turn)
{
    int64_t row = 0;
    const int64_t at = createdAtOf(chat, turn);
    // The row and the chat's new time go together, or neither does.
    const Write write = writeInChat(chat, [&] { return (row = insertMessage(turn, chat.id, at)) != 0; });
    if (write == Write::done) {
        chat.rowIds.insert(turn.id, row);
        chat.storedAt.insert(turn.id, at);
    }
    return write;
}

bool ChatHistory::writeChat(ChatState& chat, const QList<Turn>* turns, const std::optional<QString>& modelId,
                            QSet<int64_t>& touched)
{
    const Write write = writeTurns(chat, turns, modelId, touched);
    if (write != Write::gone)
        return write == Write::done;
    saveAgain(chat, turns, touched);
    // Now an unsaved chat: created anew with what it holds, or left waiting.
    return writeTurns(chat, turns, modelId, touched) == Write::done;
}

ChatHistory::Write ChatHistory::writeTurns(ChatState& chat, const QList<Turn>* turns,
                                           const std::optional<QString>& modelId, QSet<int64_t>& touched)
{
    if (chat.id >= 1) {
        if (chat.councilOnWaiting) {
            const bool on = *chat.councilOnWaiting;
            const Write write = writeInChat(chat, [&] { return m_db.run(chatRowSql::setCouncilOn, {on ? 1 : 0, chat.id}); });
            if (write != Write::done)
                return write;
            chat.councilOnWaiting.reset();
        }
        if (chat.instructionsWaiting) {
            const QString text = *chat.instructionsWaiting;
            const Write write = writeInChat(chat, [&] { return writeInstructions(text, chat.id); });
            if (write != Write::done)
                return write;
            chat.instructionsWaiting.reset();
        }
        if (chat.markWaiting) {
            const Write write = writeInChat(chat, [&] { return m_db.run(chatRowSql::markCouncil, {chat.id}); });
            if (write != Write::done)
                return write;
            chat.markWaiting = false;
            touched.insert(chat.id);
        }
    }
    if (!turns)
        return Write::done;

    // The transcript was noted by the persist() that brought it.
    const QSet<QUuid> ids = idsOf(*turns);
    const QList<QUuid> storedIds = chat.rowIds.keys();
    for (const QUuid& id : storedIds) {
        if (ids.contains(id))
            continue;
        const int64_t row = chat.rowIds.value(id);
        // A row whose delete failed stays recorded, so the next try deletes it.
        if (row > 0) {
            const Write write = writeInChat(chat, [&] { return m_db.run(deleteMessageSql, {row, chat.id}); });
            if (write != Write::done)
                return write;
        }
        chat.rowIds.remove(id);
        touched.insert(chat.id);
    }

    for (const Turn& turn : *turns) {
        if (!toStore(chat, turn))
            continue;
        Write write = Write::done;
        if (chat.id >= 1) {
            // A user turn still waiting when the chat was set from outside
            // is written into that chat, in its place.
            write = storeTurn(chat, turn);
        } else if (chat.titleAgain) {
            // Stored again at once, whole, as it was stored before.
            write = createChatWith(chat, *turns, modelId, nullptr, touched) ? Write::done : Write::failed;
        } else if (turn.role == Role::assistant) {
            write = createChatWith(chat, *turns, modelId, &turn, touched) ? Write::done : Write::failed;
        } else {
            continue; // waits for the reply that creates the chat
        }
        // A later turn written now would land before this one; the next try
        // resumes here.
        if (write != Write::done)
            return write;
        touched.insert(chat.id);
    }
    return Write::done;
}

void ChatHistory::saveAgain(ChatState& chat, const QList<Turn>* turns, QSet<int64_t>& touched)
{
    // The list drops the row it still shows for the old chat.
    touched.insert(chat.id);
    // Under the title and pin the list last showed for it, a rename or pin
    // made here a moment ago included.
    const QString shown = chat.title.trimmed().isEmpty() ? ChatStore::newChatTitle : chat.title;
    const bool anythingToStore =
        turns && std::any_of(turns->cbegin(), turns->cend(), [&](const Turn& turn) {
            return chat.rowIds.contains(turn.id) || toStore(chat, turn);
        });
    qCWarning(lcChatDatabase).noquote()
        << QStringLiteral("chat %1 was deleted elsewhere%2")
               .arg(chat.id)
               .arg(anythingToStore ? QStringLiteral(": it is saved again as a new chat") : QString());
    // Its rows went with it; every turn on screen is to be stored again, and
    // the council flags go into the new row.
    chat.draftCouncil = chat.draftCouncil || chat.storedCouncil || chat.markWaiting;
    chat.councilOnWaiting.reset();
    chat.instructionsWaiting.reset(); // kept in chat.instructions for the new row
    chat.markWaiting = false;
    chat.rowIds.clear();
    // With nothing on screen to store, it is simply a new chat; otherwise
    // it keeps its pin for the new one.
    if (anythingToStore) {
        chat.titleAgain = shown;
        chat.was = {chat.id, chat.createdAt};
    } else {
        chat.pinned = false;
    }
    const bool open = &chat == &m_open;
    chat.id = 0;
    chat.createdAt = 0;
    chat.storedCouncil = false;
    if (open)
        emit chatIdChanged(0);
}

bool ChatHistory::writeOpen(const QList<Turn>& turns, const std::optional<QString>& modelId, QSet<int64_t>& touched)
{
    const bool written = writeChat(m_open, &turns, modelId, touched);
    keepWaiting(turns, modelId, written ? QSet<QUuid>() : workOf(m_open, turns, idsOf(turns)));
    return written;
}

void ChatHistory::keepWaiting(const QList<Turn>& turns, const std::optional<QString>& modelId,
                              const QSet<QUuid>& left)
{
    m_open.turnsWaiting = !left.isEmpty();
    m_open.attempted = left;
    m_open.turns = m_open.turnsWaiting ? turns : QList<Turn>();
    m_open.modelId = modelId;
}

bool ChatHistory::writeBacklog(QSet<int64_t>& touched)
{
    while (!m_backlog.isEmpty()) {
        ChatState& chat = m_backlog.first();
        const QList<Turn>* turns = chat.turnsWaiting ? &chat.turns : nullptr;
        if (!writeChat(chat, turns, chat.modelId, touched))
            return false;
        m_backlog.removeFirst();
    }
    return true;
}

void ChatHistory::finishWrites(const QSet<int64_t>& touched)
{
    if (!touched.isEmpty())
        m_store.refresh(touched);
    updateAvailability();
}

void ChatHistory::persist(const QList<Turn>& turns, const std::optional<QString>& modelId)
{
    // Runs for each streamed piece: one set of ids, and look-ups.
    const QSet<QUuid> ids = idsOf(turns);
    note(m_open, turns);
    const QSet<QUuid> work = workOf(m_open, turns, ids);
    if (work.isEmpty()) {
        // What waited has left the transcript (a regenerated reply).
        if (m_open.turnsWaiting) {
            keepWaiting(turns, modelId, {});
            updateAvailability();
        }
        return;
    }
    // The same writes that failed a moment ago, with a reply's next piece:
    // the retry tries them, not every streamed token. The transcript is kept
    // up to date, so that the retry writes it as it is.
    if (m_open.turnsWaiting && work == m_open.attempted) {
        keepWaiting(turns, modelId, work);
        return;
    }

    QSet<int64_t> touched;
    // What waited from other chats goes first, in order; while it cannot be
    // written, neither can this.
    if (writeBacklog(touched))
        writeOpen(turns, modelId, touched);
    else
        keepWaiting(turns, modelId, work);
    finishWrites(touched);
}

bool ChatHistory::retryWrites()
{
    QSet<int64_t> touched;
    bool written = writeBacklog(touched);
    if (written && m_open.turnsWaiting) {
        const QList<Turn> turns = m_open.turns; // writeOpen replaces them
        written = writeOpen(turns, m_open.modelId, touched);
    } else if (written && m_open.hasWaiting()) {
        written = writeChat(m_open, nullptr, m_open.modelId, touched);
    }
    // Nothing waits, yet writes failed last time (a rename, a pin) or the
    // file could only be read: see whether they get through now.
    if (written && !hasWaitingWrites() && (!m_db.isOpen() || m_db.isReadOnly() || m_db.writesFailing()))
        m_db.probeWrites();
    finishWrites(touched);
    return !hasWaitingWrites();
}

void ChatHistory::flushBeforeQuit()
{
    if (hasWaitingWrites() && !retryWrites()) {
        for (const ChatState& chat : std::as_const(m_backlog))
            logUnwritten(chat);
        logUnwritten(m_open);
    }
    m_retry.stop();
}

void ChatHistory::logUnwritten(const ChatState& chat) const
{
    const QString where = chat.id >= 1 ? QStringLiteral("chat %1").arg(chat.id) : QStringLiteral("a new chat");
    if (chat.councilOnWaiting || chat.markWaiting)
        qCWarning(lcChatDatabase).noquote() << QStringLiteral("not saved: the council flags of %1").arg(where);
    if (chat.instructionsWaiting)
        qCWarning(lcChatDatabase).noquote() << QStringLiteral("not saved: the instructions of %1").arg(where);
    if (!chat.turnsWaiting)
        return;
    const QSet<QUuid> ids = idsOf(chat.turns);
    for (auto it = chat.rowIds.cbegin(); it != chat.rowIds.cend(); ++it) {
        if (!ids.contains(it.key()))
            qCWarning(lcChatDatabase).noquote() << QStringLiteral("not deleted: message %1 of %2").arg(it.value()).arg(where);
    }
    for (const Turn& turn : chat.turns) {
        if (!toStore(chat, turn))
            continue;
        qCWarning(lcChatDatabase).noquote()
            << QStringLiteral("not saved: %1 message in %2: \"%3\"")
                   .arg(turn.role == Role::user ? QStringLiteral("a user") : QStringLiteral("an assistant"), where,
                        prefixCharacters(60, turn.content));
    }
}

} // namespace cvn
