#include "Fixtures.h"

#include "attachments/AttachmentText.h"
#include "attachments/DocxText.h"
#include "attachments/ZipReader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace cvn;
using namespace cvn::test;

namespace {

const QString documentName = QStringLiteral("word/document.xml");

const QByteArray sampleXml =
    "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>"
    "<w:p><w:r><w:t>Hello </w:t></w:r><w:r><w:t>World</w:t></w:r></w:p><w:p/>"
    "<w:p><w:r><w:t>Third</w:t></w:r><w:r><w:tab/><w:t xml:space=\"preserve\"> x &amp; y</w:t></w:r></w:p>"
    "</w:body></w:document>";

std::optional<QString> documentText(const QByteArray& archive)
{
    const std::optional<QByteArray> xml = zipEntryData(documentName, archive);
    return xml ? docxDocumentText(*xml) : std::nullopt;
}

} // namespace

TEST(ZipReader, LittleEndianFieldsReadZeroOutOfRange)
{
    const QByteArray bytes("\x01\x02\x03\x04\x05", 5);
    EXPECT_EQ(readU16LE(bytes, 0), 0x0201);
    EXPECT_EQ(readU32LE(bytes, 1), 0x05040302u);
    EXPECT_EQ(readU32LE(bytes, 2), 0u);
    EXPECT_EQ(readU16LE(bytes, 4), 0);
    EXPECT_EQ(readU16LE(bytes, -1), 0);
    EXPECT_EQ(readU32LE(bytes, INT64_MAX), 0u);
}

TEST(ZipReader, StoredDeflatedAndDataDescriptorEntries)
{
    QByteArray binary;
    for (int i = 0; i < 3000; ++i)
        binary.append(char(i * 7));
    const QByteArray stored = zipArchive({{QStringLiteral("a.bin"), binary, 0}, {documentName, sampleXml, 0}});
    EXPECT_EQ(zipEntryData(QStringLiteral("a.bin"), stored), binary);
    EXPECT_EQ(zipEntryData(documentName, stored), sampleXml);
    EXPECT_EQ(documentText(stored), QStringLiteral("Hello World\n\nThird x & y"));

    const QByteArray deflated = zipArchive({{QStringLiteral("a.bin"), binary}, {documentName, sampleXml, 8, true}});
    EXPECT_EQ(zipEntryData(QStringLiteral("a.bin"), deflated), binary);
    EXPECT_EQ(documentText(deflated), QStringLiteral("Hello World\n\nThird x & y"));

    // An empty entry is empty data, not a failure.
    EXPECT_EQ(zipEntryData(QStringLiteral("e"), zipArchive({{QStringLiteral("e"), QByteArray()}})), QByteArray());
    // Names match exactly.
    EXPECT_EQ(zipEntryData(documentName, zipArchive({{QStringLiteral("Word/Document.xml"), sampleXml}})), std::nullopt);
}

TEST(ZipReader, BrokenEntriesGiveNothing)
{
    EXPECT_EQ(zipEntryData(documentName, zipArchive({{documentName, sampleXml, 12}})), std::nullopt);
    EXPECT_EQ(zipEntryData(documentName, zipArchive({{documentName, sampleXml, 14}})), std::nullopt);

    ZipEntry longer {documentName, sampleXml};
    longer.declaredSize = uint32_t(sampleXml.size() + 1);
    EXPECT_EQ(zipEntryData(documentName, zipArchive({longer})), std::nullopt);
    ZipEntry storedLonger {documentName, sampleXml, 0};
    storedLonger.declaredSize = uint32_t(sampleXml.size() + 1);
    EXPECT_EQ(zipEntryData(documentName, zipArchive({storedLonger})), std::nullopt);

    // A stream that goes on past the declared size fills the buffer: accepted,
    // cut to the declared size.
    ZipEntry shorter {documentName, sampleXml};
    shorter.declaredSize = 10;
    EXPECT_EQ(zipEntryData(documentName, zipArchive({shorter})), sampleXml.left(10));

    ZipEntry damaged {documentName, sampleXml};
    QByteArray stream = rawDeflate(sampleXml);
    for (qsizetype i = 0; i < stream.size(); i += 3)
        stream[i] = char(~stream[i]);
    damaged.payload = stream;
    EXPECT_EQ(zipEntryData(documentName, zipArchive({damaged})), std::nullopt);

    ZipEntry truncated {documentName, sampleXml};
    truncated.payload = rawDeflate(sampleXml).left(20);
    EXPECT_EQ(zipEntryData(documentName, zipArchive({truncated})), std::nullopt);

    EXPECT_EQ(inflateRawDeflate(rawDeflate("abc"), 0), QByteArray());
    EXPECT_EQ(inflateRawDeflate(rawDeflate("abc"), 3), QByteArray("abc"));
    EXPECT_EQ(inflateRawDeflate(QByteArray(), 3), std::nullopt);
}

