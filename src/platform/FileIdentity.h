#pragma once

#include <QHashFunctions>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// What tells one version of a file from another without reading it: where it
// lives (device and inode), how long it is, when it was last written and
// when its inode last changed. A file replaced by a rename gets another
// inode; one rewritten or cut short in place keeps its inode but changes its
// change time, which every write moves and which, unlike the modification
// time, no one can set back (`cp` then `touch -r` gives a rewritten file its
// old size and time). A chmod moves it too: that file counts as changed once.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0; // since the epoch, in nanoseconds
    int64_t changedNs = 0; // the inode's change time, likewise

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    friend size_t qHash(const FileIdentity& f, size_t seed = 0) noexcept
    {
        return qHashMulti(seed, f.device, f.inode, f.size, f.modifiedNs, f.changedNs);
    }

    // The identity of the file at `path` now (symbolic links followed);
    // nothing when there is no such file or it cannot be examined. Any thread.
    static std::optional<FileIdentity> of(const QString& path);
};

} // namespace cvn
