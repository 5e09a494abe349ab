#include "CrashText.h"
#include "RawDatabase.h"
#include "storage/ChatDatabase.h"

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using cvn::ChatDatabase;

TEST(ChatDatabaseCrash, WriterKilledAtRandomMomentsLeavesEveryReturnedMessageIntact)
{
    const QString path = cvn::test::newDatabasePath();
    QHash<qint64, qint64> written; // row id → sequence number of its text
    QRandomGenerator random(20261205);
    for (int round = 0; round < 24; ++round) {
        QProcess writer;
        writer.start(QStringLiteral(CVN_CRASH_WRITER), {path, QString::number(round)});
        ASSERT_TRUE(writer.waitForStarted());
        // Kill it while it writes: some while after its first report.
        ASSERT_TRUE(writer.waitForReadyRead(10000)) << writer.readAllStandardError().constData();
        const qint64 killAfterMs = random.bounded(1, 150);
        QElapsedTimer clock;
        clock.start();
        QByteArray output;
        while (clock.elapsed() < killAfterMs) {
            writer.waitForReadyRead(int(killAfterMs - clock.elapsed()) + 1);
            output += writer.readAllStandardOutput();
        }
        writer.kill(); // SIGKILL: no chance to finish a statement or close
        ASSERT_TRUE(writer.waitForFinished(10000));
        output += writer.readAllStandardOutput();

        // Only whole lines were printed after their write returned.
        const QList<QByteArray> lines = output.left(output.lastIndexOf('\n') + 1).split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 3 && fields[0] == "M")
                written.insert(fields[1].toLongLong(), fields[2].toLongLong());
        }

        ChatDatabase db(path);
        ASSERT_TRUE(db.isOpen()) << "round " << round;
        const ChatDatabase::Statement check = db.prepare(QStringLiteral("PRAGMA integrity_check"));
        ASSERT_TRUE(check && ChatDatabase::stepRow(check.get()));
        EXPECT_EQ(ChatDatabase::textColumn(check.get(), 0), "ok") << "round " << round;
        for (auto it = written.cbegin(); it != written.cend(); ++it) {
            const ChatDatabase::Statement read =
                db.prepare(QStringLiteral("SELECT content FROM messages WHERE id=?"), {it.key()});
            ASSERT_TRUE(read && ChatDatabase::stepRow(read.get())) << "row " << it.key() << " lost in round " << round;
            ASSERT_EQ(ChatDatabase::textColumn(read.get(), 0), cvn::test::crashText(it.value()))
                << "row " << it.key() << " in round " << round;
        }
        EXPECT_FALSE(db.listChats().isEmpty());
    }
    EXPECT_GT(written.size(), 24);
}

TEST(ChatDatabaseConcurrency, WritersInSeveralProcessesOnAFreshFileLoseNothing)
{
    const QString path = cvn::test::newDatabasePath();
    constexpr int writers = 8;
    constexpr int perWriter = 250;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < writers; ++i) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(QStringLiteral(CVN_CRASH_WRITER),
                                {path, QString::number(i + 1), QString::number(perWriter)});
    }
    int reported = 0;
    for (const auto& writer : processes) {
        ASSERT_TRUE(writer->waitForFinished(120000));
        EXPECT_EQ(writer->exitCode(), 0) << "the writer could not open the database";
        const QByteArray output = writer->readAllStandardOutput();
        EXPECT_EQ(output.count("F "), 0) << writer->readAllStandardError().left(2000).constData();
        reported += int(output.count("M "));
    }
    EXPECT_EQ(reported, writers * perWriter);
    cvn::test::RawDatabase raw(path);
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages"), writers * perWriter);
    EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");
}
