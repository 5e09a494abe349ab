#include "Fixtures.h"

#include "attachments/AttachmentStager.h"
#include "attachments/AttachmentText.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QFile>
#include <QMutex>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

using namespace cvn;
using namespace cvn::test;

namespace {

// The largest file the user may attach, that size included.
constexpr int64_t kMostBytes = 52'428'800;

using Toasts = std::vector<std::pair<QString, ToastKind>>;

// Waits for every reading to end, then delivers what they posted back.
void deliverLateResults()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
}

QUrl sparseUrl(const QString& folder, const QString& name, int64_t size)
{
    return QUrl::fromLocalFile(sparseFile(name, size, folder));
}

bool allRead(const AttachmentStager& stager)
{
    for (const StagedAttachment& file : stager.staged()) {
        if (!file.extracted)
            return false;
    }
    return true;
}

} // namespace

TEST(AttachmentStager, RefusalsAndTheirToasts)
{
    AttachmentStager stager;
    Toasts toasts;
    stager.setOnToast([&toasts](const QString& text, ToastKind kind) { toasts.emplace_back(text, kind); });
    const QString folder = makeTempFolder();

    stager.stage(sparseUrl(folder, QStringLiteral("notes"), 10));
    stager.stage(sparseUrl(folder, QStringLiteral("scan.tiff"), 10));
    stager.stage(sparseUrl(folder, QStringLiteral("big.txt"), kMostBytes + 1));
    stager.stage(sparseUrl(folder, QStringLiteral("big.txt"), 75'000'000));
    EXPECT_TRUE(stager.staged().isEmpty());
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("Format not supported: notes"), ToastKind::error},
                               {QStringLiteral("Format not supported: scan.tiff"), ToastKind::error},
                               {QStringLiteral("File too large: big.txt (50 MB, max 50 MB)"), ToastKind::error},
                               {QStringLiteral("File too large: big.txt (71 MB, max 50 MB)"), ToastKind::error}}));
    EXPECT_EQ(stager.status(), std::nullopt);

    // A link is measured as its target.
    const QUrl target = sparseUrl(folder, QStringLiteral("target.bin"), 75'000'000);
    const QString link = folder + QStringLiteral("/link.pdf");
    ASSERT_TRUE(QFile::link(target.toLocalFile(), link));
    toasts.clear();
    stager.stage(QUrl::fromLocalFile(link));
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("File too large: link.pdf (71 MB, max 50 MB)"), ToastKind::error}}));

    // Seven files: the first five in order, then one toast each.
    toasts.clear();
    const QStringList names = {QStringLiteral("REPORT.PDF"), QStringLiteral("photo.JPEG"), QStringLiteral("limit.txt"),
                               QStringLiteral("d.md"),       QStringLiteral("e.webp"),     QStringLiteral("f.docx"),
                               QStringLiteral("g.png")};
    for (const QString& name : names)
        stager.stage(sparseUrl(folder, name, name == u"limit.txt" ? kMostBytes : 10));
    ASSERT_EQ(stager.staged().size(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(stager.staged()[i].originalFilename, names[i]);
    EXPECT_EQ(toasts, (Toasts(2, {QStringLiteral("Maximum 5 attachments per message"), ToastKind::error})));
    EXPECT_FALSE(stager.staged()[0].isImage);
    EXPECT_TRUE(stager.staged()[1].isImage);
    EXPECT_EQ(stager.staged()[2].sizeBytes, kMostBytes);
    // Sparse files of zeros: read (50 MiB of NUL is valid UTF-8) and done.
    EXPECT_TRUE(waitUntil([&] { return allRead(stager); }, 30000));
    // A name that leads to no file is refused at once rather than staged
    // to give no text at the send: a file gone since it was chosen, and one
    // whose name is not UTF-8, as a desktop's drop hands it over (its URL
    // keeps the byte; the path decoded from it names another file).
    stager.clear();
    toasts.clear();
    const QByteArray latin1 = QFile::encodeName(folder) + "/caf\xe9.txt";
    const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    stager.stage(QUrl::fromLocalFile(folder + QStringLiteral("/gone.txt")));
    stager.stage(QUrl::fromEncoded(QByteArray("file://") + latin1.toPercentEncoding("/")));
    ::unlink(latin1.constData()); // Qt lists no such name, so the folder's removal would miss it
    EXPECT_TRUE(stager.staged().isEmpty());
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("Couldn't open file: gone.txt"), ToastKind::error},
                               {QStringLiteral("Couldn't open file: caf\uFFFD.txt"), ToastKind::error}}));

    EXPECT_EQ(AttachmentStager::dialogFilter(true), QStringLiteral("Documents (*.pdf *.PDF *.docx *.DOCX *.txt *.TXT *.md *.MD)"));
    EXPECT_EQ(AttachmentStager::dialogFilter(false),
              QStringLiteral("Images (*.png *.PNG *.jpg *.JPG *.jpeg *.JPEG *.webp *.WEBP)"));
}

