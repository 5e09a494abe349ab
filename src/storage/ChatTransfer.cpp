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

// The sentence for a database that cannot be written for a reason waiting
// does not mend.
QString unwritable(ChatDatabase::WriteFault fault)
{
    using Fault = ChatDatabase::WriteFault;
    switch (fault) {
    case Fault::full: return QStringLiteral("the disk that holds the chats is full");
    case Fault::damaged: return QStringLiteral("the chat database is damaged");
    case Fault::readOnly: return QStringLiteral("the chat database can only be read");
    case Fault::diskError: return QStringLiteral("the chat database cannot be read or written (a disk error)");
    case Fault::unavailable: return QStringLiteral("the chat database cannot be opened");
    case Fault::none:
    case Fault::locked:
    case Fault::other: break;
    }
    return QStringLiteral("the chat database cannot be written");
}

// JSON as Qt's reader takes it back exactly. The reader decodes a string
// without escapes as UTF-8 text that may open with a byte-order mark, and
// drops a U+FEFF at its start; escaped, it is kept. A mark in front of the
// whole line or document is no text of the file's, and goes.
QByteArray keepingByteOrderMarks(QByteArray bytes)
{
    static const QByteArray mark("\xEF\xBB\xBF");
    if (bytes.startsWith(mark))
        bytes.remove(0, mark.size());
    // 0xEF only ever starts a UTF-8 sequence, so each match is a U+FEFF.
    if (bytes.contains(mark))
        bytes.replace(mark, QByteArrayLiteral("\\ufeff"));
    return bytes;
}

// A JSON parse error as the user reads it.
QString notJson(const QJsonParseError& error)
{
    return QStringLiteral("not a chat (not valid JSON: %1)").arg(error.errorString());
}

} // namespace

ChatExport::ChatExport(ChatDatabase& db, const QString& path, Format format, QList<ChatArchive::Key> chats,
                       Streams streams)
    : m_db(db)
    , m_format(format)
    , m_chats(std::move(chats))
{
    if (isStream(path)) {
        // A pipe or terminal cannot be replaced, and a regular file named
        // through a descriptor is the caller's own, written where it stands:
        // appended to, as the shell's `>` and `>>` have left it.
        m_file = std::make_unique<QFile>(path);
        if (streams == Streams::refused) {
            fail(QStringLiteral("%1 is not a regular file").arg(path));
            return;
        }
        const bool regular = QFileInfo(path).isFile();
        if (!m_file->open(regular ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly))
            fail(QStringLiteral("%1 cannot be written").arg(path));
        return;
    }
    m_file = std::make_unique<QSaveFile>(path);
    if (!m_file->open(QIODevice::WriteOnly))
        fail(QStringLiteral("%1 cannot be written").arg(path));
}

bool ChatExport::isStream(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    if (!info.isFile())
        return true;
    const QString absolute = info.absoluteFilePath();
    return info.isSymLink()
           && (absolute.startsWith(QLatin1String("/dev/")) || absolute.startsWith(QLatin1String("/proc/")));
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
    if (auto* save = qobject_cast<QSaveFile*>(m_file.get()))
        save->cancelWriting();
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
    if (m_file->write(bytes) != bytes.size())
        return fail(QStringLiteral("%1 cannot be written").arg(m_file->fileName()));
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
    auto* save = qobject_cast<QSaveFile*>(m_file.get());
    if (save ? !save->commit() : !m_file->flush())
        return fail(QStringLiteral("%1 cannot be written").arg(m_file->fileName()));
    return true;
}

ChatImport::ChatImport(ChatDatabase& db, const QString& path, Streams streams)
    : m_db(db)
    , m_file(path)
{
    const QFileInfo info(path);
    // Checked before the open, which waits for a FIFO's writer.
    if (info.exists() && !info.isFile() && !info.isDir() && streams == Streams::refused)
        fail(QStringLiteral("not a regular file"), Fault::file);
    else if (info.isDir() || !m_file.open(QIODevice::ReadOnly))
        fail(unreadableFile(path), Fault::file);
    else
        m_size = m_file.isSequential() ? 0 : m_file.size();
}

int64_t ChatImport::position() const
{
    return m_file.isOpen() ? m_file.pos() : 0;
}

ChatImport::Step ChatImport::fail(const QString& error, Fault fault)
{
    m_failed = true;
    if (m_error.isEmpty()) {
        m_error = error;
        m_fault = fault;
    }
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
    case ChatArchive::Added::notWritten:
        // Another program's write ends by itself; a full disk, a damaged
        // file or one that may only be read would be waited for in vain.
        if (m_db.writeFault() == ChatDatabase::WriteFault::locked)
            return Step::waiting;
        return fail(unwritable(m_db.writeFault()), Fault::database);
    case ChatArchive::Added::added: ++m_added; break;
    case ChatArchive::Added::duplicate: ++m_skipped; break;
    }
    m_pending.reset();
    return Step::added;
}

bool ChatImport::readNext()
{
    // Read until nothing comes rather than while atEnd() is false: a pipe
    // has no size, and is at no end before its writer closes it.
    for (;;) {
        const QByteArray line = m_file.readLine();
        if (line.isEmpty()) {
            if (m_file.error() != QFileDevice::NoError) {
                fail(QStringLiteral("line %1: cannot be read").arg(m_line + 1));
                return false;
            }
            break;
        }
        ++m_line;
        const QByteArray json = keepingByteOrderMarks(line);
        if (json.trimmed().isEmpty()) {
            if (!m_started)
                m_head += line;
            continue;
        }
        // The export of one chat is an indented document that starts with a
        // lone brace; JSON Lines hold a whole object on each line.
        if (!m_started && json.trimmed() == "{") {
            m_started = true;
            return readDocument(m_head + line) == Step::added;
        }
        m_started = true;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
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

ChatImport::Step ChatImport::readDocument(const QByteArray& head)
{
    // One chat: read whole, which costs what that chat costs anyway.
    const QByteArray rest = m_file.readAll();
    m_atEnd = true;
    if (m_file.error() != QFileDevice::NoError)
        return fail(QStringLiteral("line %1: cannot be read").arg(m_line + 1));
    const QByteArray bytes = keepingByteOrderMarks(head + rest);
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
