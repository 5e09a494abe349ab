#include "storage/ChatTransfer.h"

#include "RawDatabase.h"
#include "Turns.h"
#include "support/TempEnv.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

using cvn::ChatDatabase;
using cvn::ChatExport;
using cvn::ChatImport;
using cvn::test::RawDatabase;
using Value = ChatDatabase::Value;

namespace {

const QString kBlock = QStringLiteral("[Attached file: notes.txt]\nThe secret word is PAPAYA.\n[End file]\n\n");
const QString kCutBlock =
    QStringLiteral("[Attached file: scan.png]\nHALF A PA\n[...attachment text truncated to fit context...]\n");

// Every column but the ids, chats and their messages in order, so that two
// databases with the same chats compare equal whatever ids they were given.
QList<QVariantList> rowsOf(const QString& path)
{
    RawDatabase raw(path);
    QList<QVariantList> rows =
        raw.rows("SELECT title, model_id, created_at, updated_at, pinned, is_council, council_on, instructions FROM chats "
                 "ORDER BY created_at, title");
    rows += raw.rows("SELECT c.created_at, c.title, m.role, m.content, m.model_name, m.created_at, m.reasoning, "
                     "m.reasoning_ms FROM messages m JOIN chats c ON c.id = m.chat_id "
                     "ORDER BY c.created_at, c.title, m.id");
    return rows;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs an import to its end, as the tool does; the last step's outcome.
ChatImport::Step importAll(ChatImport& import)
{
    for (int i = 0; i < 100000; ++i) {
        const ChatImport::Step step = import.step();
        if (step != ChatImport::Step::added)
            return step;
    }
    return ChatImport::Step::failed;
}

class ChatArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = cvn::test::makeTempFolder("archive");
        source = std::make_unique<ChatDatabase>(folder + "/source.db");
        ASSERT_TRUE(source->isOpen());
    }

    int64_t chat(const QString& title, int64_t createdAt, int64_t pinned = 0, int64_t council = 0)
    {
        return source->insert("INSERT INTO chats(title, model_id, created_at, updated_at, pinned, is_council, "
                              "council_on) VALUES(?,?,?,?,?,?,?)",
                              {title, "7F1C0A2E-MODEL", createdAt, createdAt + 60, pinned, council, council});
    }
    void message(int64_t chatId, const QString& role, const QString& content, Value model = Value::null(),
                 Value reasoning = Value::null(), Value ms = Value::null())
    {
        ASSERT_NE(source->insertMessage(chatId, role, content, model, reasoning, ms, Value(1700000000 + ++clock)), 0);
    }

    // A chat of every kind the window stores.
    void fillSource()
    {
        const int64_t longChat = chat("Long text", 1700000001);
        message(longChat, "user", QString(200000, QLatin1Char('x')) + "\nend");
        message(longChat, "assistant", "```cpp\nint main() { return 0; }\n```\n", "tiny", "Let me think.\n\nSo.", 4200);
        const int64_t files = chat("Files", 1700000002);
        message(files, "user", kBlock + kCutBlock + "What is the secret word?");
        message(files, "assistant", "PAPAYA", "tiny");
        const int64_t council = chat("Council", 1700000003, 0, 1);
        message(council, "user", "Which is better?");
        message(council, "assistant", "The first.", "alpha", "", 0);
        message(council, "assistant", "The second.", "beta");
        source->run("UPDATE chats SET instructions=? WHERE id=?", {QStringLiteral("Answer as a panel.\nBe brief."), council});
        const int64_t scripts = chat(QStringLiteral("Grüße 👋 שלום עולם"), 1700000004);
        message(scripts, "user", QStringLiteral("مرحبا 🇫🇷 family 👨‍👩‍👧 and\u0000 a NUL"));
        chat("Empty", 1700000005);
        const int64_t pinned = chat("Pinned", 1700000006, 1);
        message(pinned, "user", "[Attached file: not closed]\nno end line here");
        source->run("UPDATE chats SET updated_at=NULL, model_id=NULL WHERE id=?", {pinned});
    }

