#include "platform/FileIdentity.h"

#include "platform/NativePath.h"

#include <sys/stat.h>

namespace cvn {

std::optional<FileIdentity> FileIdentity::of(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(nativePath(path).constData(), &st) != 0)
        return std::nullopt;
#ifdef __APPLE__
    const struct timespec modified = st.st_mtimespec;
    const struct timespec changed = st.st_ctimespec;
#else
    const struct timespec modified = st.st_mtim;
    const struct timespec changed = st.st_ctim;
#endif
    FileIdentity identity;
    identity.device = uint64_t(st.st_dev);
    identity.inode = uint64_t(st.st_ino);
    identity.size = int64_t(st.st_size);
    identity.modifiedNs = int64_t(modified.tv_sec) * 1000000000 + int64_t(modified.tv_nsec);
    identity.changedNs = int64_t(changed.tv_sec) * 1000000000 + int64_t(changed.tv_nsec);
    return identity;
}

} // namespace cvn
