#include "Fixtures.h"

#include "attachments/AttachmentText.h"
#include "attachments/ImageText.h"
#include "platform/Unicode.h"

#include "support/TempEnv.h"

#include <QBuffer>
#include <QFile>
#include <QFont>
#include <QPainter>
#include <QRandomGenerator>
#include <QTransform>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace cvn;
using namespace cvn::test;

namespace {

// The largest file the user may attach, that size included.
constexpr int64_t kMostBytes = 52'428'800;
// The most pixels handed to the recogniser.
constexpr int64_t kMostPixels = 16'000'000;

std::optional<QString> textOf(const QString& name, const QByteArray& bytes, bool isImage = false)
{
    // No reading deadline: a loaded machine must not turn a slow read into "no text".
    return extractAttachmentText(writeTempFile(name, bytes), isImage, [] { return false; });
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

TEST(AttachmentText, BlankTextIsNoneAndLongTextIsCutToCharacters)
{
    EXPECT_EQ(textOf(QStringLiteral("a.txt"), "  \n\n\t "), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("a.txt"), ""), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("a.md"), "\n\nHello"), QStringLiteral("\n\nHello"));
    EXPECT_EQ(textOf(QStringLiteral("A.TXT"), "  x  "), QStringLiteral("  x  "));
    EXPECT_EQ(textOf(QStringLiteral("a.txt"), QByteArray(10000, 'a')), QString(8000, u'a'));
    EXPECT_EQ(textOf(QStringLiteral("a.txt"), QByteArray(8000, 'a')), QString(8000, u'a'));
    const QString accented = QStringLiteral("e\u0301").repeated(9000);
    EXPECT_EQ(textOf(QStringLiteral("a.txt"), accented.toUtf8()), accented.left(16000));
    // Only the eight accepted extensions are read, whatever the content.
    EXPECT_EQ(textOf(QStringLiteral("x.rtf"), "plain words"), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("noextension"), "plain words"), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("x.docx"), "plain words"), std::nullopt);
}

TEST(AttachmentText, EncodingsByRule)
{
    EXPECT_EQ(decodeAttachmentText("\xEF\xBB\xBFok \xC3\xA9"), QStringLiteral("ok é"));
    EXPECT_EQ(decodeAttachmentText(QByteArray("\xFF\xFEH\0i\0\n\0", 8)), QStringLiteral("Hi\n"));
    EXPECT_EQ(decodeAttachmentText(QByteArray("\xFE\xFF\0H\0i", 6)), QStringLiteral("Hi"));
    EXPECT_EQ(decodeAttachmentText(QByteArray("\xFF\xFE\0\0H\0\0\0", 8)), QStringLiteral("H"));
    EXPECT_EQ(decodeAttachmentText(QByteArray("\0\0\xFE\xFF\0\0\0H", 8)), QStringLiteral("H"));
    // Not UTF-8, but plausible Windows-1252 text.
    EXPECT_EQ(decodeAttachmentText("caf\xE9 \x80" "5\t\r\n\f"), QStringLiteral("café €5\t\r\n\f"));
    // Random bytes, NUL, control bytes, undefined 1252 bytes: no text.
    EXPECT_EQ(decodeAttachmentText(QByteArray("\xC3\x28\xA0\xA1\x00\x01\x02", 7)), std::nullopt);
    EXPECT_EQ(decodeAttachmentText("caf\xE9\x1B"), std::nullopt);
    EXPECT_EQ(decodeAttachmentText("caf\xE9\x81"), std::nullopt);
    // A UTF-8 sequence cut at the end is not UTF-8; it may still be 1252.
    EXPECT_EQ(decodeAttachmentText("ab\xE2\x82"), QStringLiteral("abâ‚"));
    // A UTF-16 file cut inside its last unit keeps its text.
    EXPECT_EQ(decodeAttachmentText(QByteArray("\xFF\xFEH\0i", 5)), QStringLiteral("H\uFFFD"));
    EXPECT_EQ(textOf(QStringLiteral("u16.txt"), QByteArray("\xFF\xFEH\0i\0\n\0", 8)), QStringLiteral("Hi\n"));
}

