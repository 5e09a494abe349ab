#include "storage/ChatTransfer.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

namespace cvn {

namespace {

// The sentence for a file that cannot be opened for reading.
QString unreadableFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no such file");
    if (info.isDir())
        return QStringLiteral("is a folder, not a file");
    return QStringLiteral("cannot be read");
}

// A JSON parse error as the user reads it.
QString notJson(const QJsonParseError& error)
{
    return QStringLiteral("not a chat (not valid JSON: %1)").arg(error.errorString());
}

} // namespace

ChatExport::ChatExport(ChatDatabase& db, const QString& path, Format format, QList<ChatArchive::Key> chats)
    : m_db(db)
    , m_format(format)
    , m_chats(std::move(chats))
    , m_file(path)
{
    if (!m_file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("%1 cannot be written").arg(path));
}

std::optional<QList<ChatArchive::Key>> ChatExport::allChats(ChatDatabase& db, QString* error)
{
    std::optional<QList<ChatArchive::Key>> chats = ChatArchive::chatKeys(db);
    if (!chats && error)
        *error = QStringLiteral("The chats cannot be read");
    return chats;
}

bool ChatExport::fail(const QString& error)
{
    if (m_error.isEmpty())
        m_error = error;
    m_file.cancelWriting();
    return false;
}

bool ChatExport::step()
{
    if (!m_error.isEmpty() || m_next >= m_chats.size())
        return false;
    bool gone = false;
    const std::optional<ChatArchive::Chat> chat = ChatArchive::read(m_db, m_chats[m_next], &gone);
    if (!chat) {
        // One chat asked for by name must be there; of all chats, one
        // deleted in the meantime is simply no longer among them.
        if (!gone)
            return fail(QStringLiteral("The chats cannot be read"));
        if (m_format != Format::jsonLines)
            return fail(QStringLiteral("The chat is no longer stored"));
        ++m_next;
        return true;
    }
    QByteArray bytes;
    switch (m_format) {
    case Format::markdown: bytes = ChatArchive::markdown(*chat).toUtf8(); break;
    case Format::json: bytes = QJsonDocument(ChatArchive::toJson(*chat)).toJson(QJsonDocument::Indented); break;
    case Format::jsonLines:
        bytes = QJsonDocument(ChatArchive::toJson(*chat)).toJson(QJsonDocument::Compact) + '\n';
        break;
    }
    if (m_file.write(bytes) != bytes.size())
        return fail(QStringLiteral("%1 cannot be written").arg(m_file.fileName()));
    ++m_next;
    ++m_written;
    return true;
}

bool ChatExport::finish()
{
    while (step()) {
    }
    if (!m_error.isEmpty())
        return false;
    if (!m_file.commit())
        return fail(QStringLiteral("%1 cannot be written").arg(m_file.fileName()));
    return true;
}

ChatImport::ChatImport(ChatDatabase& db, const QString& path)
    : m_db(db)
    , m_file(path)
{
    if (QFileInfo(path).isDir() || !m_file.open(QIODevice::ReadOnly))
        fail(unreadableFile(path));
    else
        m_size = m_file.size();
}

int64_t ChatImport::position() const
{
    return m_file.isOpen() ? m_file.pos() : 0;
}

ChatImport::Step ChatImport::fail(const QString& error)
{
    m_failed = true;
    if (m_error.isEmpty())
        m_error = error;
    return Step::failed;
}

ChatImport::Step ChatImport::step()
{
    if (m_failed)
        return Step::failed;
    if (!m_pending) {
        if (m_atEnd)
            return Step::finished;
        if (!readNext())
            return m_failed ? Step::failed : Step::finished;
    }
    switch (ChatArchive::add(m_db, *m_pending)) {
    case ChatArchive::Added::notWritten: return Step::waiting;
    case ChatArchive::Added::added: ++m_added; break;
    case ChatArchive::Added::duplicate: ++m_skipped; break;
    }
    m_pending.reset();
    return Step::added;
}

bool ChatImport::readNext()
{
    while (!m_file.atEnd()) {
        const QByteArray line = m_file.readLine();
        ++m_line;
        if (line.isEmpty() && m_file.error() != QFileDevice::NoError) {
            fail(QStringLiteral("line %1: cannot be read").arg(m_line));
            return false;
        }
        if (line.trimmed().isEmpty())
            continue;
        // The export of one chat is an indented document that starts with a
        // lone brace; JSON Lines hold a whole object on each line.
        if (!m_started && line.trimmed() == "{") {
            m_started = true;
            return readDocument() == Step::added;
        }
        m_started = true;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            fail(QStringLiteral("line %1: %2").arg(m_line).arg(notJson(parseError)));
            return false;
        }
        if (!document.isObject()) {
            fail(QStringLiteral("line %1: not a chat (not a JSON object)").arg(m_line));
            return false;
        }
        QString why;
        m_pending = ChatArchive::fromJson(document.object(), &why);
        if (!m_pending) {
            fail(QStringLiteral("line %1: %2").arg(m_line).arg(why));
            return false;
        }
        return true;
    }
    m_atEnd = true;
    if (!m_started)
        fail(QStringLiteral("line 1: the file is empty; it holds no chat"));
    return false;
}

ChatImport::Step ChatImport::readDocument()
{
    // One chat: read whole, which costs what that chat costs anyway.
    m_file.seek(0);
    const QByteArray bytes = m_file.readAll();
    m_atEnd = true;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const int line = int(bytes.left(parseError.offset).count('\n')) + 1;
        return fail(QStringLiteral("line %1: %2").arg(line).arg(notJson(parseError)));
    }
    QString why;
    m_pending = ChatArchive::fromJson(document.object(), &why);
    if (!m_pending)
        return fail(QStringLiteral("line 1: %1").arg(why));
    return Step::added;
}

} // namespace cvn