    QString exportAll()
    {
        const QString path = folder + "/all.jsonl";
        std::optional<QList<cvn::ChatArchive::Key>> chats = ChatExport::allChats(*source, nullptr);
        EXPECT_TRUE(chats);
        ChatExport exporter(*source, path, ChatExport::Format::jsonLines, chats.value_or(QList<cvn::ChatArchive::Key>()));
        EXPECT_TRUE(exporter.finish()) << exporter.error().toStdString();
        return path;
    }

    QString folder;
    std::unique_ptr<ChatDatabase> source;
    int clock = 0;
};

} // namespace

TEST_F(ChatArchiveTest, EveryKindOfChatComesBackAsItWasIntoAnEmptyDatabaseAndASecondImportAddsNothing)
{
    fillSource();
    const QString file = exportAll();
    EXPECT_EQ(readFile(file).count('\n'), 6);

    const QString target = folder + "/target.db";
    ChatDatabase db(target);
    ChatImport first(db, file);
    ASSERT_EQ(importAll(first), ChatImport::Step::finished) << first.error().toStdString();
    EXPECT_EQ(first.added(), 6);
    EXPECT_EQ(rowsOf(target), rowsOf(folder + "/source.db"));

    ChatImport again(db, file);
    ASSERT_EQ(importAll(again), ChatImport::Step::finished);
    EXPECT_EQ(again.added(), 0);
    EXPECT_EQ(again.skipped(), 6);
    EXPECT_EQ(rowsOf(target), rowsOf(folder + "/source.db"));
}

TEST_F(ChatArchiveTest, OneChatsJsonDocumentImportsAndAChangedMessageIsNotADuplicate)
{
    fillSource();
    const QString path = folder + "/one.json";
    ChatExport exporter(*source, path, ChatExport::Format::json, {{2, 1700000002}});
    ASSERT_TRUE(exporter.finish());
    ASSERT_TRUE(readFile(path).startsWith("{\n"));

    ChatDatabase db(folder + "/target.db");
    ChatImport one(db, path);
    ASSERT_EQ(importAll(one), ChatImport::Step::finished) << one.error().toStdString();
    EXPECT_EQ(one.added(), 1);

    writeFile(path, readFile(path).replace("PAPAYA\"", "MANGO\""));
    ChatImport changed(db, path);
    ASSERT_EQ(importAll(changed), ChatImport::Step::finished);
    EXPECT_EQ(changed.added(), 1);
    RawDatabase raw(folder + "/target.db");
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM chats WHERE title='Files'").toInt(), 2);
}

TEST_F(ChatArchiveTest, ABadLineIsNamedAndTheChatsBeforeItStayWithNothingHalfWritten)
{
    fillSource();
    const QList<QByteArray> lines = readFile(exportAll()).split('\n');
    const QByteArray two = lines[0] + '\n' + lines[1] + '\n';
    QByteArray wrongType = lines[2];
    wrongType.replace("\"pinned\":false", "\"pinned\":\"no\"");
    QByteArray missing = lines[2];
    missing.replace("\"role\":\"user\",", "");
    QByteArray newer = lines[2];
    newer.replace("\"version\":1", "\"version\":3");
    const struct {
        const char* name;
        QByteArray bytes;
        QString error;
        int chatsBefore;
    } cases[] = {
        {"truncated last line", two + lines[2].left(lines[2].size() / 2), "line 3: not a chat (not valid JSON", 2},
        {"wrong type", two + wrongType + '\n', "line 3: field \"pinned\" is not true or false", 2},
        {"missing field", two + missing + '\n', "line 3: message 1: missing field \"role\"", 2},
        {"newer version", two + '\n' + newer + '\n', "line 4: version 3 is newer than this program reads (2)", 2},
        {"binary", QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10) + '\n', "line 1: not a chat (not valid JSON", 0},
        {"empty", QByteArray(), "line 1: the file is empty", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString target = folder + "/" + c.name + ".db";
        const QString file = folder + "/" + c.name + ".jsonl";
        writeFile(file, c.bytes);
        ChatDatabase db(target);
        ChatImport import(db, file);
        EXPECT_EQ(importAll(import), ChatImport::Step::failed);
        EXPECT_TRUE(import.error().startsWith(c.error)) << import.error().toStdString();
        EXPECT_EQ(import.added(), c.chatsBefore);
        RawDatabase raw(target);
        EXPECT_EQ(raw.value("SELECT COUNT(*) FROM chats").toInt(), c.chatsBefore);
        // The two chats before hold four messages; nothing of the bad one.
        EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages").toInt(), c.chatsBefore == 2 ? 4 : 0);
    }
}

