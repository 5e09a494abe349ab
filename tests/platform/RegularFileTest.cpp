#include "platform/RegularFile.h"

#include "platform/NativePath.h"

#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cvn;

namespace {

QString writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = cvn::test::makeTempFolder() + QLatin1Char('/') + name;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

} // namespace

TEST(RegularFile, RefusesWhatIsNotARegularFileWithoutBlocking)
{
    RegularFile file;
    EXPECT_FALSE(file.open(cvn::test::makeTempFolder()));
    const QString fifo = cvn::test::makeTempFolder() + QStringLiteral("/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(file.open(fifo)); // would block forever if opened for reading
    EXPECT_FALSE(file.open(QStringLiteral("/no/such/file")));

    const QString path = writeFile(QStringLiteral("data"), QByteArray("0123456789"));
    ASSERT_TRUE(file.open(path));
    EXPECT_EQ(file.size(), 10);
    char buffer[16] = {};
    EXPECT_EQ(file.readAt(4, buffer, 16), 6);
    EXPECT_EQ(QByteArray(buffer, 6), QByteArray("456789"));
    EXPECT_EQ(file.readAt(-1, buffer, 4), -1);
    EXPECT_EQ(file.readAt(20, buffer, 4), 0);
}

TEST(RegularFile, CopyToWritesTheSameBytesAtTheSameOffsets)
{
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 131) % 251);
    RegularFile source;
    ASSERT_TRUE(source.open(writeFile(QStringLiteral("source"), bytes)));

    const QString destination = cvn::test::makeTempFolder() + QStringLiteral("/copy");
    const int fd = ::open(QFile::encodeName(destination).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    int64_t copied = 0;
    for (;;) {
        const int64_t n = source.copyTo(fd, copied, 1024 * 1024);
        ASSERT_GE(n, 0);
        if (n == 0)
            break;
        copied += n;
    }
    ::close(fd);
    EXPECT_EQ(copied, bytes.size());
    QFile copy(destination);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), bytes);

    EXPECT_EQ(source.copyTo(-1, 0, 10), -1);
    EXPECT_EQ(source.copyTo(fd, -5, 10), -1);
    RegularFile closed;
    EXPECT_EQ(closed.copyTo(1, 0, 10), -1);

    // A destination that takes no more bytes (a full disk) fails the copy.
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EQ(source.copyTo(full, 0, 4096), -1);
    ::close(full);
}

TEST(RegularFile, SizeOfReadsTheAttributesAndFollowsLinks)
{
    const QString path = writeFile(QStringLiteral("sized"), QByteArray(1234, 'x'));
    const QString link = path + QStringLiteral(".link");
    ASSERT_EQ(::symlink(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
    const QString dangling = path + QStringLiteral(".dangling");
    ASSERT_EQ(::symlink("/no/such/target", QFile::encodeName(dangling).constData()), 0);

    const struct {
        QString path;
        std::optional<int64_t> size;
    } cases[] = {
        {path, 1234},
        {link, 1234},
        {writeFile(QStringLiteral("empty"), {}), 0},
        {dangling, std::nullopt},
        {QStringLiteral("/no/such/file"), std::nullopt},
        {QString(), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RegularFile::sizeOf(c.path), c.size) << c.path.toStdString();
}

// A name that is not valid UTF-8 opens by its bytes, and each kind of thing
// at a path is told apart.
TEST(RegularFile, OpensANameThatIsNotUtf8AndTellsKindsApart)
{
    const QByteArray folder = QFile::encodeName(cvn::test::makeTempFolder());
    const QByteArray name = folder + "/caf\xe9.txt";
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    // Qt lists no such name, so the temporary folder's removal would miss it.
    const struct Unlink {
        QByteArray name;
        ~Unlink() { ::unlink(name.constData()); }
    } unlink{name};
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    ::close(fd);
    const QString path = pathFromNative(name);
    RegularFile file;
    ASSERT_TRUE(file.open(path));
    EXPECT_EQ(file.size(), 5);
    EXPECT_EQ(RegularFile::sizeOf(path), 5);
    // Decoded the usual way, the name is another one, which does not exist.
    EXPECT_FALSE(file.open(QFile::decodeName(name)));

    const QByteArray fifo = folder + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    using Kind = RegularFile::Kind;
    const struct {
        QString path;
        Kind kind;
    } cases[] = {
        {path, Kind::regular},
        {QFile::decodeName(name), Kind::none},
        {QFile::decodeName(folder), Kind::folder},
        {QFile::decodeName(fifo), Kind::other},
        {QString(), Kind::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RegularFile::kindOf(c.path), c.kind) << c.path.toStdString();
}
