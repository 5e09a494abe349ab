#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// A read-only handle on a regular file, for readers of files the user picked.
// Paths reach the system by their bytes as NativePath.h keeps them, so a
// name that is not valid UTF-8 opens too when it came from pathFromNative.
//
// open() refuses anything that is not a regular file (a FIFO, a device, a
// folder) without blocking, so a hostile path cannot stall the caller. The
// handle is closed by the destructor; one owner at a time (move-only).
class RegularFile {
public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // False when the path is missing, unreadable or not a regular file.
    bool open(const QString& path);
    bool isOpen() const { return m_fd >= 0; }
    void close();

    // Size in bytes as reported when the file was opened.
    int64_t size() const { return m_size; }

    // Reads up to `count` bytes at `offset`, retrying short reads; returns the
    // number read (less than `count` only at the end of the file), or -1 on an
    // error or a negative offset or count.
    int64_t readAt(int64_t offset, void* buffer, int64_t count) const;

    // Copies up to `count` bytes at `offset` into the open file descriptor
    // `destination` at the same offset, inside the kernel where the file
    // systems allow it; returns the number copied (less than `count` only at
    // the end of the file), or -1 on an error.
    int64_t copyTo(int destination, int64_t offset, int64_t count) const;

    // Size of the file at `path` from its attributes (symlinks followed);
    // nothing when it cannot be read.
    static std::optional<int64_t> sizeOf(const QString& path);

    // What is at `path`, symlinks followed: nothing (or nothing that can be
    // reached), a folder, a regular file, or something else (a FIFO, a device).
    enum class Kind { none, folder, regular, other };
    static Kind kindOf(const QString& path);

    // Renames `from` to `to` in one step, never replacing anything already at
    // `to`: false, with nothing moved, when `to` exists or the rename fails.
    static bool moveWithoutReplacing(const QString& from, const QString& to);

private:
    int m_fd = -1;
    int64_t m_size = 0;
};

} // namespace cvn
