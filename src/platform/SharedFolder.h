#pragma once

// Files in a folder that several processes write at once (the reply cache's
// folder): a file written under a lock, so that anyone can tell a write in
// progress from one whose writer died, and the few facts of the folder that
// a reader keeping an index of it needs.
//
// The lock is the whole-file lock of flock(2): it belongs to the open file,
// so it conflicts even with another descriptor of the same process, and the
// kernel drops it when its writer dies, however it dies.
//
// Threads: everything on any thread; one owner per LockedFile.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace cvn {

class LockedFile {
public:
    // Makes the file at `path`, which must not exist, open for writing
    // under its lock; nothing, with the system's reason in `error`, when it
    // cannot.
    static std::unique_ptr<LockedFile> create(const QString& path, QString* error);

    ~LockedFile(); // closes, and so lets go of the lock
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Writes all of `data`; false, with the system's reason in error(), when
    // it cannot (a full disk, a file-size limit).
    bool write(const void* data, int64_t size);
    const QString& error() const { return m_error; }

private:
    explicit LockedFile(int fd) : m_fd(fd) {}
    int m_fd = -1;
    QString m_error;
};

// Deletes the file at `path` when nobody holds its lock, and says whether
// it did; a file that is gone counts as deleted.
bool removeIfUnlocked(const QString& path);

struct FolderFile {
    int64_t size = 0;
    int64_t modifiedMs = 0;
};

// Size and modification time of the file at `path`; nothing when it is
// missing or not a regular file.
std::optional<FolderFile> folderFile(const QString& path);

// When the folder's list of names last changed, in nanoseconds; nothing when
// there is no such folder.
std::optional<int64_t> folderChangedNs(const QString& folder);

// The names in `folder`, read without a look at each file; an empty list
// when it cannot be read.
QStringList folderNames(const QString& folder);

// Marks the file at `path` as modified now.
void touchFile(const QString& path);

} // namespace cvn