TEST(AttachmentText, ReadersRefuseNonRegularAndOversizedFiles)
{
    const QString folder = makeTempFolder();
    EXPECT_EQ(readAttachmentFile(folder), std::nullopt);
    EXPECT_EQ(readAttachmentFile(folder + QStringLiteral("/missing.txt")), std::nullopt);
    const QString fifo = folder + QStringLiteral("/pipe.txt");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(extractAttachmentText(fifo, false), std::nullopt); // returns, does not wait for a writer
    EXPECT_EQ(extractAttachmentText(fifo, true), std::nullopt);

    const QString big = folder + QStringLiteral("/big.txt");
    QFile file(big);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("text");
    ASSERT_TRUE(file.resize(kMostBytes + 1)); // sparse
    file.close();
    EXPECT_EQ(readAttachmentFile(big), std::nullopt);
    ASSERT_TRUE(QFile::resize(big, kMostBytes));
    const std::optional<QByteArray> whole = readAttachmentFile(big);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), kMostBytes);
}

TEST(AttachmentText, PdfPagesInOrder)
{
    EXPECT_EQ(textOf(QStringLiteral("a.pdf"), pdfWithPages({{QStringLiteral("Hello PDF world"), QStringLiteral("Second line here")}})),
              QStringLiteral("Hello PDF world\nSecond line here\n"));
    EXPECT_EQ(textOf(QStringLiteral("B.PDF"), pdfWithPages({{QStringLiteral("Page one")}, {}, {QStringLiteral("Page two")}})),
              QStringLiteral("Page one\nPage two\n"));
    EXPECT_EQ(textOf(QStringLiteral("scan.pdf"), pdfWithPages({{}, {}})), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("broken.pdf"), "%PDF-1.4\nnothing else"), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("text.pdf"), "not a pdf"), std::nullopt);

    // 100 pages of 1,000 characters and their LF: reading stops after the
    // eighth page, at 8,008 characters.
    QList<QStringList> pages;
    for (int p = 0; p < 100; ++p) {
        QStringList lines;
        for (int l = 0; l < 20; ++l)
            lines << QString(l == 0 ? 49 : 48, QChar(u'a' + (p % 26))) + QString::number(l % 10);
        pages << lines;
    }
    const QString pdf = writeTempFile(QStringLiteral("long.pdf"), pdfWithPages(pages));
    const std::optional<QString> collected = pdfDocumentText(pdf);
    ASSERT_TRUE(collected);
    EXPECT_EQ(collected->size(), 8 * 1001);
    EXPECT_TRUE(collected->endsWith(QStringLiteral("hhhh9\n")));
    const std::optional<QString> cut = extractAttachmentText(pdf, false);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 8000);
}

TEST(AttachmentText, PdfReadingStopsAtItsPageBudgets)
{
    // The budgets the reader promises: 500 pages, 50 without text in a row.
    constexpr int kMostPages = 500;
    constexpr int kPagesWithoutText = 50;
    const QStringList none;
    const QStringList a = {QStringLiteral("a")};
    struct Case {
        QList<QStringList> pages;
        QString text;
        int pagesRead;
    };
    const Case cases[] = {
        // Pages without text, one fewer than the limit in a row: read on.
        {QList<QStringList>(kPagesWithoutText - 1, none) << QStringList {QStringLiteral("Late")},
         QStringLiteral("Late\n"), kPagesWithoutText},
        // As many as the limit: reading ends, the text after them unread.
        {QList<QStringList> {{QStringLiteral("First")}} + QList<QStringList>(kPagesWithoutText + 5, none)
             + QList<QStringList> {{QStringLiteral("Late")}},
         QStringLiteral("First\n"), 1 + kPagesWithoutText},
        // Many pages of little text: no more than kMostPages are read.
        {QList<QStringList>(kMostPages + 50, a), QStringLiteral("a\n").repeated(kMostPages), kMostPages},
    };
    for (const Case& c : cases) {
        int pagesRead = 0;
        const QString path = writeTempFile(QStringLiteral("p.pdf"), pdfWithPages(c.pages));
        EXPECT_EQ(pdfDocumentText(path, {}, &pagesRead), c.text);
        EXPECT_EQ(pagesRead, c.pagesRead);
    }
}

