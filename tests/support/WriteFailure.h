#pragma once

#include <QString>

#include <sys/resource.h>

#include <functional>
#include <optional>

namespace cvn::test {

// Fails every write to a file of this process while it lives (EFBIG, as a
// full disk fails them with ENOSPC), by a file-size limit of 0 with SIGXFSZ
// ignored; both are restored after. With `allowed` bytes, a file takes that
// much first: a longer write then ends short, and the next one fails, as on
// a disk that fills during the write.
class FileWritesFail {
public:
    explicit FileWritesFail(rlim_t allowed = 0);
    ~FileWritesFail();

    FileWritesFail(const FileWritesFail&) = delete;
    FileWritesFail& operator=(const FileWritesFail&) = delete;

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
};

// Makes the file or folder at `path` read-only: by its mode for an ordinary
// user, by the immutable attribute for root (who ignores modes). Returns the
// undo, or nothing when neither works here.
std::optional<std::function<void()>> makeReadOnly(const QString& path);

} // namespace cvn::test