TEST_F(ChatArchiveTest, AnImportWaitsWhileAnotherProgramHoldsTheLockAndThenAddsTheChat)
{
    fillSource();
    const QString file = exportAll();
    const QString target = folder + "/target.db";
    ChatDatabase db(target, 20);
    RawDatabase holder(target);
    ASSERT_TRUE(holder.exec("BEGIN EXCLUSIVE"));
    ChatImport import(db, file);
    EXPECT_EQ(import.step(), ChatImport::Step::waiting);
    EXPECT_TRUE(db.writesFailing());
    EXPECT_EQ(import.step(), ChatImport::Step::waiting);
    ASSERT_TRUE(holder.exec("ROLLBACK"));
    ASSERT_EQ(importAll(import), ChatImport::Step::finished);
    EXPECT_FALSE(db.writesFailing());
    EXPECT_EQ(rowsOf(target), rowsOf(folder + "/source.db"));
}

TEST_F(ChatArchiveTest, MarkdownOfAChatWithATableCodeReasoningAndAnAttachment)
{
    const int64_t id = chat("Fruit table", 1700000000);
    message(id, "user", kBlock + "Make a table.");
    message(id, "assistant", "| Fruit | Colour |\n|---|---|\n| Papaya | orange |\n\n```python\nprint(\"hi\")\n```",
            "tiny", "The user wants a table.", 3400);
    const std::optional<cvn::ChatArchive::Chat> stored = cvn::ChatArchive::read(*source, {id, std::nullopt});
    ASSERT_TRUE(stored);
    EXPECT_EQ(cvn::ChatArchive::markdown(*stored, QTimeZone::utc()).toStdString(),
              "# Fruit table\n"
              "\n"
              "Created 2023-11-14 22:13\n"
              "\n"
              "---\n"
              "\n"
              "**You** · 2023-11-14 22:13\n"
              "\n"
              "Make a table.\n"
              "\n"
              "Attachments:\n"
              "\n"
              "- notes.txt\n"
              "\n"
              "---\n"
              "\n"
              "**tiny** · 2023-11-14 22:13\n"
              "\n"
              "<details>\n"
              "<summary>Thought for 3 seconds</summary>\n"
              "\n"
              "The user wants a table.\n"
              "\n"
              "</details>\n"
              "\n"
              "| Fruit | Colour |\n"
              "|---|---|\n"
              "| Papaya | orange |\n"
              "\n"
              "```python\n"
              "print(\"hi\")\n"
              "```\n");
}

// A chat is its id and its creation time: an export asked for a chat that
// another program deleted, its id since given to a new chat, writes nothing
// rather than the other chat, and an export of all leaves it out and counts
// only what it wrote.
TEST_F(ChatArchiveTest, AChatWhoseIdWentToAnotherIsNotExportedInItsPlace)
{
    const int64_t old = chat("Old", 1700000001);
    const std::optional<QList<cvn::ChatArchive::Key>> before = ChatExport::allChats(*source, nullptr);
    ASSERT_TRUE(before);
    ASSERT_TRUE(source->run("DELETE FROM chats WHERE id=?", {old}));
    ASSERT_EQ(source->insert("INSERT INTO chats(id, title, created_at) VALUES(?, 'Newer', 1700000099)", {old}), old);

    ChatExport one(*source, folder + "/one.json", ChatExport::Format::json, {{old, 1700000001}});
    EXPECT_FALSE(one.finish());
    EXPECT_EQ(one.error(), "The chat is no longer stored");
    EXPECT_FALSE(QFile::exists(folder + "/one.json"));

    ChatExport all(*source, folder + "/all.jsonl", ChatExport::Format::jsonLines, *before);
    ASSERT_TRUE(all.finish());
    EXPECT_EQ(all.written(), 0);
    EXPECT_EQ(readFile(folder + "/all.jsonl"), QByteArray());
}

