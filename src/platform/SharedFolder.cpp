#include "platform/SharedFolder.h"

#include "platform/NativePath.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvn {

namespace {

QString systemError(int code)
{
    return qt_error_string(code);
}

} // namespace

std::unique_ptr<LockedFile> LockedFile::create(const QString& path, QString* error)
{
    const QByteArray native = nativePath(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        if (error)
            *error = systemError(errno);
        return nullptr;
    }
    // A scan may find the new file before it is locked and take it for one
    // whose writer died: then the name no longer leads to this file.
    struct stat mine {}, named {};
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked || ::fstat(fd, &mine) != 0 || ::stat(native.constData(), &named) != 0 || mine.st_ino != named.st_ino
        || mine.st_dev != named.st_dev) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("another process took the new file %1 away").arg(path);
        return nullptr;
    }
    return std::unique_ptr<LockedFile>(new LockedFile(fd));
}

LockedFile::~LockedFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LockedFile::write(const void* data, int64_t size)
{
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(m_fd, at, size_t(size));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            // A write that takes nothing and says nothing is a full disk.
            m_error = systemError(done < 0 ? errno : ENOSPC);
            return false;
        }
        at += done;
        size -= done;
    }
    return true;
}

bool removeIfUnlocked(const QString& path)
{
    const QByteArray native = nativePath(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT;
    bool removed = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        removed = ::unlink(native.constData()) == 0 || errno == ENOENT;
    ::close(fd);
    return removed;
}

std::optional<FolderFile> folderFile(const QString& path)
{
    struct stat st {};
    if (::stat(nativePath(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FolderFile{int64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000};
}

std::optional<int64_t> folderChangedNs(const QString& folder)
{
    struct stat st {};
    if (::stat(nativePath(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

QStringList folderNames(const QString& folder)
{
    QStringList names;
    DIR* dir = ::opendir(nativePath(folder).constData());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        if (name != "." && name != "..")
            names << pathFromNative(name);
    }
    ::closedir(dir);
    return names;
}

void touchFile(const QString& path)
{
    ::utimensat(AT_FDCWD, nativePath(path).constData(), nullptr, 0);
}

} // namespace cvn
