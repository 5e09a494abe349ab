#include "platform/FileLease.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace cvn;

// A child process opens the leased file with O_TRUNC, as `cp` over it does:
// the break is told on the break thread, and the child's open waits until the
// lease is released, then returns. A file open for writing here gets no
// lease at all.
TEST(FileLease, AWriterWaitsForTheReleaseAfterTheBreakIsTold)
{
    FileLease::watchBreaks();
    const QString path = cvn::test::makeTempFolder() + QStringLiteral("/model.gguf");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'm'));
        EXPECT_EQ(FileLease::take(path), nullptr);
    }
    const std::unique_ptr<FileLease> lease = FileLease::take(path);
    ASSERT_NE(lease, nullptr);
    EXPECT_FALSE(lease->isBroken());
    std::atomic<int> told = 0;
    lease->onBreak([&] { ++told; });

    const QByteArray native = QFile::encodeName(path);
    int opened[2];
    ASSERT_EQ(::pipe(opened), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        const char result = ::open(native.constData(), O_WRONLY | O_TRUNC) >= 0 ? 'y' : 'n';
        [[maybe_unused]] const ssize_t written = ::write(opened[1], &result, 1);
        ::_exit(0);
    }
    ::close(opened[1]);
    ASSERT_GT(child, 0);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return told > 0; }, 30000));
    EXPECT_TRUE(lease->isBroken());

    // Held back: its open has not returned, and the file is whole.
    pollfd waiting{opened[0], POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 300), 0);
    EXPECT_EQ(QFileInfo(path).size(), 4096);
    lease->release();
    char result = 0;
    EXPECT_EQ(::read(opened[0], &result, 1), 1);
    EXPECT_EQ(result, 'y');
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(QFileInfo(path).size(), 0);
    ::close(opened[0]);
    cvn::test::waitUntil([] { return false; }, 50);
    EXPECT_EQ(told, 1);
}

// A file another process has open for writing is being written, which
// passes: no lease until the writer closes it, and then one. A FIFO never
// gets one.
TEST(FileLease, AFileOpenForWritingElsewhereIsBeingWrittenNotImpossible)
{
    FileLease::watchBreaks();
    const QString folder = cvn::test::makeTempFolder();
    const QString path = folder + QStringLiteral("/model.gguf");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'm'));
    }
    const QByteArray native = QFile::encodeName(path);
    int opened[2], closing[2];
    ASSERT_EQ(::pipe(opened), 0);
    ASSERT_EQ(::pipe(closing), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(closing[1]);
        const int fd = ::open(native.constData(), O_WRONLY | O_APPEND);
        const char result = fd >= 0 ? 'y' : 'n';
        [[maybe_unused]] const ssize_t written = ::write(opened[1], &result, 1);
        char go = 0;
        [[maybe_unused]] const ssize_t read = ::read(closing[0], &go, 1);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::close(opened[1]);
    ::close(closing[0]);
    char result = 0;
    ASSERT_EQ(::read(opened[0], &result, 1), 1);
    ASSERT_EQ(result, 'y');

    FileLease::Refusal refusal = FileLease::Refusal::impossible;
    EXPECT_EQ(FileLease::take(path, &refusal), nullptr);
    EXPECT_EQ(refusal, FileLease::Refusal::beingWritten);

    ::close(closing[1]); // the child reads the end of the pipe and exits
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ::close(opened[0]);
    EXPECT_NE(FileLease::take(path), nullptr);

    const QString fifo = folder + QStringLiteral("/fifo.gguf");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    refusal = FileLease::Refusal::beingWritten;
    EXPECT_EQ(FileLease::take(fifo, &refusal), nullptr);
    EXPECT_EQ(refusal, FileLease::Refusal::impossible);
}
