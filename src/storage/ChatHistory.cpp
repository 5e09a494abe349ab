#include "storage/ChatHistory.h"

#include "platform/Logging.h"
#include "platform/Unicode.h"

#include <QCoreApplication>

#include <algorithm>
#include <tuple>

namespace cvn {

namespace {

const QString touchChatSql = QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?");
const QString setCouncilOnSql = QStringLiteral("UPDATE chats SET council_on=? WHERE id=?");
const QString markCouncilSql = QStringLiteral("UPDATE chats SET is_council=1 WHERE id=?");
const QString setInstructionsSql = QStringLiteral("UPDATE chats SET instructions=? WHERE id=?");
const QString pinSql = QStringLiteral("UPDATE chats SET pinned=1 WHERE id=?");
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

const QString ChatHistory::notSavedNotice = QStringLiteral("Chats are not being saved");

ChatHistory::ChatHistory(QObject* parent)
    : ChatHistory(ChatDatabase::shared(), ChatStore::shared(), parent)
{
}

ChatHistory::ChatHistory(ChatDatabase& db, ChatStore& store, QObject* parent)
    : QObject(parent)
    , m_db(db)
    , m_store(store)
{
    m_retry.setInterval(retryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, [this] { retryWrites(); });
    const auto retrySoon = [this] {
        updateAvailability();
        // Writes work again (another write got through, the file became
        // writable): what waits follows at once, not at the next tick.
        if (hasWaitingWrites() && m_db.isOpen() && !m_db.isReadOnly() && !m_db.writesFailing())
            QTimer::singleShot(0, this, [this] { retryWrites(); });
    };
    connect(&m_db, &ChatDatabase::openChanged, this, retrySoon);
    connect(&m_db, &ChatDatabase::writesFailingChanged, this, retrySoon);
    connect(&m_store, &ChatStore::rowsChanged, this, &ChatHistory::followList);
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &ChatHistory::flushBeforeQuit);
    m_available = m_db.isOpen() && !m_db.isReadOnly() && !m_db.writesFailing();
    updateAvailability();
}

void ChatHistory::updateAvailability()
{
    const bool available = m_db.isOpen() && !m_db.isReadOnly() && !m_db.writesFailing() && !hasWaitingWrites();
    if (available)
        m_retry.stop();
    else if (!m_retry.isActive())
        m_retry.start();
    if (available == m_available)
        return;
    m_available = available;
    emit databaseAvailableChanged(available);
}

void ChatHistory::setChatId(int64_t id)
{
    if (m_open.id == id)
        return;
    // The rows stored so far stay in the chat they were written in: the next
    // chat's transcript neither deletes them nor writes those turns again.
    for (auto it = m_open.rowIds.cbegin(); it != m_open.rowIds.cend(); ++it)
        m_open.skipped.insert(it.key());
    m_open.rowIds.clear();
    adopt(m_open, id, identityOf(id));
    emit chatIdChanged(id);
}

void ChatHistory::adopt(ChatState& chat, int64_t id, const std::optional<ChatDatabase::ChatIdentity>& identity)
{
    chat.id = id;
    chat.createdAt = identity ? identity->createdAt : 0;
    chat.title = identity ? identity->title : QString();
    chat.pinned = identity && identity->isPinned;
    chat.storedCouncil = identity && identity->isCouncil;
    chat.titleAgain.reset();
}

void ChatHistory::followList()
{
    if (m_open.id < 1 && m_backlog.isEmpty())
        return;
    // A chat the list no longer shows keeps what it showed last.
    const auto follow = [](ChatState& chat, const ChatStore::Row& row) {
        if (chat.id == row.id && chat.createdAt == row.createdAt) {
            chat.title = row.title;
            chat.pinned = row.pinned;
        }
    };
    for (const ChatStore::Row& row : m_store.rows()) {
        follow(m_open, row);
        for (ChatState& chat : m_backlog)
            follow(chat, row);
    }
}

QString ChatHistory::savedAgainToast(const QString& title)
{
    return QLatin1Char('"') + title + QStringLiteral("\" was deleted elsewhere and is saved again as a new chat");
}

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
                                 Value::null(), createdAt);
    }
    if (row == 0 || !m_db.run(touchChatSql, {ChatDatabase::now(), chatId}))
        return 0;
    return row;
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
            const Write write = writeInChat(chat, [&] { return m_db.run(setCouncilOnSql, {on ? 1 : 0, chat.id}); });
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
            const Write write = writeInChat(chat, [&] { return m_db.run(markCouncilSql, {chat.id}); });
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

