#include "storage/ChatHistory.h"

#include "platform/Unicode.h"

namespace cvn {

namespace {

const QString touchChatSql = QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?");
const QString setCouncilOnSql = QStringLiteral("UPDATE chats SET council_on=? WHERE id=?");
const QString markCouncilSql = QStringLiteral("UPDATE chats SET is_council=1 WHERE id=?");

using Role = ChatMessage::Role;

} // namespace

ChatHistory::ChatHistory(QObject* parent)
    : ChatHistory(ChatDatabase::shared(), ChatStore::shared(), parent)
{
}

const QString ChatHistory::notSavedNotice = QStringLiteral("Chats are not being saved");

ChatHistory::ChatHistory(ChatDatabase& db, ChatStore& store, QObject* parent)
    : QObject(parent)
    , m_db(db)
    , m_store(store)
{
    m_available = m_db.isOpen() && !m_db.isReadOnly();
    connect(&m_db, &ChatDatabase::openChanged, this, &ChatHistory::updateAvailability);
}

bool ChatHistory::noteWrite(bool succeeded)
{
    m_writeFailed = !succeeded;
    updateAvailability();
    return succeeded;
}

void ChatHistory::updateAvailability()
{
    const bool available = m_db.isOpen() && !m_db.isReadOnly() && !m_writeFailed;
    if (available == m_available)
        return;
    m_available = available;
    emit databaseAvailableChanged(available);
}

void ChatHistory::setChatId(int64_t id)
{
    if (m_chatId == id)
        return;
    // The rows stored so far stay in the chat they were written in: the next
    // chat's transcript neither deletes them nor writes those turns again.
    for (auto it = m_rowIds.cbegin(); it != m_rowIds.cend(); ++it)
        m_skipped.insert(it.key());
    m_rowIds.clear();
    m_chatId = id;
    emit chatIdChanged(id);
}

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

bool ChatHistory::storeTurn(const Turn& turn)
{
    int64_t row = 0;
    // The row and the chat's new time go together, or neither does.
    if (!noteWrite(m_db.transaction([&] { return (row = insertMessage(turn, m_chatId)) != 0; })))
        return false;
    m_rowIds.insert(turn.id, row);
    return true;
}

void ChatHistory::persist(const QList<Turn>& turns, const std::optional<QString>& modelId)
{
    QSet<QUuid> ids;
    ids.reserve(turns.size());
    for (const Turn& turn : turns)
        ids.insert(turn.id);

    bool changed = false;
    const QList<QUuid> storedIds = m_rowIds.keys();
    for (const QUuid& id : storedIds) {
        if (ids.contains(id))
            continue;
        const int64_t row = m_rowIds.value(id);
        // A row whose delete failed stays recorded, so the next call deletes it.
        if (row > 0 && !noteWrite(m_db.run(QStringLiteral("DELETE FROM messages WHERE id=?"), {row})))
            continue;
        m_rowIds.remove(id);
        changed = true;
    }
    m_pending.removeIf([&](const QUuid& id) { return !ids.contains(id); });

    for (const Turn& turn : turns) {
        if (m_rowIds.contains(turn.id) || m_skipped.contains(turn.id))
            continue;
        bool stored = true;
        switch (turn.role) {
        case Role::system:
            break;
        case Role::user:
            if (m_chatId < 1) {
                if (!m_pending.contains(turn.id))
                    m_pending.append(turn.id);
                break;
            }
            // Still waiting when the chat was set from outside: it is
            // written into that chat, in its place.
            stored = storeTurn(turn);
            if (stored)
                m_pending.removeOne(turn.id);
            changed = changed || stored;
            break;
        case Role::assistant:
            if (turn.state.isStreaming())
                break;
            if (turn.state.isFailed() || turn.cancelledByUser) {
                m_skipped.insert(turn.id);
                break;
            }
            stored = m_chatId < 1 ? createChatWith(turns, modelId, &turn) : storeTurn(turn);
            changed = changed || stored;
            break;
        }
        // A later turn written now would land before this one; the next
        // call resumes here.
        if (!stored)
            break;
    }
    if (changed)
        m_store.reload();
}

bool ChatHistory::createChat(const QList<Turn>& turns, const std::optional<QString>& modelId)
{
    return createChatWith(turns, modelId, nullptr);
}

bool ChatHistory::createChatWith(const QList<Turn>& turns, const std::optional<QString>& modelId,
                                 const Turn* reply)
{
    if (m_chatId >= 1)
        return reply ? storeTurn(*reply) : true;

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
        for (const QUuid& id : std::as_const(m_pending)) {
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
        if (m_councilOn && !m_db.run(setCouncilOnSql, {1, newChatId}))
            return false;
        if (m_draftCouncil && !m_db.run(markCouncilSql, {newChatId}))
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
    // were, so the next call creates the chat with all of them.
    if (!noteWrite(committed))
        return false;

    m_pending.clear();
    m_draftCouncil = false;
    setChatId(newChatId);
    for (const auto& [id, row] : std::as_const(rows))
        m_rowIds.insert(id, row);
    return true;
}

QList<ChatHistory::Turn> ChatHistory::load(int64_t chatId)
{
    reset();
    setChatId(chatId);
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
        m_rowIds.insert(turn.id, row.id);
        turns.append(std::move(turn));
    }
    return turns;
}

void ChatHistory::reset()
{
    setChatId(0);
    m_rowIds.clear();
    m_pending.clear();
    m_skipped.clear();
    m_draftCouncil = false;
}

void ChatHistory::markCouncil()
{
    if (m_chatId < 1) {
        m_draftCouncil = true;
        return;
    }
    noteWrite(m_db.run(markCouncilSql, {m_chatId}));
    m_store.reload();
}

void ChatHistory::setCouncilOn(bool on)
{
    m_councilOn = on;
    if (m_chatId >= 1)
        noteWrite(m_db.run(setCouncilOnSql, {on ? 1 : 0, m_chatId}));
}

bool ChatHistory::loadCouncilOn() const
{
    return m_chatId >= 1 && m_db.councilOn(m_chatId);
}

} // namespace cvn
