// The reply cache's folder as other programs leave it: files renamed,
// writers killed mid-write, other instances writing beside this one.
#include "engine/PromptStore.h"

#include "platform/SharedFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>

using namespace cvn;

namespace {

constexpr int64_t kMiB = 1024 * 1024;
const PromptIdentity kIdentity{FileIdentity{1, 2, 3, 4, 5}, 4096, 1, 1};

// A store keeping entries on disk only, in a folder of its own.
struct DiskStore {
    QTemporaryDir dir;
    QString folder = dir.filePath(QStringLiteral("decoded"));
    std::unique_ptr<PromptStore> store = open();

    std::unique_ptr<PromptStore> open() const
    {
        auto made = std::make_unique<PromptStore>(folder);
        made->setMemoryBudget(0);
        made->setDiskBudget(64 * kMiB);
        made->flush();
        return made;
    }
    static void save(PromptStore& into, std::vector<int32_t> tokens, uint8_t fill = 7)
    {
        into.save(kIdentity, tokens, tokens.size(), 1024, [fill](uint8_t* data, size_t size) {
            std::fill(data, data + size, fill);
            return true;
        });
    }
    QStringList files() const { return QDir(folder).entryList(QDir::Files); }
    int64_t bytesOnDisk() const
    {
        int64_t total = 0;
        for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files))
            total += info.size();
        return total;
    }
};

std::vector<int32_t> counting(int32_t first, int32_t count)
{
    std::vector<int32_t> tokens(static_cast<size_t>(count));
    std::iota(tokens.begin(), tokens.end(), first);
    return tokens;
}

std::vector<int32_t> plus(std::vector<int32_t> tokens, int32_t more)
{
    tokens.push_back(more);
    return tokens;
}

} // namespace

// Two entries' files under each other's names: each would restore one
// chat's state into the other.
TEST(PromptStoreTest, AFileWhoseNameIsNotTheHashOfWhatItHoldsIsDeleted)
{
    DiskStore disk;
    DiskStore::save(*disk.store, {1, 2, 3, 4}, 1);
    DiskStore::save(*disk.store, {5, 6, 7, 8}, 2);
    disk.store->flush();
    const QStringList names = disk.files();
    ASSERT_EQ(names.size(), 2);
    const QDir dir(disk.folder);
    ASSERT_TRUE(QFile::rename(dir.filePath(names[0]), dir.filePath(QStringLiteral("swap"))));
    ASSERT_TRUE(QFile::rename(dir.filePath(names[1]), dir.filePath(names[0])));
    ASSERT_TRUE(QFile::rename(dir.filePath(QStringLiteral("swap")), dir.filePath(names[1])));

    disk.store = disk.open();
    EXPECT_FALSE(disk.store->find(kIdentity, {1, 2, 3, 4, 9}, 4, 0));
    EXPECT_FALSE(disk.store->find(kIdentity, {5, 6, 7, 8, 9}, 4, 0));
    EXPECT_TRUE(disk.files().isEmpty()) << disk.files().join(QLatin1Char(' ')).toStdString();
}

// A writer killed mid-write leaves its temporary file: it goes at the next
// look whatever its age, while one still being written counts against the
// budget.
TEST(PromptStoreTest, ATemporaryFileNobodyWritesGoesAtOnceAndOneBeingWrittenCounts)
{
    DiskStore disk;
    disk.store.reset();
    ASSERT_TRUE(QDir().mkpath(disk.folder));
    const QString dead = disk.folder + QStringLiteral("/0a1b.kv.dead.tmp");
    QFile left(dead);
    ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    left.write(QByteArray(1000, 'x'));
    left.close();
    const QString livePath = disk.folder + QStringLiteral("/2c3d.kv.live.tmp");
    QString error;
    std::unique_ptr<LockedFile> live = LockedFile::create(livePath, &error);
    ASSERT_TRUE(live) << error.toStdString();
    ASSERT_TRUE(live->write(QByteArray(3000, 'y').constData(), 3000));

    disk.store = disk.open();
    EXPECT_FALSE(QFile::exists(dead));
    EXPECT_TRUE(QFile::exists(livePath));
    EXPECT_EQ(disk.store->diskBytes(), 3000);

    // Its writer dies; the store's next write finds it gone.
    live.reset();
    DiskStore::save(*disk.store, {1, 2, 3});
    disk.store->flush();
    EXPECT_FALSE(QFile::exists(livePath));
    EXPECT_EQ(disk.files().size(), 1);
    EXPECT_EQ(disk.store->diskBytes(), disk.bytesOnDisk());
}

// The folder is read again only when another program changed it, not for
// each reply nor for the store's own writes, and what another instance
// wrote is then found.
TEST(PromptStoreTest, TheFolderIsReadAgainOnlyWhenAnotherWriterChangedIt)
{
    DiskStore disk;
    for (int32_t i = 0; i < 20; ++i)
        DiskStore::save(*disk.store, counting(100 * i, 10));
    disk.store->flush();
    const int64_t scans = disk.store->folderScans();
    for (int32_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(disk.store->find(kIdentity, plus(counting(100 * i, 10), -1), 10, 0));
        DiskStore::save(*disk.store, counting(100 * i, 12));
    }
    disk.store->flush();
    EXPECT_EQ(disk.store->folderScans(), scans);
    EXPECT_EQ(disk.files().size(), 20);

    // The folder's time has the kernel's clock tick as its grain: another
    // writer's change in the same tick as this store's last would not show.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        const std::unique_ptr<PromptStore> other = disk.open();
        DiskStore::save(*other, {7, 7, 7, 7});
        other->flush();
    }
    EXPECT_TRUE(disk.store->find(kIdentity, {7, 7, 7, 7, 1}, 4, 0));
    EXPECT_EQ(disk.store->folderScans(), scans + 1);
    EXPECT_EQ(disk.store->diskBytes(), disk.bytesOnDisk());
}