TEST(AttachmentStager, ReadsInTheBackgroundAndKeepsTheStatusWhileAnyFileReads)
{
    AttachmentStager stager;
    int statusChanges = 0;
    QObject::connect(&stager, &AttachmentStager::statusChanged, [&] { ++statusChanges; });
    const QString path = writeTempFile(QStringLiteral("a.txt"), QByteArray("The quick brown fox jumps over the dog"
                                                                           "."));
    stager.stage(QUrl::fromLocalFile(path));
    ASSERT_EQ(stager.staged().size(), 1);
    EXPECT_EQ(stager.status(), QStringLiteral("Reading attachment..."));
    EXPECT_FALSE(stager.staged()[0].extracted);
    EXPECT_EQ(stager.staged()[0].approxTokens, 0);
    EXPECT_EQ(stager.totalApproxTokens(), 0);
    ASSERT_TRUE(waitUntil([&] { return !stager.status(); }));
    const StagedAttachment& read = stager.staged()[0];
    EXPECT_EQ(read.extractedText.size(), 39);
    EXPECT_TRUE(read.extracted);
    EXPECT_EQ(read.approxTokens, 10);
    EXPECT_EQ(stager.totalApproxTokens(), 10);
    EXPECT_EQ(statusChanges, 2);

    // The same file twice: two entries, two ids, each read.
    stager.stage(QUrl::fromLocalFile(path));
    EXPECT_EQ(stager.staged().size(), 2);
    EXPECT_NE(stager.staged()[0].id, stager.staged()[1].id);
    ASSERT_TRUE(waitUntil([&] { return allRead(stager); }));
    EXPECT_EQ(stager.totalApproxTokens(), 20);
    EXPECT_EQ(stager.status(), std::nullopt);
}

TEST(AttachmentStager, RemovalWhileReadingAndLateResults)
{
    // A FIFO stands in for a slow file: it is refused when read, but the
    // result only arrives through the event loop, after the removal.
    const QString folder = makeTempFolder();
    const QString slow = folder + QStringLiteral("/slow.txt");
    ASSERT_EQ(mkfifo(QFile::encodeName(slow).constData(), 0600), 0);
    const QString text = writeTempFile(QStringLiteral("b.txt"), "kept text");

    AttachmentStager stager;
    stager.stage(QUrl::fromLocalFile(slow));
    stager.stage(QUrl::fromLocalFile(text));
    const QUuid removed = stager.staged()[0].id;
    stager.remove(removed);
    EXPECT_EQ(stager.staged().size(), 1);
    EXPECT_EQ(stager.status(), QStringLiteral("Reading attachment...")); // b.txt is still unread
    ASSERT_TRUE(waitUntil([&] { return !stager.status(); }));
    ASSERT_EQ(stager.staged().size(), 1);
    EXPECT_EQ(stager.staged()[0].extractedText, QStringLiteral("kept text"));

    // Removing the only unread file clears the status at once, and its late
    // result changes nothing.
    stager.stage(QUrl::fromLocalFile(slow));
    EXPECT_TRUE(stager.status());
    const QList<StagedAttachment> before = stager.staged();
    stager.remove(stager.staged()[1].id);
    EXPECT_EQ(stager.status(), std::nullopt);
    int changes = 0;
    QObject::connect(&stager, &AttachmentStager::stagedChanged, [&] { ++changes; });
    deliverLateResults();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(stager.staged(), before.first(1));

    // A stager destroyed while its files are read stops the reading, and its
    // result goes nowhere.
    struct Seen {
        std::atomic<bool> started {false};
        std::atomic<bool> deleted {false};
        std::atomic<bool> stopBefore {true};
        std::atomic<bool> stopAfter {false};
    };
    const auto seen = std::make_shared<Seen>();
    auto* doomed = new AttachmentStager;
    doomed->setReader([seen](const QString&, bool, const ReadingStop& stop) {
        seen->stopBefore = stop();
        seen->started = true;
        while (!seen->deleted)
            std::this_thread::yield();
        seen->stopAfter = stop();
        return AttachmentReading {QStringLiteral("late"), 1};
    });
    doomed->stage(QUrl::fromLocalFile(text));
    ASSERT_TRUE(waitUntil([&] { return seen->started.load(); }));
    delete doomed;
    seen->deleted = true;
    deliverLateResults();
    EXPECT_FALSE(seen->stopBefore);
    EXPECT_TRUE(seen->stopAfter);

    // Send: composing leaves the list; the chat view clears it.
    Toasts toasts;
    stager.setOnToast([&toasts](const QString& t, ToastKind kind) { toasts.emplace_back(t, kind); });
    EXPECT_EQ(stager.composePrompt(QStringLiteral("hi"), 8192), QStringLiteral("[Attached file: b.txt]\nkept text\n[End file]\n\nhi"));
    EXPECT_EQ(stager.staged().size(), 1);
    EXPECT_TRUE(toasts.empty());
}