// What another client stored the way SQLite lets it (a creation time as a
// real number, a duration past what a double holds exactly) comes back as
// exported, and importing the file into the same database adds nothing.
TEST_F(ChatArchiveTest, OddStoredValuesRoundTripAndAreRecognisedAsAlreadyThere)
{
    const int64_t id = chat("Odd", 0);
    ASSERT_TRUE(source->run("UPDATE chats SET created_at=1700000001.5 WHERE id=?", {id}));
    message(id, "assistant", "slow", "tiny", "thought", Value(int64_t(1) << 60));
    const QString file = exportAll();
    EXPECT_TRUE(readFile(file).contains("1152921504606846976")) << readFile(file).toStdString();

    ChatImport again(*source, file);
    ASSERT_EQ(importAll(again), ChatImport::Step::finished) << again.error().toStdString();
    EXPECT_EQ(again.skipped(), 1);
    EXPECT_EQ(again.added(), 0);

    ChatDatabase target(folder + "/target.db");
    ChatImport into(target, file);
    ASSERT_EQ(importAll(into), ChatImport::Step::finished) << into.error().toStdString();
    RawDatabase raw(folder + "/target.db");
    EXPECT_EQ(raw.value("SELECT reasoning_ms FROM messages").toLongLong(), int64_t(1) << 60);
}

// Whether an import holds a chat already is looked up by its creation time
// and title, so that its cost follows the file and not the database.
TEST_F(ChatArchiveTest, TheLookUpOfAStoredChatUsesAnIndexInsteadOfReadingEveryChat)
{
    RawDatabase raw(folder + "/source.db");
    const QList<QVariantList> plan =
        raw.rows("EXPLAIN QUERY PLAN SELECT id FROM chats WHERE " + ChatDatabase::sameCreatedAtAndTitle,
                 {1700000001, "Long text"});
    ASSERT_FALSE(plan.isEmpty());
    EXPECT_TRUE(plan[0].last().toString().contains("USING INDEX idx_chats_created_title"))
        << plan[0].last().toString().toStdString();
}

// Text that starts with U+FEFF keeps it, and a file saved with a byte-order
// mark in front of it reads as one without, one chat's .json as JSON Lines.
TEST_F(ChatArchiveTest, ALeadingByteOrderMarkInTextSurvivesAndOneInFrontOfTheFileIsIgnored)
{
    const QString bom(QChar(0xFEFF));
    const int64_t id = chat(bom + "Title", 1700000001);
    message(id, "user", bom + "question\n" + bom);
    message(id, "assistant", bom, bom + "tiny", bom + "thought", 10);
    ASSERT_TRUE(source->run("UPDATE chats SET instructions=? WHERE id=?", {bom + "Be brief.", id}));
    const QString lines = exportAll();
    const QString one = folder + "/one.json";
    ASSERT_TRUE(ChatExport(*source, one, ChatExport::Format::json, {{id, 1700000001}}).finish());

    for (const QString& file : {lines, one}) {
        SCOPED_TRACE(file.toStdString());
        writeFile(file, "\xEF\xBB\xBF" + readFile(file));
        const QString target = file + ".db";
        ChatDatabase db(target);
        ChatImport import(db, file);
        ASSERT_EQ(importAll(import), ChatImport::Step::finished) << import.error().toStdString();
        EXPECT_EQ(rowsOf(target), rowsOf(folder + "/source.db"));

        ChatImport back(*source, file);
        ASSERT_EQ(importAll(back), ChatImport::Step::finished) << back.error().toStdString();
        EXPECT_EQ(back.added(), 0);
    }
}

