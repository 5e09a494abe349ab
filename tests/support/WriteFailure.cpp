#include "support/WriteFailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>

namespace cvn::test {

FileWritesFail::FileWritesFail(rlim_t allowed)
{
    m_savedHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    rlimit none = m_saved;
    none.rlim_cur = allowed;
    ::setrlimit(RLIMIT_FSIZE, &none);
}

FileWritesFail::~FileWritesFail()
{
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    ::signal(SIGXFSZ, m_savedHandler);
}

namespace {

// Whether this process can still change what is at `path`.
bool writable(const QString& path)
{
    if (QFileInfo(path).isDir()) {
        QFile probe(QDir(path).filePath(QStringLiteral("probe")));
        if (!probe.open(QIODevice::WriteOnly))
            return false;
        probe.remove();
        return true;
    }
    QFile file(path);
    return file.open(QIODevice::ReadWrite); // changes nothing until written
}

} // namespace

std::optional<std::function<void()>> makeReadOnly(const QString& path)
{
    const QFile::Permissions before = QFile::permissions(path);
    QFile::Permissions readOnly = QFile::ReadOwner;
    if (QFileInfo(path).isDir())
        readOnly |= QFile::ExeOwner;
    QFile::setPermissions(path, readOnly);
    if (!writable(path))
        return [path, before] { QFile::setPermissions(path, before); };
    QFile::setPermissions(path, before);
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0 && !writable(path))
        return [path] { QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path}); };
    return std::nullopt;
}

} // namespace cvn::test