// --- the chat row ---------------------------------------------------------------------

bool ChatHistory::createChat(const QList<Turn>& turns, const std::optional<QString>& modelId)
{
    QSet<int64_t> touched;
    const bool created = createChatWith(m_open, turns, modelId, nullptr, touched);
    finishWrites(touched);
    return created;
}

bool ChatHistory::createChatWith(ChatState& chat, const QList<Turn>& turns, const std::optional<QString>& modelId,
                                 const Turn* last, QSet<int64_t>& touched)
{
    if (chat.id >= 1)
        return last ? storeTurn(chat, *last) == Write::done : true;

    // The turns the chat is created with: every one still to store, up to
    // and including `last` (all of them without one). For a first exchange
    // these are the user turns before the reply that creates the chat.
    QList<const Turn*> first;
    for (const Turn& turn : turns) {
        if (toStore(chat, turn))
            first.append(&turn);
        if (&turn == last)
            break;
    }
    const auto firstUser = std::find_if(first.cbegin(), first.cend(), [](const Turn* turn) {
        return turn->role == Role::user;
    });

    std::optional<ChatDatabase::ChatIdentity> identity;
    int64_t newChatId = 0;
    QList<std::tuple<QUuid, int64_t, int64_t>> rows; // turn, row, created_at
    const bool committed = m_db.transaction([&] {
        newChatId = m_db.insertChat(ChatStore::newChatTitle, modelId.value_or(QString()));
        if (newChatId == 0)
            return false;
        for (const Turn* turn : std::as_const(first)) {
            const int64_t at = createdAtOf(chat, *turn);
            const int64_t row = insertMessage(*turn, newChatId, at);
            if (row == 0)
                return false;
            rows.append({turn->id, row, at});
        }
        if (chat.councilOn && !m_db.run(setCouncilOnSql, {1, newChatId}))
            return false;
        if (chat.draftCouncil && !m_db.run(markCouncilSql, {newChatId}))
            return false;
        if (!chat.instructions.isEmpty() && !writeInstructions(chat.instructions, newChatId))
            return false;
        if (chat.titleAgain && chat.pinned && !m_db.run(pinSql, {newChatId}))
            return false;
        QString title;
        if (chat.titleAgain) {
            title = *chat.titleAgain;
        } else if (firstUser != first.cend()) {
            const QString& text = (*firstUser)->content;
            const QString source = m_titleSource ? m_titleSource(text) : text;
            title = source.isEmpty() ? ChatStore::newChatTitle : prefixCharacters(titleLength, source);
        }
        if (!title.isEmpty() && !m_db.updateTitle(newChatId, title))
            return false;
        return m_db.readChatIdentity(newChatId, &identity) && identity;
    });
    // Rolled back: the waiting turns, the flags and the reply stay as they
    // were, so the next try creates the chat with all of them.
    if (!committed)
        return false;

    const std::optional<QString> savedAgain = chat.titleAgain;
    const std::pair<int64_t, int64_t> was = std::exchange(chat.was, {0, 0});
    chat.draftCouncil = false;
    adopt(chat, newChatId, identity);
    if (savedAgain)
        m_savedAgainAs.insert(was, {chat.id, chat.createdAt});
    for (const auto& [id, row, at] : std::as_const(rows)) {
        chat.rowIds.insert(id, row);
        chat.storedAt.insert(id, at);
    }
    if (&chat == &m_open)
        emit chatIdChanged(newChatId);
    touched.insert(newChatId);
    // Told once it is stored, not before: until then its turns wait with the
    // notice like any others.
    if (savedAgain)
        emit chatSavedAgain(*savedAgain);
    return true;
}

// --- changing chats -----------------------------------------------------------------

void ChatHistory::startUnsaved()
{
    const int64_t was = m_open.id;
    const bool councilOn = m_open.councilOn;
    m_open = ChatState{};
    m_open.councilOn = councilOn;
    if (was != 0)
        emit chatIdChanged(0);
}

void ChatHistory::leaveOpenChat()
{
    if (m_open.hasWaiting())
        m_backlog.append(m_open);
    startUnsaved();
}

