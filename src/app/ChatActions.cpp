#include "app/ChatActions.h"

#include "attachments/SentAttachments.h"
#include "models/ModelInfo.h"
#include "storage/ChatHistory.h"
#include "storage/ChatTransfer.h"

namespace cvn {

// An import takes the instructions the dialog lets be typed, and no more.
static_assert(ChatArchive::longestInstructions == ModelInfo::maxInstructions);

ChatActions::ChatActions(LlamaSession& session, ChatHistory& history, ChatStore& chats, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_history(history)
    , m_chats(chats)
{
    m_history.setTitleSource(&ChatActions::titleText);
    connect(&m_session, &LlamaSession::turnsChanged, this, &ChatActions::persist);
    // A restored chat's images are then laid out in a prompt without being
    // decoded again.
    connect(&m_session, &LlamaSession::imageFactsLearnt, &m_history, &ChatHistory::storeImageFacts);
}

QList<CvnActionSheet::Item> ChatActions::menuItems(const Row& row)
{
    return {
        {QStringLiteral("pin"), row.pinned ? QStringLiteral("UNPIN") : QStringLiteral("PIN"), false},
        {QStringLiteral("rename"), QStringLiteral("RENAME"), false},
        {QStringLiteral("instructions"), QStringLiteral("Instructions…"), false},
        {QStringLiteral("export"), QStringLiteral("Export…"), false},
        {QStringLiteral("delete"), QStringLiteral("DELETE"), true},
    };
}

QString ChatActions::deleteBody(const QString& title)
{
    return QLatin1Char('"') + title + QStringLiteral("\" and its messages will be permanently deleted.");
}

QString ChatActions::deletedElsewhereToast(const QString& title)
{
    return QLatin1Char('"') + title + QStringLiteral("\" was deleted elsewhere");
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
    syncInstructions();
}

ChatActions::Row ChatActions::followed(Row row) const
{
    if (const auto became = m_history.savedAgainAs(row.id, row.createdAt)) {
        row.id = became->first;
        row.createdAt = became->second;
    }
    return row;
}

bool ChatActions::openChat(Row shown)
{
    const Row row = followed(shown);
    // Looked at first, so that a row out of date does not stop the reply
    // of the chat that stays open.
    if (!m_history.exists(row.id, row.createdAt)) {
        deletedElsewhere(shown);
        return false;
    }
    m_session.stop();
    std::optional<QList<LlamaSession::Turn>> turns = m_history.load(row.id, row.createdAt);
    if (!turns) {
        // Deleted in the moment since: the chat left, a new one is open.
        m_session.resetConversation();
        setCouncilOn(false);
        syncInstructions();
        deletedElsewhere(shown);
        return true;
    }
    m_session.replaceTurns(std::move(*turns));
    setCouncilOn(m_history.loadCouncilOn());
    syncInstructions();
    return true;
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

void ChatActions::openMenu(Row row)
{
    m_menuFor = row;
    emit menuChanged();
}

void ChatActions::choose(const std::optional<QString>& id)
{
    if (!m_menuFor)
        return;
    const Row row = *std::exchange(m_menuFor, std::nullopt);
    if (id == QLatin1String("pin"))
        report(row, m_chats.setPinned(followed(row)));
    else if (id == QLatin1String("rename"))
        m_renaming = row;
    else if (id == QLatin1String("delete"))
        m_deleting = row;
    else if (id == QLatin1String("instructions"))
        m_instructing = row;
    emit menuChanged();
    if (id == QLatin1String("export"))
        emit exportRequested(row);
}

bool ChatActions::isMarkdownName(const QString& path, bool markdownChosen)
{
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        return false;
    return markdownChosen || path.endsWith(QLatin1String(".md"), Qt::CaseInsensitive);
}

std::optional<QString> ChatActions::exportChat(const Row& row, const QString& path, bool markdown)
{
    // The file holds what is stored: turns still waiting to be written
    // would be missing from it while the chat on screen shows them.
    if (m_history.hasWaitingWrites() && !m_history.retryWrites())
        return notStoredYetText;
    const Row chat = followed(row);
    // A reply is stored once it is done: until then the file would end
    // before it without a word.
    if (m_session.isStreaming() && chat.id == m_history.chatId())
        return replyNotDoneText;
    ChatExport file(m_chats.database(), path, markdown ? ChatExport::Format::markdown : ChatExport::Format::json,
                    {ChatArchive::Key{chat.id, chat.createdAt}});
    if (file.finish())
        return std::nullopt;
    return file.error();
}

void ChatActions::saveRename(const QString& text)
{
    if (!m_renaming)
        return;
    const Row row = *std::exchange(m_renaming, std::nullopt);
    const ChatStore::Change change = m_chats.rename(followed(row), text);
    emit menuChanged();
    report(row, change);
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

void ChatActions::deleteChat(const Row& shown)
{
    // Confirmed for the chat the user saw: saved again here meanwhile, it
    // is the chat it became. Another program's chat is never followed.
    const Row row = followed(shown);
    const ChatStore::Change change = m_chats.remove(row);
    if (change == ChatStore::Change::notStored) {
        // Still stored, so still open and listed, its reply still coming.
        emit changeNotSaved();
        return;
    }
    // Deleted here or already elsewhere: either way the chat is gone.
    // Forgotten first: the stopped reply's last update then finds an
    // unsaved chat, and nothing is written into the one just deleted.
    if (m_history.forgetChat(row.id, row.createdAt)) {
        m_session.stop();
        m_session.resetConversation();
        setCouncilOn(false);
        syncInstructions();
    }
    report(shown, change);
}

QString ChatActions::chatInstructions() const
{
    if (!m_instructing)
        return {};
    const Row row = followed(*m_instructing);
    return m_history.instructions(row.id, row.createdAt);
}

void ChatActions::saveInstructions(const QString& text)
{
    if (!m_instructing)
        return;
    const Row shown = *std::exchange(m_instructing, std::nullopt);
    const Row row = followed(shown);
    const bool kept = m_history.setInstructions(row.id, row.createdAt, text.trimmed().isEmpty() ? QString() : text);
    emit menuChanged();
    syncInstructions();
    if (!kept)
        deletedElsewhere(shown);
}

void ChatActions::cancelInstructions()
{
    m_instructing.reset();
    emit menuChanged();
}

void ChatActions::syncInstructions()
{
    m_session.setChatInstructions(m_history.openInstructions());
}

void ChatActions::deletedElsewhere(const Row& row)
{
    m_chats.reload();
    emit chatDeletedElsewhere(row.title);
}

void ChatActions::report(const Row& row, ChatStore::Change change)
{
    if (change == ChatStore::Change::notStored)
        emit changeNotSaved();
    else if (change == ChatStore::Change::gone)
        emit chatDeletedElsewhere(row.title);
}

} // namespace cvn