TEST(AttachmentStager, AFileLeavingTheListHasItsReadingStopped)
{
    // Readings that go on until they are told to stop, as a hostile PDF
    // would until its time is up. The pool may run fewer of them at once
    // than there are files (two on a two-core machine).
    struct Count {
        std::atomic<int> started {0};
        std::atomic<int> stopped {0};
        QMutex lock;
        QString first; // the file whose reading started first
    };
    const auto count = std::make_shared<Count>();
    const AttachmentStager::Reader endless = [count](const QString& path, bool, const ReadingStop& stop) {
        {
            QMutexLocker locked(&count->lock);
            if (count->first.isEmpty())
                count->first = path;
        }
        ++count->started;
        while (!stop())
            std::this_thread::yield();
        ++count->stopped;
        return AttachmentReading {};
    };
    const QString folder = makeTempFolder();
    AttachmentStager stager;
    stager.setReader(endless);
    for (const QString& name : {QStringLiteral("a.pdf"), QStringLiteral("b.png"), QStringLiteral("c.pdf")})
        stager.stage(sparseUrl(folder, name, 10));
    ASSERT_TRUE(waitUntil([&] { return count->started >= 1; }));

    const QString running = [&] {
        QMutexLocker locked(&count->lock);
        return count->first;
    }();
    const QList<StagedAttachment> staged = stager.staged();
    for (const StagedAttachment& file : staged)
        if (file.url.toLocalFile() == running)
            stager.remove(file.id);
    ASSERT_EQ(stager.staged().size(), 2);
    EXPECT_TRUE(waitUntil([&] { return count->stopped == 1; }));
    EXPECT_EQ(stager.status(), QStringLiteral("Reading attachment...")); // the others read on
    // As a send leaves the list: the readings running stop, and those still
    // waiting for the pool stop as soon as they start.
    stager.setStaged({});
    EXPECT_TRUE(waitUntil([&] { return count->stopped == 3; }));

    auto* doomed = new AttachmentStager;
    doomed->setReader(endless);
    doomed->stage(sparseUrl(folder, QStringLiteral("d.pdf"), 10));
    ASSERT_TRUE(waitUntil([&] { return count->started == 4; }));
    delete doomed;
    EXPECT_TRUE(waitUntil([&] { return count->stopped == 4; }));
}

