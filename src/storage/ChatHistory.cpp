#include "storage/ChatHistory.h"

#include "platform/Logging.h"
#include "platform/Unicode.h"

#include <QCoreApplication>

#include <algorithm>

namespace cvn {

namespace {

const QString touchChatSql = QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?");
const QString setCouncilOnSql = QStringLiteral("UPDATE chats SET council_on=? WHERE id=?");
const QString markCouncilSql = QStringLiteral("UPDATE chats SET is_council=1 WHERE id=?");
const QString deleteMessageSql = QStringLiteral("DELETE FROM messages WHERE id=?");

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
    m_open.id = id;
    emit chatIdChanged(id);
}

// --- what a transcript holds to write -----------------------------------------------

void ChatHistory::note(ChatState& chat, const QList<Turn>& turns, const QSet<QUuid>& ids) const
{
    chat.pending.removeIf([&](const QUuid& id) { return !ids.contains(id); });
    // User turns after a reply that waits to create the chat belong to the
    // chat it creates: they are written after that reply, not before it.
    bool replyWaiting = false;
    for (const Turn& turn : turns) {
        if (chat.rowIds.contains(turn.id) || chat.skipped.contains(turn.id))
            continue;
        if (turn.role == Role::user && chat.id < 1 && !replyWaiting && !chat.pending.contains(turn.id))
            chat.pending.append(turn.id);
        else if (turn.role == Role::assistant && !turn.state.isStreaming() && !completedReply(turn))
            chat.skipped.insert(turn.id); // failed, or stopped by the user
        replyWaiting = replyWaiting || completedReply(turn);
    }
}

QSet<QUuid> ChatHistory::workOf(const ChatState& chat, const QList<Turn>& turns, const QSet<QUuid>& ids) const
{
    QSet<QUuid> work;
    for (auto it = chat.rowIds.cbegin(); it != chat.rowIds.cend(); ++it) {
        if (!ids.contains(it.key()))
            work.insert(it.key()); // its row is to be deleted
    }
    for (const Turn& turn : turns) {
        if (chat.rowIds.contains(turn.id) || chat.skipped.contains(turn.id))
            continue;
        if ((turn.role == Role::user && chat.id >= 1) || completedReply(turn))
            work.insert(turn.id);
    }
    return work;
}

// --- writing ----------------------------------------------------------------------------

int64_t ChatHistory::insertMessage(const Turn& turn, int64_t chatId)
{
    using Value = ChatDatabase::Value;
    int64_t row = 0;
    if (turn.role == Role::assistant) {
        const bool hasReasoning = !turn.reasoning.trimmed().isEmpty();
        row = m_db.insertMessage(chatId, QStringLiteral("assistant"), turn.content,
                                 Value::textOrNull(turn.modelName),
                                 hasReasoning ? Value(turn.reasoning) : Value::null(),
                                 Value::integerOrNull(turn.reasoningDurationMs));
    } else {
        row = m_db.insertMessage(chatId, QStringLiteral("user"), turn.content);
    }
    if (row == 0 || !m_db.run(touchChatSql, {ChatDatabase::now(), chatId}))
        return 0;
    return row;
}

bool ChatHistory::storeTurn(ChatState& chat, const Turn& turn)
{
    int64_t row = 0;
    // The row and the chat's new time go together, or neither does.
    if (!m_db.transaction([&] { return (row = insertMessage(turn, chat.id)) != 0; }))
        return false;
    chat.rowIds.insert(turn.id, row);
    return true;
}

bool ChatHistory::writeChat(ChatState& chat, const QList<Turn>* turns, const std::optional<QString>& modelId,
                            QSet<int64_t>& touched)
{
    if (chat.id >= 1) {
        if (chat.councilOnWaiting) {
            if (!m_db.run(setCouncilOnSql, {*chat.councilOnWaiting ? 1 : 0, chat.id}))
                return false;
            chat.councilOnWaiting.reset();
        }
        if (chat.markWaiting) {
            if (!m_db.run(markCouncilSql, {chat.id}))
                return false;
            chat.markWaiting = false;
            touched.insert(chat.id);
        }
    }
    if (!turns)
        return true;

    // The transcript was noted by the persist() that brought it.
    const QSet<QUuid> ids = idsOf(*turns);
    const QList<QUuid> storedIds = chat.rowIds.keys();
    for (const QUuid& id : storedIds) {
        if (ids.contains(id))
            continue;
        const int64_t row = chat.rowIds.value(id);
        // A row whose delete failed stays recorded, so the next try deletes it.
        if (row > 0 && !m_db.run(deleteMessageSql, {row}))
            return false;
        chat.rowIds.remove(id);
        touched.insert(chat.id);
    }

    for (const Turn& turn : *turns) {
        if (chat.rowIds.contains(turn.id) || chat.skipped.contains(turn.id))
            continue;
        bool stored = true;
        if (turn.role == Role::user && chat.id >= 1) {
            // Still waiting when the chat was set from outside: it is
            // written into that chat, in its place.
            stored = storeTurn(chat, turn);
            if (stored)
                chat.pending.removeOne(turn.id);
        } else if (completedReply(turn)) {
            stored = chat.id < 1 ? createChatWith(chat, *turns, modelId, &turn, touched) : storeTurn(chat, turn);
        } else {
            continue;
        }
        // A later turn written now would land before this one; the next try
        // resumes here.
        if (!stored)
            return false;
        touched.insert(chat.id);
    }
    return true;
}

bool ChatHistory::writeOpen(const QList<Turn>& turns, const std::optional<QString>& modelId, QSet<int64_t>& touched)
{
    const bool written = writeChat(m_open, &turns, modelId, touched) || dropIfGone(m_open, &turns);
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
        if (!writeChat(chat, turns, chat.modelId, touched) && !dropIfGone(chat, turns))
            return false;
        m_backlog.removeFirst();
    }
    return true;
}

