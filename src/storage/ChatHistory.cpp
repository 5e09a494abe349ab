#include "storage/ChatHistory.h"
#include "storage/ChatHistoryStatements.h"

#include "platform/Logging.h"
#include "platform/Unicode.h"

#include <QCoreApplication>

#include <algorithm>
#include <tuple>

namespace cvn {

namespace {

const QString setInstructionsSql = QStringLiteral("UPDATE chats SET instructions=? WHERE id=?");
const QString pinSql = QStringLiteral("UPDATE chats SET pinned=1 WHERE id=?");

using Role = ChatMessage::Role;

} // namespace

const QString ChatHistory::notSavedNotice = QStringLiteral("Chats are not being saved");
const QString ChatHistory::diskFullNotice = QStringLiteral("Chats are not being saved: the disk is full");

QString ChatHistory::notice() const
{
    // Only this one the user can settle alone, by freeing space.
    return m_db.writeFault() == ChatDatabase::WriteFault::full ? diskFullNotice : notSavedNotice;
}

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
        if (chat.councilOn && !m_db.run(chatRowSql::setCouncilOn, {1, newChatId}))
            return false;
        if (chat.draftCouncil && !m_db.run(chatRowSql::markCouncil, {newChatId}))
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
        turn.images = row.images;
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
    const Write write = writeInChat(m_open, [&] { return m_db.run(chatRowSql::markCouncil, {m_open.id}); });
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
    const Write write = writeInChat(m_open, [&] { return m_db.run(chatRowSql::setCouncilOn, {on ? 1 : 0, m_open.id}); });
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
