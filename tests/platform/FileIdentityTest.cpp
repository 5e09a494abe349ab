#include "platform/FileIdentity.h"

#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

using namespace cvn;

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

// Each way a file can change under a reader that mapped it tells apart from
// the file as it was; reading it again, or through a link, does not.
TEST(FileIdentity, TellsEachKindOfChangeFromTheSameFile)
{
    const QString folder = cvn::test::makeTempFolder();
    const QString path = folder + QStringLiteral("/model");
    write(path, QByteArray(4096, 'a'));
    const std::optional<FileIdentity> loaded = FileIdentity::of(path);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->size, 4096);
    EXPECT_GT(loaded->modifiedNs, 0);
    EXPECT_EQ(FileIdentity::of(path), loaded);
    const QString link = folder + QStringLiteral("/link");
    ASSERT_TRUE(QFile::link(path, link));
    EXPECT_EQ(FileIdentity::of(link), loaded);

    // Cut short in place: same inode, another size.
    ASSERT_TRUE(QFile::resize(path, 1024));
    const std::optional<FileIdentity> cut = FileIdentity::of(path);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->device, loaded->device);
    EXPECT_EQ(cut->inode, loaded->inode);
    EXPECT_EQ(cut->size, 1024);
    EXPECT_NE(cut, loaded);

    // Replaced by a rename with a file of the same size: another inode.
    const QString staged = folder + QStringLiteral("/staged");
    write(staged, QByteArray(1024, 'b'));
    std::filesystem::rename(QFile::encodeName(staged).toStdString(), QFile::encodeName(path).toStdString());
    const std::optional<FileIdentity> replaced = FileIdentity::of(path);
    ASSERT_TRUE(replaced.has_value());
    EXPECT_NE(replaced->inode, cut->inode);
    EXPECT_EQ(replaced->size, 1024);

    EXPECT_EQ(FileIdentity::of(folder + QStringLiteral("/missing")), std::nullopt);
    EXPECT_EQ(FileIdentity::of(QString()), std::nullopt);
}