TEST(ZipReader, EndRecordIsSearchedOverTheLongestComment)
{
    const QByteArray entryArchive = zipArchive({{documentName, sampleXml}}, {QByteArray(65535, 'c')});
    EXPECT_EQ(zipEntryData(documentName, entryArchive), sampleXml);

    const QByteArray farAway = zipArchive({{documentName, sampleXml}}, {{}, QByteArray(65536, 't')});
    EXPECT_EQ(zipFindEndOfCentralDirectory(farAway), std::nullopt);
    const QByteArray justInReach = zipArchive({{documentName, sampleXml}}, {{}, QByteArray(65535, 't')});
    EXPECT_EQ(zipFindEndOfCentralDirectory(justInReach), justInReach.size() - 22 - 65535);

    EXPECT_EQ(zipFindEndOfCentralDirectory(QByteArray(21, 0)), std::nullopt);
    EXPECT_EQ(zipFindEndOfCentralDirectory(QByteArray("PK\x05\x06", 4) + QByteArray(18, 0)), 0);
    EXPECT_EQ(zipEntryData(documentName, QByteArray("plain text, not an archive")), std::nullopt);
}

TEST(ZipReader, HostileOffsetsAndSizesAreRefusedWithoutAllocating)
{
    const QByteArray good = zipArchive({{documentName, sampleXml}});
    EXPECT_EQ(zipEntryData(documentName, zipArchive({{documentName, sampleXml}}, {{}, {}, {}, 0xFFFFFFF0})),
              std::nullopt);
    // 65,535 entries declared over a directory cut short.
    QByteArray cut = zipArchive({{QStringLiteral("x"), "x"}}, {{}, {}, 65535});
    EXPECT_EQ(zipEntryData(documentName, cut), std::nullopt);
    ZipEntry hugeCompressed {documentName, sampleXml, 0};
    QByteArray archive = zipArchive({hugeCompressed});
    const auto directory = qsizetype(readU32LE(archive, archive.size() - 6));
    archive[directory + 20] = archive[directory + 21] = archive[directory + 22] = archive[directory + 23] = '\xFF';
    EXPECT_EQ(zipEntryData(documentName, archive), std::nullopt);
    // Every truncation of a sound archive fails cleanly.
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_EQ(zipEntryData(documentName, good.left(n)), std::nullopt) << n;

    // 4 GiB declared over 1 KiB of data, and 1 GiB over 1 MiB: refused before
    // any buffer is made, so the peak memory does not move.
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    ZipEntry bomb {documentName, QByteArray(1024, 'z')};
    bomb.declaredSize = 0xFFFFFFFF;
    bomb.payload = QByteArray(1024, '\0');
    EXPECT_EQ(zipEntryData(documentName, zipArchive({bomb})), std::nullopt);
    EXPECT_EQ(inflateRawDeflate(QByteArray(1 << 20, '\0'), int64_t(1) << 30), std::nullopt);
    EXPECT_EQ(inflateRawDeflate(QByteArray(100, '\0'), 1032 * 100 + 1025), std::nullopt);
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 100 * 1024); // kilobytes
}