bool ChatHistory::dropIfGone(ChatState& chat, const QList<Turn>* turns)
{
    // Another instance deleted the chat: its rows cannot be written any more,
    // and trying would fail for ever.
    if (chat.id < 1 || m_db.chatExists(chat.id) != false)
        return false;
    qCWarning(lcChatDatabase).noquote()
        << QStringLiteral("chat %1 no longer exists: what waited to be written into it is dropped").arg(chat.id);
    if (turns) {
        const QSet<QUuid> ids = idsOf(*turns);
        for (const QUuid& id : workOf(chat, *turns, ids))
            chat.skipped.insert(id);
        chat.rowIds.removeIf([&](QHash<QUuid, int64_t>::iterator entry) { return !ids.contains(entry.key()); });
    }
    chat.councilOnWaiting.reset();
    chat.markWaiting = false;
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
    note(m_open, turns, ids);
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
    if (!chat.turnsWaiting)
        return;
    const QSet<QUuid> ids = idsOf(chat.turns);
    const QSet<QUuid> work = workOf(chat, chat.turns, ids);
    for (auto it = chat.rowIds.cbegin(); it != chat.rowIds.cend(); ++it) {
        if (!ids.contains(it.key()))
            qCWarning(lcChatDatabase).noquote() << QStringLiteral("not deleted: message %1 of %2").arg(it.value()).arg(where);
    }
    for (const Turn& turn : chat.turns) {
        const bool waiting = work.contains(turn.id) || (chat.id < 1 && chat.pending.contains(turn.id));
        if (!waiting)
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
                                 const Turn* reply, QSet<int64_t>& touched)
{
    if (chat.id >= 1)
        return reply ? storeTurn(chat, *reply) : true;

    QHash<QUuid, const Turn*> byId;
    for (const Turn& turn : turns)
        byId.insert(turn.id, &turn);

    int64_t newChatId = 0;
    QList<std::pair<QUuid, int64_t>> rows;
    const bool committed = m_db.transaction([&] {
        newChatId = m_db.insertChat(ChatStore::newChatTitle, modelId.value_or(QString()));
        if (newChatId == 0)
            return false;
        const Turn* first = nullptr;
        for (const QUuid& id : std::as_const(chat.pending)) {
            const Turn* turn = byId.value(id);
            if (!turn)
                continue;
            if (!first)
                first = turn;
            const int64_t row = insertMessage(*turn, newChatId);
            if (row == 0)
                return false;
            rows.append({id, row});
        }
        if (chat.councilOn && !m_db.run(setCouncilOnSql, {1, newChatId}))
            return false;
        if (chat.draftCouncil && !m_db.run(markCouncilSql, {newChatId}))
            return false;
        if (first) {
            const QString source = m_titleSource ? m_titleSource(first->content) : first->content;
            const QString title = source.isEmpty() ? ChatStore::newChatTitle : prefixCharacters(titleLength, source);
            if (!m_db.updateTitle(newChatId, title))
                return false;
        }
        if (reply) {
            const int64_t row = insertMessage(*reply, newChatId);
            if (row == 0)
                return false;
            rows.append({reply->id, row});
        }
        return true;
    });
    // Rolled back: the waiting turns, the flags and the reply stay as they
    // were, so the next try creates the chat with all of them.
    if (!committed)
        return false;

    chat.pending.clear();
    chat.draftCouncil = false;
    if (&chat == &m_open)
        setChatId(newChatId);
    else
        chat.id = newChatId;
    for (const auto& [id, row] : std::as_const(rows))
        chat.rowIds.insert(id, row);
    touched.insert(newChatId);
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

QList<ChatHistory::Turn> ChatHistory::load(int64_t chatId)
{
    reset();

    std::optional<bool> councilOnWaiting;
    bool markWaiting = false;
    const auto left = std::find_if(m_backlog.begin(), m_backlog.end(),
                                   [&](const ChatState& chat) { return chat.id == chatId && chatId >= 1; });
    if (left != m_backlog.end()) {
        ChatState chat = std::move(*left);
        m_backlog.erase(left);
        if (chat.turnsWaiting) {
            // Shown as it was left: the stored turns and those still waiting,
            // with the ids the bookkeeping knows them by.
            chat.councilOn = m_open.councilOn;
            m_open = std::move(chat);
            emit chatIdChanged(m_open.id);
            return m_open.turns;
        }
        councilOnWaiting = chat.councilOnWaiting;
        markWaiting = chat.markWaiting;
    }

    setChatId(chatId);
    m_open.councilOnWaiting = councilOnWaiting;
    m_open.markWaiting = markWaiting;
    QList<Turn> turns;
    const QList<ChatDatabase::MessageRecord> rows = m_db.messages(chatId);
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
        turns.append(std::move(turn));
    }
    return turns;
}

void ChatHistory::reset()
{
    leaveOpenChat();
    QSet<int64_t> touched;
    writeBacklog(touched);
    finishWrites(touched);
}

void ChatHistory::forgetChat(int64_t chatId)
{
    if (chatId < 1)
        return;
    m_backlog.removeIf([&](const ChatState& chat) { return chat.id == chatId; });
    if (m_open.id == chatId)
        startUnsaved();
    updateAvailability();
}

// --- council flags ------------------------------------------------------------------

void ChatHistory::markCouncil()
{
    if (m_open.id < 1) {
        m_open.draftCouncil = true;
        return;
    }
    if (!m_db.run(markCouncilSql, {m_open.id}))
        m_open.markWaiting = true;
    finishWrites({m_open.id});
}

void ChatHistory::setCouncilOn(bool on)
{
    m_open.councilOn = on;
    if (m_open.id < 1)
        return;
    if (m_db.run(setCouncilOnSql, {on ? 1 : 0, m_open.id}))
        m_open.councilOnWaiting.reset();
    else
        m_open.councilOnWaiting = on;
    updateAvailability();
}

bool ChatHistory::loadCouncilOn() const
{
    if (m_open.id < 1)
        return false;
    return m_open.councilOnWaiting ? *m_open.councilOnWaiting : m_db.councilOn(m_open.id);
}

} // namespace cvn