bool ChatHistory::exists(int64_t chatId, int64_t createdAt) const
{
    const auto same = [&](const ChatState& chat) { return chat.id == chatId && chat.createdAt == createdAt; };
    if (chatId < 1)
        return false;
    // What waits here is there to open even once deleted elsewhere: it is
    // saved again. Anything else is there only while it is stored.
    if ((same(m_open) && m_open.hasWaiting()) || std::any_of(m_backlog.cbegin(), m_backlog.cend(), same))
        return true;
    std::optional<ChatDatabase::ChatIdentity> identity;
    // A row that cannot be read is not taken for a deleted chat.
    return !m_db.readChatIdentity(chatId, &identity) || (identity && identity->createdAt == createdAt);
}

std::optional<QList<ChatHistory::Turn>> ChatHistory::load(int64_t chatId, int64_t createdAt)
{
    const auto same = [&](const ChatState& chat) {
        return chatId >= 1 && chat.id == chatId && chat.createdAt == createdAt;
    };
    // The chat's own waiting turns come out first: written among the
    // others, a chat deleted elsewhere would be saved again as another
    // chat, and the one asked for found gone.
    std::optional<ChatState> own;
    if (same(m_open) && m_open.turnsWaiting) {
        own = m_open;
        startUnsaved();
    } else {
        const auto left = std::find_if(m_backlog.begin(), m_backlog.end(),
                                       [&](const ChatState& chat) { return same(chat) && chat.turnsWaiting; });
        if (left != m_backlog.end()) {
            own = std::move(*left);
            m_backlog.erase(left);
        }
        leaveOpenChat();
    }
    QSet<int64_t> touched;
    const bool othersWritten = writeBacklog(touched);
    if (own) {
        // Shown as it will be stored: the stored turns and those still
        // waiting, with the ids the bookkeeping knows them by. A reply the
        // chat change stopped is never stored, so it is not shown.
        ChatState chat = std::move(*own);
        chat.turns.removeIf([&](const Turn& turn) { return !chat.rowIds.contains(turn.id) && !toStore(chat, turn); });
        const QList<Turn> turns = chat.turns;
        // Written under its own council switch; the open chat then has the
        // switch the caller shows until it sets the chat's.
        const bool councilOn = m_open.councilOn;
        m_open = std::move(chat);
        emit chatIdChanged(m_open.id);
        // Deleted elsewhere, it is saved again now and opens as that chat.
        if (othersWritten)
            writeOpen(turns, m_open.modelId, touched);
        m_open.councilOn = councilOn;
        finishWrites(touched);
        return turns;
    }
    finishWrites(touched);

    std::optional<bool> councilOnWaiting;
    std::optional<QString> instructionsWaiting;
    bool markWaiting = false;
    // Council flags or instructions alone that could not be written yet.
    const auto left = std::find_if(m_backlog.begin(), m_backlog.end(), same);
    if (left != m_backlog.end()) {
        councilOnWaiting = left->councilOnWaiting;
        instructionsWaiting = left->instructionsWaiting;
        markWaiting = left->markWaiting;
        m_backlog.erase(left);
    }

    std::optional<ChatDatabase::StoredChat> stored;
    const bool read = m_db.readChat(chatId, createdAt, &stored);
    if (read && !stored)
        return std::nullopt; // deleted elsewhere, its id perhaps given to another chat
    // The reset left a new chat open; a row that could not be read is
    // still taken for the chat the caller named.
    adopt(m_open, chatId, stored ? stored->identity : ChatDatabase::ChatIdentity{createdAt, {}, false, false});
    emit chatIdChanged(chatId);
    m_open.councilOnWaiting = councilOnWaiting;
    m_open.markWaiting = markWaiting;
    m_open.instructionsWaiting = instructionsWaiting;
    m_open.instructions = instructionsWaiting ? *instructionsWaiting : m_db.instructions(chatId);
    QList<Turn> turns;
    const QList<ChatDatabase::MessageRecord> rows = stored ? stored->messages : QList<ChatDatabase::MessageRecord>();
    turns.reserve(rows.size());
    for (const ChatDatabase::MessageRecord& row : rows) {
        Turn turn;
        turn.id = QUuid::createUuid();
        turn.role = row.role == QLatin1String("assistant") ? Role::assistant : Role::user;
        turn.content = row.content;
        turn.state = Turn::State::complete();
        if (!row.modelName.isEmpty())
            turn.modelName = row.modelName;
        if (row.reasoning) {
            turn.reasoning = *row.reasoning;
            turn.reasoningDurationMs = row.reasoningDurationMs.value_or(0);
        }
        m_open.rowIds.insert(turn.id, row.id);
        if (row.createdAt > 0)
            m_open.storedAt.insert(turn.id, row.createdAt);
        turns.append(std::move(turn));
    }
    return turns;
}