TEST(AttachmentText, PdfReadingStopsInsideAPageWhenAsked)
{
    // Three pages that each draw 100,000 lines before their text.
    const QByteArray content = QByteArray("0 0 m 1 1 l S\n").repeated(100'000) + "BT /F1 12 Tf 40 780 Td (Tail) Tj ET";
    const QString path = writeTempFile(QStringLiteral("slow.pdf"), pdfSharingContent(3, content));
    int pagesRead = 0;
    EXPECT_EQ(pdfDocumentText(path, [] { return false; }, &pagesRead), QStringLiteral("Tail\n").repeated(3));
    EXPECT_EQ(pagesRead, 3);
    // Asked between pages and every few operations: the fifth answer ends
    // the first page, whose text is dropped, and the reading.
    int polls = 0;
    EXPECT_EQ(pdfDocumentText(path, [&polls] { return ++polls >= 5; }, &pagesRead), QString());
    EXPECT_EQ(pagesRead, 1);
    EXPECT_LE(polls, 6); // once more, to learn that the page was cut short
}

TEST(AttachmentText, DocxFiles)
{
    EXPECT_EQ(textOf(QStringLiteral("a.docx"), docxWithParagraphs({QStringLiteral("One & two"), QString(), QStringLiteral("Three")})),
              QStringLiteral("One & two\n\nThree"));
    // Long documents: the same first 8,000 characters as the whole text gives.
    QStringList many;
    for (int i = 0; i < 3000; ++i)
        many << QStringLiteral("line %1 e\u0301").arg(i);
    EXPECT_EQ(textOf(QStringLiteral("long.docx"), docxWithParagraphs(many)),
              prefixCharacters(8000, many.join(QLatin1Char('\n'))));
    const QString spaces(9000, u' ');
    EXPECT_EQ(textOf(QStringLiteral("spaces.docx"), docxWithParagraphs({spaces, QStringLiteral("x")})), spaces.left(8000));
    EXPECT_EQ(textOf(QStringLiteral("empty.docx"), docxWithParagraphs({QString(), QStringLiteral("  ")})), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("nodoc.docx"), zipArchive({{QStringLiteral("word/other.xml"), "<w:p/>"}})),
              std::nullopt);
}

TEST(ImageText, OrientationFromExifInEachContainer)
{
    const QImage picture = pictureWithText({QStringLiteral("x")});
    for (uint16_t orientation : {1, 3, 6, 8})
        EXPECT_EQ(imageOrientation(jpegWithOrientation(picture, orientation)), orientation);
    EXPECT_EQ(imageOrientation(jpegWithOrientation(picture, 9)), 1u);
    EXPECT_EQ(imageOrientation(jpegWithOrientation(picture, 0)), 1u);
    EXPECT_EQ(imageOrientation(png(picture)), 1u);
    EXPECT_EQ(imageOrientation(QByteArray()), 1u);

    // PNG eXIf and WebP EXIF chunks hold the bare TIFF block (big-endian here).
    const QByteArray tiff("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x05\0\0\0\0\0\0", 26);
    const QByteArray plain = png(picture);
    QByteArray chunk("\0\0\0\x1A" "eXIf", 8);
    chunk += tiff + QByteArray(4, '\0');
    EXPECT_EQ(imageOrientation(plain.left(33) + chunk + plain.mid(33)), 5u);
    QByteArray webp("RIFF\0\0\0\0WEBPVP8X\x0A\0\0\0", 20);
    webp += QByteArray(10, '\0') + QByteArray("EXIF\x1A\0\0\0", 8) + tiff;
    EXPECT_EQ(imageOrientation(webp), 5u);

    // Every prefix of a JPEG with Exif, and a directory claiming 65,535
    // entries, read nothing out of bounds.
    const QByteArray jpeg = jpegWithOrientation(picture, 6);
    for (qsizetype n = 0; n < 64; ++n)
        EXPECT_LE(imageOrientation(jpeg.left(n)), 8u);
    // Markers hold NUL bytes: "Exif" alone, or "MM" without the rest of the
    // TIFF mark, is not Exif data.
    EXPECT_EQ(imageOrientation(QByteArray("\xFF\xD8\xFF\xE1\0\x06" "Exif", 10)), 1u);
    QByteArray notTiff = tiff;
    notTiff[2] = 'x';
    EXPECT_EQ(imageOrientation(plain.left(33) + QByteArray("\0\0\0\x1A" "eXIf", 8) + notTiff + QByteArray(4, '\0')), 1u);
    QByteArray liar = jpeg;
    liar[22] = liar[23] = '\xFF';
    EXPECT_EQ(imageOrientation(liar), 1u);
}

