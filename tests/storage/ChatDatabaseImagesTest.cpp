// The facts stored beside a message's images: an older file without their
// columns, read where it can only be read and given them once it can be
// written; the facts each image keeps.
#include "storage/ChatDatabase.h"

#include "RawDatabase.h"
#include "Turns.h"
#include "support/WriteFailure.h"

#include <gtest/gtest.h>

#include <optional>

using cvn::ChatDatabase;
using cvn::test::newDatabasePath;
using cvn::test::RawDatabase;
using Value = ChatDatabase::Value;

// A file whose images were stored before their facts were kept: on a full
// disk it is read as it is, images without facts; once there is room it
// gets their columns, and each image keeps the facts stored for it (the
// newest over older ones), taken along when its message is sent again.
TEST(ChatDatabase, AnOlderFileOfImagesWithoutFactsIsReadAsItIsAndThenKeepsTheirFacts)
{
    const QString path = newDatabasePath();
    QList<cvn::ChatImage> images = cvn::test::sampleImages();
    int64_t message = 0;
    {
        ChatDatabase before(path);
        ASSERT_EQ(before.insertChat("Photos", "m"), 1);
        message = before.insertMessage(1, "user", "look", Value::null(), Value::null(),
                                       Value::null(), 10, images);
        ASSERT_GT(message, 0);
    }
    ASSERT_TRUE(RawDatabase(path).exec("ALTER TABLE message_images DROP COLUMN facts_key; ALTER TABLE message_images "
                                       "DROP COLUMN pixel_hash; ALTER TABLE message_images DROP COLUMN width; ALTER "
                                       "TABLE message_images DROP COLUMN height; ALTER TABLE message_images DROP "
                                       "COLUMN positions;"));
    // The chat as it opens and the message as listed: the same images.
    const auto stored = [](const ChatDatabase& db) {
        std::optional<ChatDatabase::StoredChat> chat;
        EXPECT_TRUE(db.readChat(1, db.listChats().value(0).createdAt, &chat) && chat);
        const QList<cvn::ChatImage> listed = db.messages(1).value(0).images;
        EXPECT_EQ(chat ? chat->messages.value(0).images : QList<cvn::ChatImage>(), listed);
        return listed;
    };
    std::optional<ChatDatabase> db;
    {
        cvn::test::FileWritesFail full;
        db.emplace(path, 0);
        db->setReopenInterval(0);
        ASSERT_TRUE(db->isReadOnly());
        EXPECT_FALSE(db->keepsImageFacts());
        EXPECT_EQ(stored(*db), images);
    }
    images[0].facts = cvn::ChatImage::Facts{"projector A", 0xFEDCBA9876543210ULL, 640, 480, 576};
    images[2].facts = cvn::ChatImage::Facts{"projector A", 7, 1, 2048, 1};
    ASSERT_TRUE(db->setImageFacts(message, images));
    EXPECT_FALSE(db->isReadOnly());
    EXPECT_EQ(stored(*db), images);
    QList<cvn::ChatImage> other = images;
    other[0].facts = cvn::ChatImage::Facts{"projector B", 1, 320, 240, 144};
    other[2].facts.reset();
    ASSERT_TRUE(db->setImageFacts(message, other));
    images[0].facts = other[0].facts;
    EXPECT_EQ(stored(*db), images) << "another projector's over the first; an image without any keeps its own";

    db.emplace(path);
    EXPECT_EQ(stored(*db), images);
    const int64_t again = db->insertMessage(1, "user", "again", Value::null(), Value::null(), Value::null(), 11, images);
    ASSERT_GT(again, 0);
    EXPECT_EQ(db->messages(1).value(1).images, images);
    // Facts written by another program in no shape of ours are none.
    ASSERT_TRUE(RawDatabase(path).exec(QStringLiteral("UPDATE message_images SET pixel_hash=x'0001' WHERE message_id=%1 "
                                                      "AND position=0").arg(again)));
    images[0].facts.reset();
    EXPECT_EQ(db->messages(1).value(1).images, images);
}
