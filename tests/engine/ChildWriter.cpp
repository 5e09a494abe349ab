#include "ChildWriter.h"

#include "support/Wait.h"

#include <QFile>

#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cvn::test {

ChildWriter::ChildWriter(const QString& path, int flags, const QByteArray& bytes, int chunks, int pauseMs)
{
    const QByteArray native = QFile::encodeName(path);
    int report[2], go[2];
    if (::pipe(report) != 0)
        return;
    if (::pipe(go) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return;
    }
    m_child = ::fork();
    if (m_child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        ::close(report[0]);
        ::close(go[1]);
        const int fd = ::open(native.constData(), flags);
        const char result = fd >= 0 ? 'y' : 'n';
        [[maybe_unused]] ssize_t done = ::write(report[1], &result, 1);
        if (bytes.isEmpty()) {
            char byte = 0;
            done = ::read(go[0], &byte, 1); // until the parent's word
        }
        const qsizetype piece = chunks > 0 ? (bytes.size() + chunks - 1) / chunks : bytes.size();
        for (qsizetype at = 0; fd >= 0 && at < bytes.size(); at += piece) {
            if (at > 0 && pauseMs > 0) {
                const timespec pause{pauseMs / 1000, long(pauseMs % 1000) * 1000000};
                ::nanosleep(&pause, nullptr);
            }
            const size_t size = size_t(std::min(piece, bytes.size() - at));
            if (::pwrite(fd, bytes.constData() + at, size, at) != ssize_t(size))
                break;
        }
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(go[0]);
    m_report = report[0];
    m_go = go[1];
    m_holding = bytes.isEmpty();
}

ChildWriter::~ChildWriter()
{
    close();
    if (m_child > 0 && !m_reaped)
        ::waitpid(m_child, nullptr, 0);
    if (m_report >= 0)
        ::close(m_report);
}

bool ChildWriter::opened(int timeoutMs, bool pump)
{
    pollfd ready{m_report, POLLIN, 0};
    if (m_report < 0)
        return false;
    if (!pump)
        return ::poll(&ready, 1, timeoutMs) > 0;
    return waitUntil([&] { return ::poll(&ready, 1, 0) > 0; }, timeoutMs);
}

void ChildWriter::close()
{
    // A word rather than the pipe's end: a writer forked later holds a copy
    // of this end too.
    if (m_go < 0)
        return;
    // Only a holding child reads it: a write with no reader left would end
    // this process (SIGPIPE).
    const char byte = 1;
    if (m_holding && !finished())
        [[maybe_unused]] const ssize_t sent = ::write(m_go, &byte, 1);
    ::close(m_go);
    m_go = -1;
}

bool ChildWriter::finished()
{
    if (!m_reaped && m_child > 0)
        m_reaped = ::waitpid(m_child, nullptr, WNOHANG) == m_child;
    return m_reaped;
}

bool leaseHeldOn(const QString& path)
{
    struct stat st {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pid = QByteArray::number(qint64(::getpid()));
    const QByteArray inode = ':' + QByteArray::number(qulonglong(st.st_ino));
    // "1: LEASE  ACTIVE    READ 2979 fe:00:10954145 0 EOF"
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "LEASE" && fields[4] == pid && fields[5].endsWith(inode))
            return true;
    }
    return false;
}

} // namespace cvn::test
