#include "Fixtures.h"

#include "attachments/AttachmentStager.h"
#include "attachments/AttachmentText.h"
#include "attachments/TokenEstimate.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QImage>
#include <QUrl>

#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::test;

TEST(TokenEstimate, DivisorByExtensionAndCyrillicRule)
{
    const QString hundred(100, u'a');
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.md"), hundred), 25);
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.json"), hundred), 41);
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.CSV"), hundred), 57);
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.pdf"), hundred), 25);
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/noextension"), hundred), 25);

    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.txt"), QString(31, u'ж') + QString(69, u'a')), 45);
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.txt"), QString(30, u'ж') + QString(70, u'a')), 25);
    // Outside the BMP a character is two code units, and four UTF-8 bytes.
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.md"), QStringLiteral("\U0001F600").repeated(50)), 200);
    EXPECT_EQ(estimateAttachmentTokens(QString(), QString()), 0);
}

// Scripts with more tokens than characters are never counted at the light
// text's ratio: 3,000 CJK characters took 4,881 tokens of a real tokenizer.
TEST(TokenEstimate, WideCharactersCountOnTheSafeSide)
{
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.txt"), QString(3000, u'中')), 6000);
    EXPECT_EQ(estimateTextTokens(QStringLiteral("かな한글"), 3), 8);
    EXPECT_EQ(estimateTextTokens(QStringLiteral("\U0001D400").repeated(10) + QString(30, u'a'), 3), 50);
    // Light text keeps its ratio beside them; a lone surrogate is one wide unit.
    EXPECT_EQ(estimateAttachmentTokens(QStringLiteral("/nowhere/a.md"), QString(39, u'a') + u'中'), 12);
    EXPECT_EQ(estimateTextTokens(QString(u'\xD800'), 3), 2);
}

TEST(TokenEstimate, WholeTextFilesAndSizeFloors)
{
    // The extracted text is the first 8,000 characters; the whole file counts.
    const QString text = writeTempFile(QStringLiteral("a.txt"), QByteArray(39000, 'a'));
    EXPECT_EQ(estimateAttachmentTokens(text, QString(8000, u'a')), 10000);
    // A UTF-16 file is read again by the same rules as its extraction.
    QByteArray utf16("\xFF\xFE", 2);
    for (int i = 0; i < 39000; ++i)
        utf16.append("a\0", 2);
    EXPECT_EQ(estimateAttachmentTokens(writeTempFile(QStringLiteral("b.txt"), utf16), QString(8000, u'a')), 10000);
    // A file that cannot be read leaves the given text in use.
    EXPECT_EQ(estimateAttachmentTokens(makeTempFolder() + QStringLiteral("/gone.txt"), QString(390, u'a')), 100);

    const QString pdf = sparseFile(QStringLiteral("a.pdf"), 1'000'000);
    EXPECT_EQ(estimateAttachmentTokens(pdf, QString(40000, u'a')), 125000);
    EXPECT_EQ(estimateAttachmentTokens(pdf, QString(60000, u'a')), 15000);
    const QString docx = sparseFile(QStringLiteral("a.DOCX"), 1'000'000);
    EXPECT_EQ(estimateAttachmentTokens(docx, QString(40000, u'a')), 125000);
    EXPECT_EQ(estimateAttachmentTokens(sparseFile(QStringLiteral("a.png"), 2'000'000), QString(40, u'a')), 10);
}

// An image is sent as the text read from it, and to a model that sees images
// as its projector's positions: its bytes count nothing, so a photo without
// text never warns of hundreds of percent.
TEST(TokenEstimate, AnImageCountsItsTextAndItsPositionsNeverItsBytes)
{
    EXPECT_EQ(estimateAttachmentTokens(sparseFile(QStringLiteral("photo.JPG"), 189'000), QString()), 0);
    EXPECT_EQ(estimateAttachmentTokens(sparseFile(QStringLiteral("sign.png"), 189'000), QString(40, u'a')), 10);

    QImage photo(64, 48, QImage::Format_RGB32);
    photo.fill(Qt::darkGreen);
    const QString path = makeTempFolder() + QStringLiteral("/photo.png");
    ASSERT_TRUE(photo.save(path));
    AttachmentStager stager;
    stager.stage(QUrl::fromLocalFile(path));
    ASSERT_TRUE(waitUntil([&] { return stager.staged().value(0).extracted; }, 20000));
    EXPECT_EQ(stager.totalApproxTokens(), 0) << "a model that does not see images is sent no text of it";
    stager.setImagePositions(256);
    EXPECT_EQ(stager.totalApproxTokens(), 256);
}

TEST(TokenEstimate, OneReadingGivesTheTextAndItsEstimate)
{
    const auto read = [](const QString& path, bool isImage) { return readAttachment(path, isImage); };

    // A long text file: the first 8,000 characters, the whole file counted.
    const AttachmentReading longText = read(writeTempFile(QStringLiteral("a.txt"), QByteArray(39000, 'a')), false);
    EXPECT_EQ(longText.text, QString(8000, u'a'));
    EXPECT_EQ(longText.approxTokens, 10000);
    // White space alone is no text, yet it is counted.
    const AttachmentReading blank = read(writeTempFile(QStringLiteral("blank.txt"), QByteArray(40, ' ')), false);
    EXPECT_EQ(blank.text, std::nullopt);
    EXPECT_EQ(blank.approxTokens, 10);
    // Bytes that decode to nothing count by their size.
    const AttachmentReading binary = read(writeTempFile(QStringLiteral("bin.txt"), QByteArray("\x01\xC3").repeated(40)), false);
    EXPECT_EQ(binary.text, std::nullopt);
    EXPECT_EQ(binary.approxTokens, 10);

    // Other kinds go through their own readers.
    EXPECT_EQ(read(writeTempFile(QStringLiteral("d.docx"), docxWithParagraphs({QStringLiteral("One"), QStringLiteral("Two")})), false).text,
              QStringLiteral("One\nTwo"));
    EXPECT_EQ(read(writeTempFile(QStringLiteral("p.pdf"), pdfWithPages({{QStringLiteral("Page one")}})), false).text,
              QStringLiteral("Page one\n"));
    const AttachmentReading zeros = read(sparseFile(QStringLiteral("z.png"), 2'000'000), true);
    EXPECT_EQ(zeros.approxTokens, 0);
    EXPECT_EQ(zeros.refusal, QStringLiteral("Format not supported: z.png (not a PNG, JPEG, WebP, GIF or BMP image)"));
}
