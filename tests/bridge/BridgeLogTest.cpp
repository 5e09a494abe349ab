#include "bridge/BridgeLog.h"

#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>

#include <sys/stat.h>
#include <vector>

using cvn::FileLog;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

const QRegularExpression stampedLine(QStringLiteral(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\] (.*)$)"));

} // namespace

TEST(BridgeLog, FirstLineCreatesTheFolderAndIsStamped)
{
    const QString folder = cvn::test::makeTempFolder() + QStringLiteral("/Corvanthelis");
    FileLog log(folder + QStringLiteral("/bridge.log"));
    log.append(QStringLiteral("hello"));
    log.flush();
    EXPECT_TRUE(QDir(folder).exists());
    const QString text = QString::fromUtf8(readAll(log.path()));
    ASSERT_TRUE(text.endsWith(QLatin1Char('\n')));
    EXPECT_EQ(text.count(QLatin1Char('\n')), 1);
    const QRegularExpressionMatch match = stampedLine.match(text.chopped(1));
    ASSERT_TRUE(match.hasMatch()) << text.toStdString();
    EXPECT_EQ(match.captured(1), QStringLiteral("hello"));

    // A line feed in a message is written as it is.
    log.append(QStringLiteral("a\nb"));
    log.flush();
    EXPECT_TRUE(readAll(log.path()).endsWith("] a\nb\n"));
}

TEST(BridgeLog, RotatesOnlyAtTheFirstWriteOfARunWhenPastOneMiB)
{
    const QString folder = cvn::test::makeTempFolder();
    const QString path = folder + QStringLiteral("/bridge.log");
    const QByteArray big(FileLog::rotationBytes + 1, 'x');
    writeFile(path, big);
    {
        FileLog log(path);
        log.append(QStringLiteral("first"));
        log.flush();
        EXPECT_EQ(readAll(path + QStringLiteral(".old")), big);
        EXPECT_TRUE(readAll(path).endsWith("] first\n"));
        EXPECT_EQ(readAll(path).count('\n'), 1);

        // Growing past 1 MiB later in the same run moves nothing.
        log.append(QString(FileLog::rotationBytes, QLatin1Char('y')));
        log.append(QStringLiteral("later"));
        log.flush();
        EXPECT_GT(QFile(path).size(), FileLog::rotationBytes);
        EXPECT_TRUE(readAll(path).endsWith("] later\n"));
        EXPECT_EQ(readAll(path + QStringLiteral(".old")), big);
    }

    // Exactly 1 MiB is not more than the limit.
    const QByteArray limit(FileLog::rotationBytes, 'z');
    writeFile(path, limit);
    QFile::remove(path + QStringLiteral(".old"));
    FileLog next(path);
    next.append(QStringLiteral("kept"));
    next.flush();
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".old")));
    EXPECT_TRUE(readAll(path).startsWith(limit));
    EXPECT_TRUE(readAll(path).endsWith("] kept\n"));
}

TEST(BridgeLog, SafetyRotationPastEightMiBDuringARun)
{
    const QString path = cvn::test::makeTempFolder() + QStringLiteral("/bridge.log");
    FileLog log(path);
    log.append(QStringLiteral("start"));
    log.flush();
    log.append(QString(FileLog::safetyRotationBytes, QLatin1Char('q')));
    log.flush();
    log.append(QStringLiteral("after"));
    log.flush();
    EXPECT_GT(QFile(path + QStringLiteral(".old")).size(), FileLog::safetyRotationBytes);
    EXPECT_EQ(readAll(path).count('\n'), 1);
    EXPECT_TRUE(readAll(path).endsWith("] after\n"));
}

TEST(BridgeLog, ManyThreadsKeepTheirOwnOrderAndNothingIsLost)
{
    const QString path = cvn::test::makeTempFolder() + QStringLiteral("/bridge.log");
    FileLog log(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 2500; ++i) {
                log.append(QStringLiteral("t%1 %2").arg(t).arg(i));
                if (i % 500 == 0)
                    std::this_thread::yield();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    log.flush();

    const QList<QByteArray> lines = readAll(path).split('\n');
    int next[4] = {0, 0, 0, 0};
    uint64_t dropped = 0;
    for (const QByteArray& raw : lines) {
        if (raw.isEmpty())
            continue;
        const QRegularExpressionMatch match = stampedLine.match(QString::fromUtf8(raw));
        ASSERT_TRUE(match.hasMatch()) << raw.toStdString();
        const QString message = match.captured(1);
        if (message.startsWith(QStringLiteral("log: "))) {
            dropped += message.split(QLatin1Char(' '))[1].toULongLong();
            continue;
        }
        const QStringList parts = message.split(QLatin1Char(' '));
        const int t = parts[0].mid(1).toInt();
        const int i = parts[1].toInt();
        // Each thread's lines appear in its own order (a dropped line leaves a gap).
        EXPECT_GE(i, next[t]);
        next[t] = i + 1;
    }
    // The queue holds up to 10,000 lines, so these 10,000 all arrive.
    EXPECT_EQ(dropped, 0u);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(next[t], 2500);
    EXPECT_EQ(lines.size(), 10001); // the last split piece is empty
}

TEST(BridgeLog, FloodBeyondTheQueueIsCountedAndLogged)
{
    // The log is a FIFO nobody reads yet: the writer stalls opening it with
    // at most one batch taken, so the queue fills and the rest is dropped.
    const QString path = cvn::test::makeTempFolder() + QStringLiteral("/bridge.log");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    FileLog log(path);
    constexpr uint64_t queue = 10000; // lines the log holds while its writer is busy
    constexpr uint64_t total = 3 * queue;
    for (uint64_t i = 0; i < total; ++i)
        log.append(QStringLiteral("n"));

    // Each batch opens the FIFO anew: read one opening after another until
    // every line is written or counted as dropped.
    uint64_t written = 0;
    uint64_t dropped = 0;
    while (written + dropped < total) {
        QFile reader(path);
        ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
        for (const QByteArray& raw : reader.readAll().split('\n')) {
            if (raw.endsWith("] n"))
                ++written;
            else if (raw.contains("] log: "))
                dropped += raw.mid(raw.indexOf("] log: ") + 7).split(' ')[0].toULongLong();
        }
    }
    log.flush();
    EXPECT_EQ(written + dropped, total);
    // The stalled batch plus a full queue at most.
    EXPECT_LE(written, 2 * queue);
    EXPECT_GE(written, queue);
}

TEST(BridgeLog, SharedLogFollowsTheDataFolderAndSurvivesShutdownOrder)
{
    ASSERT_TRUE(cvn::bridgeLogPath().has_value());
    EXPECT_EQ(*cvn::bridgeLogPath(), qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Corvanthelis/bridge.log"));
    cvn::bridgeLog(QStringLiteral("shared line"));
    cvn::bridgeLogFlush();
    EXPECT_TRUE(readAll(*cvn::bridgeLogPath()).contains("] shared line\n"));

    // A private log stopped early still takes lines, written in place.
    const QString path = cvn::test::makeTempFolder() + QStringLiteral("/bridge.log");
    FileLog log(path);
    log.append(QStringLiteral("before"));
    log.shutdown();
    log.append(QStringLiteral("after"));
    log.flush();
    const QByteArray text = readAll(path);
    EXPECT_LT(text.indexOf("] before\n"), text.indexOf("] after\n"));
    EXPECT_GE(text.indexOf("] before\n"), 0);
}