// Only another program's lock is waited for: a full disk or a damaged file
// stops the import at once, saying which, with the chats before it kept.
TEST_F(ChatArchiveTest, AFullOrDamagedDatabaseStopsTheImportInsteadOfWaiting)
{
    fillSource();
    const QString file = exportAll();

    const QString full = folder + "/full.db";
    {
        ChatDatabase db(full);
        RawDatabase raw(full);
        const qint64 pages = raw.value("PRAGMA page_count").toLongLong();
        // Room for a chat or two, not for the 200,000 characters of the first.
        ASSERT_TRUE(db.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(pages + 3)));
        ChatImport import(db, file);
        EXPECT_EQ(importAll(import), ChatImport::Step::failed);
        EXPECT_EQ(import.fault(), ChatImport::Fault::database);
        EXPECT_EQ(import.error(), "the disk that holds the chats is full");
        EXPECT_EQ(db.writeFault(), ChatDatabase::WriteFault::full);
    }

    const QString damaged = folder + "/damaged.db";
    {
        ChatDatabase db(damaged);
        ChatImport first(db, file);
        ASSERT_EQ(importAll(first), ChatImport::Step::finished);
    }
    qint64 root = 0;
    qint64 pageSize = 0;
    {
        RawDatabase raw(damaged);
        root = raw.value("SELECT rootpage FROM sqlite_master WHERE name='chats'").toLongLong();
        pageSize = raw.value("PRAGMA page_size").toLongLong();
        ASSERT_TRUE(raw.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    QFile bytes(damaged);
    ASSERT_TRUE(bytes.open(QIODevice::ReadWrite));
    ASSERT_TRUE(bytes.seek((root - 1) * pageSize));
    bytes.write(QByteArray(int(pageSize), '\x5a'));
    bytes.close();
    ChatDatabase db(damaged);
    ASSERT_TRUE(db.isOpen());
    ASSERT_TRUE(source->run("UPDATE chats SET title='Changed' WHERE title='Empty'"));
    ChatImport import(db, exportAll());
    EXPECT_EQ(importAll(import), ChatImport::Step::failed);
    EXPECT_EQ(import.fault(), ChatImport::Fault::database);
    EXPECT_EQ(import.error(), "the chat database is damaged");
}

// A pipe is read and written as the tool meets it (/dev/stdin, a FIFO), with
// nothing in it to seek or measure; the window, whose open would wait for
// the pipe's other end, refuses it.
TEST_F(ChatArchiveTest, APipeIsReadAndWrittenAsAStreamWhereStreamsAreAccepted)
{
    fillSource();
    const QByteArray all = readFile(exportAll());
    const QString fifo = folder + "/pipe";
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    ChatImport refused(*source, fifo);
    EXPECT_EQ(refused.step(), ChatImport::Step::failed);
    EXPECT_EQ(refused.error(), "not a regular file");

    QByteArray exported;
    std::thread reader([&] { exported = readFile(fifo); });
    {
        ChatExport out(*source, fifo, ChatExport::Format::jsonLines, *ChatExport::allChats(*source, nullptr),
                       cvn::Streams::accepted);
        EXPECT_TRUE(out.finish()) << out.error().toStdString();
    }
    reader.join();
    EXPECT_EQ(exported, all);

    // One chat's document too, which is read after its first line.
    for (const QByteArray& bytes : {all, QJsonDocument(cvn::ChatArchive::toJson(*cvn::ChatArchive::read(*source, {3}))).toJson()}) {
        const QString target = folder + QStringLiteral("/from-pipe-%1.db").arg(bytes.size());
        ChatDatabase db(target);
        std::thread writer([&] { writeFile(fifo, bytes); });
        ChatImport import(db, fifo, cvn::Streams::accepted);
        EXPECT_EQ(importAll(import), ChatImport::Step::finished) << import.error().toStdString();
        writer.join();
        EXPECT_EQ(import.added(), bytes == all ? 6 : 1);
    }
}

// The instructions dialog takes 20,000 characters; a file's chat with more
// is refused, not cut, and one with exactly that many comes in whole.
TEST_F(ChatArchiveTest, InstructionsLongerThanTheDialogTakesAreRefused)
{
    const int64_t id = chat("Long instructions", 1700000001);
    // Each a single character of two code units.
    const QString emoji = QStringLiteral("😀");
    ASSERT_TRUE(source->run("UPDATE chats SET instructions=? WHERE id=?", {emoji.repeated(20000), id}));
    QJsonObject object = cvn::ChatArchive::toJson(*cvn::ChatArchive::read(*source, {id}));
    QString error;
    EXPECT_TRUE(cvn::ChatArchive::fromJson(object, &error)) << error.toStdString();

    object["instructions"] = emoji.repeated(20000) + "!";
    EXPECT_FALSE(cvn::ChatArchive::fromJson(object, &error));
    EXPECT_EQ(error, "field \"instructions\" is longer than 20,000 characters");
}

// A reply's heading names its model where the reply was stored with its name
// (a council member's); otherwise "Assistant", never the chat's model id.
TEST_F(ChatArchiveTest, MarkdownCreditsAReplyByItsStoredNameOrAsAssistant)
{
    const int64_t id = chat("Two kinds", 1700000000);
    message(id, "user", "Hello");
    message(id, "assistant", "Plain reply");
    message(id, "assistant", "Council reply", "alpha");
    const QString text = cvn::ChatArchive::markdown(*cvn::ChatArchive::read(*source, {id}), QTimeZone::utc());
    EXPECT_TRUE(text.contains("**Assistant** · 2023-11-14 22:13\n\nPlain reply")) << text.toStdString();
    EXPECT_TRUE(text.contains("**alpha** · 2023-11-14 22:13\n\nCouncil reply")) << text.toStdString();
    EXPECT_FALSE(text.contains("7F1C0A2E")) << text.toStdString();
}

// Images leave as data URIs typed by their bytes and come back byte for
// byte, and Markdown names them; a chat without images is written as before.
// A data URI that cannot be read stops the import at its chat, named, with
// the chats before it kept and nothing of it written.
TEST_F(ChatArchiveTest, ImagesTravelAsDataUrisByteForByteAndABadOneIsNamed)
{
    fillSource();
    const int64_t id = chat("Pictures", 1700000007);
    const QList<cvn::ChatImage> images = cvn::test::sampleImages().first(2);
    ASSERT_NE(source->insertMessage(id, "user", kBlock + "What is in them?", Value::null(), Value::null(),
                                    Value::null(), Value(1700000100), images),
              0);
    message(id, "assistant", "A chart.");
    const QList<QByteArray> lines = readFile(exportAll()).split('\n');
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(QJsonDocument::fromJson(lines[0])["version"].toInt(), 1) << "a chat without images is written as before";
    EXPECT_FALSE(lines[0].contains("images"));
    const QJsonDocument pictures = QJsonDocument::fromJson(lines[6]);
    EXPECT_EQ(pictures["version"].toInt(), 2) << "an older program refuses images rather than drop them";
    const QJsonArray written = pictures["messages"][0]["images"].toArray();
    ASSERT_EQ(written.size(), 2);
    EXPECT_EQ(written[0]["name"].toString(), "chart.png");
    EXPECT_EQ(written[0]["data"].toString(), "data:image/png;base64," + images[0].data.toBase64());
    EXPECT_TRUE(written[1]["data"].toString().startsWith("data:image/jpeg;base64,/9j/"));

    const QString file = folder + "/pictures.jsonl";
    writeFile(file, lines.join('\n'));
    ChatDatabase db(folder + "/target.db");
    ChatImport import(db, file);
    ASSERT_EQ(importAll(import), ChatImport::Step::finished) << import.error().toStdString();
    const int64_t copy = RawDatabase(folder + "/target.db").value("SELECT id FROM chats WHERE title='Pictures'").toLongLong();
    const std::optional<cvn::ChatArchive::Chat> back = cvn::ChatArchive::read(db, {copy});
    ASSERT_TRUE(back);
    EXPECT_EQ(back->messages[0].images, images);
    EXPECT_EQ(back, cvn::ChatArchive::read(*source, {id}));
    ChatImport again(db, file);
    ASSERT_EQ(importAll(again), ChatImport::Step::finished);
    EXPECT_EQ(again.skipped(), 7);

    EXPECT_TRUE(cvn::ChatArchive::markdown(*back, QTimeZone::utc())
                    .contains(QString::fromUtf8("What is in them?\n\nAttachments:\n\n- notes.txt\n\nImages:\n\n"
                                                "- chart.png\n- ph\u00f6to 1.jpg\n")));

    const struct {
        QByteArray from, to;
        QString error;
    } bad[] = {
        {"base64,iVBOR", "base64,!VBOR", "line 7: message 1: image 1: field \"data\" is not a base64 data URI"},
        {"data:image/jpeg;base64,", "https://example.com/a.jpg?",
         "line 7: message 1: image 2: field \"data\" is not a base64 data URI"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.to.toStdString());
        QList<QByteArray> broken = lines;
        broken[6].replace(c.from, c.to);
        writeFile(file, broken.join('\n'));
        const QString target = folder + "/" + QString::number(qHash(c.to)) + ".db";
        ChatDatabase into(target);
        ChatImport stopped(into, file);
        EXPECT_EQ(importAll(stopped), ChatImport::Step::failed);
        EXPECT_EQ(stopped.error(), c.error);
        EXPECT_EQ(stopped.added(), 6);
        RawDatabase raw(target);
        EXPECT_EQ(raw.value("SELECT COUNT(*) FROM messages").toInt(), 9);
        EXPECT_EQ(raw.value("SELECT COUNT(*) FROM message_images").toInt(), 0);
    }
}

// Only images of a kind the program reads, and no larger than an attachment,
// come in: stored bytes of another kind still leave as they are, but a chat
// holding them (or a text, an SVG, nothing, or too much) is refused naming
// the chat and the image, with nothing of it written.
TEST_F(ChatArchiveTest, AnImportTakesOnlyImagesItReadsNoLargerThanAnAttachment)
{
    fillSource();
    const QList<cvn::ChatImage> stored = cvn::test::sampleImages();
    ASSERT_NE(source->insertMessage(chat("Odd pictures", 1700000007), "user", "Look", Value::null(), Value::null(),
                                    Value::null(), Value(1700000100), {stored[0], stored[2]}),
              0);
    const QList<QByteArray> lines = readFile(exportAll()).split('\n');
    const QByteArray raw = "data:application/octet-stream;base64,bm90IGFuIGltYWdl";
    ASSERT_TRUE(lines.value(6).contains(raw));
    const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg'><image href='file:///etc/passwd'/></svg>";
    const QByteArray huge = stored[0].data + QByteArray(cvn::ChatArchive::largestImageBytes, 0);
    const QString which = "line 7: message 1: image 2: \"raw.bin\" of the chat \"Odd pictures\" ";
    const QString notAnImage = which + "is not a PNG, JPEG, WebP, GIF or BMP image";
    const std::pair<QByteArray, QString> refused[] = {
        {raw, notAnImage},
        {"data:text/plain;base64,aGVsbG8=", notAnImage},
        {"data:image/png;base64," + svg.toBase64(), notAnImage},
        {"data:image/png;base64,", notAnImage},
        {"data:image/png;base64," + huge.toBase64(), which + "is larger than 50 MB, the most an attachment may be"},
    };
    const QString file = folder + "/odd.jsonl";
    for (const auto& [data, error] : refused) {
        SCOPED_TRACE(data.left(40).toStdString());
        QList<QByteArray> changed = lines;
        changed[6].replace(raw, data);
        writeFile(file, changed.join('\n'));
        const QString target = folder + "/" + QString::number(qHash(data)) + ".db";
        ChatDatabase into(target);
        ChatImport import(into, file);
        EXPECT_EQ(importAll(import), ChatImport::Step::failed);
        EXPECT_EQ(import.error(), error);
        EXPECT_EQ(import.added(), 6);
        EXPECT_EQ(RawDatabase(target).value("SELECT COUNT(*) FROM messages").toInt(), 9);
    }
}
