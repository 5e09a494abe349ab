#include "app/ChatActions.h"

#include "attachments/SentAttachments.h"
#include "storage/ChatHistory.h"

namespace cvn {

ChatActions::ChatActions(LlamaSession& session, ChatHistory& history, ChatStore& chats, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_history(history)
    , m_chats(chats)
{
    m_history.setTitleSource(&ChatActions::titleText);
    connect(&m_session, &LlamaSession::turnsChanged, this, &ChatActions::persist);
}

QList<CvnActionSheet::Item> ChatActions::menuItems(const Row& row)
{
    return {
        {QStringLiteral("pin"), row.pinned ? QStringLiteral("UNPIN") : QStringLiteral("PIN"), false},
        {QStringLiteral("rename"), QStringLiteral("RENAME"), false},
        {QStringLiteral("delete"), QStringLiteral("DELETE"), true},
    };
}

QString ChatActions::deleteBody(const QString& title)
{
    return QLatin1Char('"') + title + QStringLiteral("\" and its messages will be permanently deleted.");
}

QString ChatActions::titleText(const QString& firstMessage)
{
    return SentAttachments::parse(firstMessage).text;
}

void ChatActions::startNewChat()
{
    m_session.stop();
    m_history.reset();
    m_session.resetConversation();
    setCouncilOn(false);
}

void ChatActions::openChat(int64_t chatId)
{
    m_session.stop();
    QList<LlamaSession::Turn> turns = m_history.load(chatId);
    m_session.replaceTurns(std::move(turns));
    setCouncilOn(m_history.loadCouncilOn());
}

void ChatActions::setCouncilOn(bool on)
{
    if (on == m_councilOn)
        return;
    m_councilOn = on;
    m_history.setCouncilOn(on);
    emit councilOnChanged(on);
}

void ChatActions::persist()
{
    const auto& loaded = m_session.loadedModelId();
    m_history.persist(m_session.turns(),
                      loaded ? std::optional(loaded->toString(QUuid::WithoutBraces).toUpper()) : std::nullopt);
}

void ChatActions::openMenu(const Row& row)
{
    m_menuFor = row;
    emit menuChanged();
}

void ChatActions::choose(const std::optional<QString>& id)
{
    if (!m_menuFor)
        return;
    const Row row = *std::exchange(m_menuFor, std::nullopt);
    if (id == QLatin1String("pin")) {
        if (!m_chats.setPinned(row.id))
            emit changeNotSaved();
    } else if (id == QLatin1String("rename"))
        m_renaming = row;
    else if (id == QLatin1String("delete"))
        m_deleting = row;
    emit menuChanged();
}

void ChatActions::saveRename(const QString& text)
{
    if (!m_renaming)
        return;
    const bool stored = m_chats.rename(std::exchange(m_renaming, std::nullopt)->id, text);
    emit menuChanged();
    if (!stored)
        emit changeNotSaved();
}

void ChatActions::cancelRename()
{
    m_renaming.reset();
    emit menuChanged();
}

void ChatActions::confirmDelete()
{
    if (!m_deleting)
        return;
    deleteChat(*std::exchange(m_deleting, std::nullopt));
    emit menuChanged();
}

void ChatActions::cancelDelete()
{
    m_deleting.reset();
    emit menuChanged();
}

void ChatActions::deleteChat(const Row& row)
{
    // The messages go with the chat through the schema's cascading key.
    const bool deleted =
        m_chats.database().run(QStringLiteral("DELETE FROM chats WHERE id=?"), {ChatDatabase::Value(row.id)});
    m_chats.refresh({row.id});
    if (!deleted) {
        // Still stored, so still open and listed, its reply still coming.
        emit changeNotSaved();
        return;
    }
    // Forgotten first: the stopped reply's last update then finds an unsaved
    // chat, and nothing is written into the one just deleted.
    const bool open = m_history.chatId() == row.id;
    m_history.forgetChat(row.id);
    if (open) {
        m_session.stop();
        m_session.resetConversation();
        setCouncilOn(false);
    }
}

} // namespace cvn