std::optional<std::pair<int64_t, int64_t>> ChatHistory::savedAgainAs(int64_t chatId, int64_t createdAt) const
{
    std::optional<std::pair<int64_t, int64_t>> became;
    std::pair<int64_t, int64_t> chat{chatId, createdAt};
    // Saved again, and that chat saved again in turn: each step leads to a
    // later chat, and there are no more steps than entries.
    for (qsizetype steps = 0; steps < m_savedAgainAs.size(); ++steps) {
        const auto next = m_savedAgainAs.constFind(chat);
        if (next == m_savedAgainAs.cend() || *next == chat)
            break;
        became = chat = *next;
    }
    return became;
}

void ChatHistory::reset()
{
    leaveOpenChat();
    QSet<int64_t> touched;
    writeBacklog(touched);
    finishWrites(touched);
}

bool ChatHistory::forgetChat(int64_t chatId, int64_t createdAt)
{
    if (chatId < 1)
        return false;
    const auto same = [&](const ChatState& chat) { return chat.id == chatId && chat.createdAt == createdAt; };
    m_backlog.removeIf(same);
    const bool open = same(m_open);
    if (open)
        startUnsaved();
    updateAvailability();
    return open;
}

// --- council flags ------------------------------------------------------------------

void ChatHistory::markCouncil()
{
    if (m_open.id < 1) {
        m_open.draftCouncil = true;
        return;
    }
    const Write write = writeInChat(m_open, [&] { return m_db.run(markCouncilSql, {m_open.id}); });
    // Deleted elsewhere: the mark goes with the chat when it is saved again.
    if (write == Write::gone)
        m_open.draftCouncil = true;
    m_open.markWaiting = write == Write::failed;
    finishWrites({m_open.id});
}

void ChatHistory::setCouncilOn(bool on)
{
    m_open.councilOn = on;
    if (m_open.id < 1)
        return;
    // Deleted elsewhere: the switch, kept above, goes with the chat when it
    // is saved again.
    const Write write = writeInChat(m_open, [&] { return m_db.run(setCouncilOnSql, {on ? 1 : 0, m_open.id}); });
    if (write == Write::failed)
        m_open.councilOnWaiting = on;
    else
        m_open.councilOnWaiting.reset();
    updateAvailability();
}

bool ChatHistory::loadCouncilOn() const
{
    if (m_open.id < 1)
        return false;
    return m_open.councilOnWaiting ? *m_open.councilOnWaiting : m_db.councilOn(m_open.id);
}

} // namespace cvn

namespace cvn {

// --- instructions -------------------------------------------------------------------

bool ChatHistory::writeInstructions(const QString& text, int64_t chatId)
{
    using Value = ChatDatabase::Value;
    return m_db.run(setInstructionsSql, {text.isEmpty() ? Value::null() : Value(text), chatId});
}

QString ChatHistory::instructions(int64_t chatId, int64_t createdAt) const
{
    const auto same = [&](const ChatState& chat) { return chat.id == chatId && chat.createdAt == createdAt; };
    if (same(m_open))
        return m_open.instructions;
    const auto left = std::find_if(m_backlog.cbegin(), m_backlog.cend(),
                                   [&](const ChatState& chat) { return same(chat) && chat.instructionsWaiting; });
    if (left != m_backlog.cend())
        return *left->instructionsWaiting;
    return chatId >= 1 ? m_db.instructions(chatId) : QString();
}

bool ChatHistory::setInstructions(int64_t chatId, int64_t createdAt, const QString& text)
{
    const auto same = [&](const ChatState& chat) { return chat.id == chatId && chat.createdAt == createdAt; };
    ChatState other;
    ChatState* chat = &other;
    if (same(m_open)) {
        chat = &m_open;
    } else if (const auto left = std::find_if(m_backlog.begin(), m_backlog.end(), same); left != m_backlog.end()) {
        chat = &*left;
    } else {
        other.id = chatId;
        other.createdAt = createdAt;
    }
    chat->instructions = text;
    if (chat->id < 1)
        return true; // written when the chat is created
    const Write write = writeInChat(*chat, [&] { return writeInstructions(text, chat->id); });
    if (write == Write::failed) {
        // Waits with its chat, and is written with what else waits.
        chat->instructionsWaiting = text;
        if (chat == &other)
            m_backlog.append(other);
    } else {
        chat->instructionsWaiting.reset();
    }
    updateAvailability();
    // The open chat, deleted elsewhere, takes them along when it is saved again.
    return write != Write::gone || chat == &m_open;
}

} // namespace cvn