TEST(ImageText, RecognisesUprightAndExifRotatedText)
{
    const QImage picture = pictureWithText({QStringLiteral("HELLO WORLD"), QStringLiteral("Second line 42")});
    const QString expected = QStringLiteral("HELLO WORLD\nSecond line 42");
    EXPECT_EQ(textOf(QStringLiteral("p.png"), png(picture), true), expected);
    // Each Exif orientation with the picture stored as a camera would have
    // stored it: the reader must undo it for the text to read.
    const struct {
        uint16_t orientation;
        QTransform stored; // from upright to stored
    } cases[] = {
        {2, QTransform(-1, 0, 0, 1, 0, 0)}, // mirrored left to right
        {3, QTransform().rotate(180)},
        {4, QTransform(1, 0, 0, -1, 0, 0)}, // mirrored top to bottom
        {5, QTransform(0, 1, 1, 0, 0, 0)},  // mirrored across the main diagonal
        {6, QTransform().rotate(-90)},      // a quarter counter-clockwise: turned back clockwise
        {7, QTransform(0, -1, -1, 0, 0, 0)}, // mirrored across the other diagonal
        {8, QTransform().rotate(90)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textOf(QStringLiteral("p.jpg"), jpegWithOrientation(picture.transformed(c.stored), c.orientation), true),
                  expected)
            << c.orientation;
    }

    QImage blank(800, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    EXPECT_EQ(textOf(QStringLiteral("blank.png"), png(blank), true), std::nullopt);
    EXPECT_EQ(textOf(QStringLiteral("fake.png"), "not an image", true), std::nullopt);
    // Too many pixels: refused from the header, before any decoding.
    QImage huge(8001, 8000, QImage::Format_Mono);
    huge.fill(0);
    EXPECT_EQ(textOf(QStringLiteral("huge.png"), png(huge), true), std::nullopt);
}

TEST(ImageText, WordsAboveABandOfColourNoiseAreRead)
{
    // Read as one block of text, the noise drowns the words; the page's own
    // layout keeps them a line of their own.
    QImage picture(480, 300, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(40);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(30, 90, QStringLiteral("Blue harbour 56"));
    painter.end();
    QRandomGenerator random(65);
    for (int y = 170; y < 300; ++y)
        for (int x = 0; x < 480; ++x)
            picture.setPixel(x, y, 0xFF000000u | (random.generate() & 0xFFFFFFu));
    const std::optional<QString> text = textOf(QStringLiteral("harbour.png"), png(picture), true);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->split(QLatin1Char('\n')).contains(QStringLiteral("Blue harbour 56"))) << text->toStdString();
}

TEST(ImageText, RecognitionStopsWhenAskedAndLargePicturesAreScaledDown)
{
    const QString path = writeTempFile(QStringLiteral("p.png"), png(pictureWithText({QStringLiteral("HELLO WORLD")})));
    // Asked once before recognition, then by the recogniser between words:
    // a stop at its first question gives no text.
    int polls = 0;
    QSize handed;
    EXPECT_EQ(recognizeImageText(path, [&polls] { return ++polls > 1; }, &handed), std::nullopt);
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(handed, QSize(800, 200));

    // 24 megapixels in two colours: handed over scaled down, shape kept.
    QImage large(6000, 4000, QImage::Format_Mono);
    large.fill(1);
    const QString largePath = writeTempFile(QStringLiteral("large.png"), png(large));
    EXPECT_EQ(recognizeImageText(largePath, [] { return true; }, &handed), std::nullopt);
    EXPECT_LE(int64_t(handed.width()) * handed.height(), kMostPixels);
    EXPECT_GE(int64_t(handed.width()) * handed.height(), kMostPixels * 99 / 100);
    EXPECT_NEAR(double(handed.width()) / handed.height(), 1.5, 0.001);
}