TEST(DocxText, ParagraphsRunsAndNesting)
{
    EXPECT_EQ(docxDocumentText("<w:p><w:t>A</w:t><w:p><w:t>B</w:t></w:p><w:t>C</w:t></w:p>"), QStringLiteral("B\nAC"));
    // Undeclared prefixes are fine; text outside w:t is not collected.
    EXPECT_EQ(docxDocumentText("<w:body><w:t>loose</w:t><w:p><w:instrText>PAGE</w:instrText><w:t>a</w:t>"
                               "<w:t><![CDATA[<b>]]></w:t></w:p></w:body>"),
              QStringLiteral("a<b>"));
    EXPECT_EQ(docxDocumentText("<w:body/>"), QString());
    EXPECT_EQ(docxDocumentText("<w:p><w:t>unclosed</w:t>"), std::nullopt);
    EXPECT_EQ(docxDocumentText("not xml at all"), std::nullopt);

    // Enough text read: the rest is skipped, unchecked. White space alone is
    // never enough.
    const QByteArray three = "<w:body><w:p><w:t>abc</w:t></w:p><w:p><w:t>def</w:t></w:p><w:p><w:t>ghi</w:t></w:p></w:body>";
    EXPECT_EQ(docxDocumentText(three, 5), QStringLiteral("abc\ndef"));
    EXPECT_EQ(docxDocumentText(three, 9), QStringLiteral("abc\ndef\nghi"));
    EXPECT_EQ(docxDocumentText("<w:body><w:p><w:t>abcdef</w:t></w:p><broken", 5), QStringLiteral("abcdef"));
    EXPECT_EQ(docxDocumentText("<w:body><w:p><w:t>abcdef</w:t></w:p><broken"), std::nullopt);
    EXPECT_EQ(docxDocumentText("<w:body><w:p><w:t>        </w:t></w:p><w:p/><broken", 5), std::nullopt);

    // A part of several MiB is read across the reader's input slices, names
    // and text cut anywhere.
    QByteArray big = "<w:body>";
    QStringList expected;
    for (int i = 0; i < 60000; ++i) {
        expected << QStringLiteral("paragraph number %1 é").arg(i);
        big += "<w:p><w:r><w:t>" + expected.constLast().toUtf8() + "</w:t></w:r></w:p>";
    }
    big += "</w:body>";
    ASSERT_GT(big.size(), 3 << 20);
    EXPECT_EQ(docxDocumentText(big), expected.join(QLatin1Char('\n')));
    EXPECT_EQ(docxDocumentText(big.chopped(3)), std::nullopt);

    const QByteArray laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lolololololololololol\">"
                              "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                              "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
                              "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
                              "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
                              "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
                              "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
                              "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
                              "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
                              "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">"
                              "]><w:p><w:t>&lol9;</w:t></w:p>";
    EXPECT_EQ(docxDocumentText(laughs), std::nullopt);
}

TEST(DocxText, NestingBeyondTheDepthLimitIsRefusedWhereItStarts)
{
    // `paragraphs` w:p elements, one inside the other, the innermost holding
    // one w:t: the deepest element is `paragraphs` + 1 levels down.
    const auto nested = [](int paragraphs) {
        return QByteArray("<w:p>").repeated(paragraphs) + "<w:t>x</w:t>" + QByteArray("</w:p>").repeated(paragraphs);
    };
    qsizetype elements = 0;
    EXPECT_EQ(docxDocumentText(nested(maxDocxDepth - 1), -1, &elements),
              QStringLiteral("x") + QString(maxDocxDepth - 2, u'\n'));
    EXPECT_EQ(elements, maxDocxDepth);
    EXPECT_EQ(docxDocumentText(nested(maxDocxDepth)), std::nullopt);

    // A hostile part: reading ends at the first element too deep, not after
    // the 200,000 the document holds; as a DOCX file it gives no text.
    const QByteArray hostile = nested(200'000);
    EXPECT_EQ(docxDocumentText(hostile, 8000, &elements), std::nullopt);
    EXPECT_EQ(elements, maxDocxDepth + 1);
    const QByteArray docx = zipArchive({{QStringLiteral("word/document.xml"), hostile}});
    EXPECT_EQ(extractAttachmentText(writeTempFile(QStringLiteral("deep.docx"), docx), false), std::nullopt);
}
