#include "platform/RegularFile.h"

#include "platform/NativePath.h"

#include <algorithm>
#include <vector>


#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvn {

RegularFile::~RegularFile()
{
    close();
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : m_fd(other.m_fd)
    , m_size(other.m_size)
{
    other.m_fd = -1;
    other.m_size = 0;
}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_size = other.m_size;
        other.m_fd = -1;
        other.m_size = 0;
    }
    return *this;
}

bool RegularFile::open(const QString& path)
{
    close();
    if (path.isEmpty())
        return false;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_size = static_cast<int64_t>(st.st_size);
    return true;
}

void RegularFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd); // nothing was written, so a close error loses nothing
    m_fd = -1;
    m_size = 0;
}

int64_t RegularFile::readAt(int64_t offset, void* buffer, int64_t count) const
{
    if (m_fd < 0 || offset < 0 || count < 0)
        return -1;
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        if (offset > INT64_MAX - done)
            return -1;
        const ssize_t got = ::pread(m_fd, out + done, static_cast<size_t>(count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

int64_t RegularFile::copyTo(int destination, int64_t offset, int64_t count) const
{
    if (m_fd < 0 || destination < 0 || offset < 0 || count < 0 || offset > INT64_MAX - count)
        return -1;
    int64_t done = 0;
    bool inKernel = true;
    std::vector<char> buffer;
    while (done < count) {
        const size_t want = static_cast<size_t>(count - done);
        if (inKernel) {
            loff_t from = offset + done;
            loff_t to = offset + done;
            const ssize_t n = ::copy_file_range(m_fd, &from, destination, &to, want, 0);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return -1;
            inKernel = false; // not between these file systems: copy through memory
        }
        buffer.resize(std::min<size_t>(want, size_t(1) << 20));
        const int64_t got = readAt(offset + done, buffer.data(), int64_t(buffer.size()));
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        for (int64_t written = 0; written < got;) {
            const ssize_t n = ::pwrite(destination, buffer.data() + written, size_t(got - written),
                                       off_t(offset + done + written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            written += n;
        }
        done += got;
    }
    return done;
}

std::optional<int64_t> RegularFile::sizeOf(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(nativePath(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<int64_t>(st.st_size);
}

RegularFile::Kind RegularFile::kindOf(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(nativePath(path).constData(), &st) != 0)
        return Kind::none;
    if (S_ISDIR(st.st_mode))
        return Kind::folder;
    return S_ISREG(st.st_mode) ? Kind::regular : Kind::other;
}

bool RegularFile::moveWithoutReplacing(const QString& from, const QString& to)
{
    if (from.isEmpty() || to.isEmpty())
        return false;
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link fails just as
    // atomically when the name is taken.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    ::unlink(source.constData());
    return true;
}

} // namespace cvn