// An image is decoded when it is staged, by the kind its bytes are, and
// refused there with its reason (at the send when that comes first): a
// picture that cannot be read never reaches a message, where it would fail
// every later reply. An SVG named .png would open the local files it names.
TEST(AttachmentStager, AnImageThatCannotBeShownIsRefusedWhenStaged)
{
    AttachmentStager stager;
    Toasts toasts;
    stager.setOnToast([&toasts](const QString& text, ToastKind kind) { toasts.emplace_back(text, kind); });
    const auto write = [folder = makeTempFolder()](const QString& name, const QByteArray& bytes) {
        QFile file(folder + u'/' + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return QUrl::fromLocalFile(file.fileName());
    };
    QImage noise(300, 200, QImage::Format_RGB32);
    for (int i = 0; i < 300 * 200; ++i)
        noise.setPixel(i % 300, i / 300, qRgb(i * 7, i * 13, i * 31));
    QByteArray png, jpeg;
    QBuffer pngBuffer(&png), jpegBuffer(&jpeg);
    ASSERT_TRUE(pngBuffer.open(QIODevice::WriteOnly) && noise.save(&pngBuffer, "PNG"));
    ASSERT_TRUE(jpegBuffer.open(QIODevice::WriteOnly) && noise.save(&jpegBuffer, "JPEG"));
    const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'>"
                           "<image xlink:href='file:///etc/hostname' width='64' height='64'/></svg>";
    const QString notAnImage = QStringLiteral("Format not supported: %1 (not a PNG, JPEG, WebP, GIF or BMP image)");

    stager.stage(write(QStringLiteral("whole.png"), png));
    stager.stage(write(QStringLiteral("drawing.png"), svg));
    stager.stage(write(QStringLiteral("cut.png"), png.first(png.size() / 2)));
    stager.stage(write(QStringLiteral("cut.jpg"), jpeg.first(jpeg.size() * 2 / 3)));
    ASSERT_TRUE(waitUntil([&] { return stager.staged().size() == 1 && allRead(stager); }, 60000));
    EXPECT_EQ(stager.staged()[0].originalFilename, QStringLiteral("whole.png"));
    std::sort(toasts.begin(), toasts.end()); // the readings run side by side
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("Couldn't read image: cut.jpg (the file is damaged)"), ToastKind::error},
                               {QStringLiteral("Couldn't read image: cut.png (the file is damaged)"), ToastKind::error},
                               {notAnImage.arg(QStringLiteral("drawing.png")), ToastKind::error}}));

    toasts.clear();
    stager.stage(write(QStringLiteral("again.png"), svg));
    ASSERT_FALSE(stager.staged()[1].extracted);
    EXPECT_EQ(stager.imageBytes(stager.staged()[1]), std::nullopt);
    EXPECT_EQ(stager.imageBytes(stager.staged()[0]), png);
    EXPECT_EQ(toasts, (Toasts {{notAnImage.arg(QStringLiteral("again.png")), ToastKind::error}}));
    deliverLateResults();
}

// A pasted picture is the stager's own file: deleted once it leaves the list
// (removed, sent, refused, or the stager gone), where a chosen file stays.
TEST(AttachmentStager, APastedPictureIsDeletedOnceItLeavesTheList)
{
    const QString folder = makeTempFolder();
    QList<QUrl> files;
    for (const char* name : {"Pasted image.png", "Pasted image 2.png", "Pasted image 3.png", "Pasted image 4.png", "chosen.png"})
        files.append(QUrl::fromLocalFile(sparseFile(QString::fromLatin1(name), 10, folder)));
    const auto exists = [&files](int i) { return QFile::exists(files[i].toLocalFile()); };
    auto stager = std::make_unique<AttachmentStager>();
    stager->setReader([](const QString&, bool, const ReadingStop&) { return AttachmentReading {}; });
    stager->stagePasted(files[0]);
    stager->stagePasted(files[1]);
    stager->remove(stager->staged()[0].id);
    EXPECT_FALSE(exists(0));
    EXPECT_TRUE(exists(1));
    stager->setStaged({}); // sent
    EXPECT_FALSE(exists(1));
    for (int i = 0; i < AttachmentStager::maxFiles; ++i)
        stager->stage(files[4]);
    stager->stagePasted(files[2]); // a sixth
    EXPECT_FALSE(exists(2));
    stager->setStaged({});
    stager->stagePasted(files[3]);
    stager.reset();
    EXPECT_FALSE(exists(3));
    EXPECT_TRUE(exists(4));
}
