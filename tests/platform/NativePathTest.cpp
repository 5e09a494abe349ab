#include "platform/NativePath.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

QString units(std::initializer_list<char16_t> list)
{
    QString out;
    for (const char16_t unit : list)
        out += QChar(unit);
    return out;
}

} // namespace

// Every byte string comes back whole, and each byte outside valid UTF-8
// stands alone as U+DC00 + byte.
TEST(NativePath, KeepsEveryByteOfANameThatIsNotUtf8)
{
    const struct {
        QByteArray bytes;
        QString path;
    } cases[] = {
        {"caf\xe9.txt", QStringLiteral("caf") + units({0xDCE9}) + QStringLiteral(".txt")},
        {"\xff\xfe", units({0xDCFF, 0xDCFE})},
        {"\xc0\xaf", units({0xDCC0, 0xDCAF})},                       // overlong "/"
        {"\xed\xa0\x80", units({0xDCED, 0xDCA0, 0xDC80})},           // a surrogate's code
        {"\xf4\x90\x80\x80", units({0xDCF4, 0xDC90, 0xDC80, 0xDC80})}, // above U+10FFFF
        {"a\xe2\x82", units({u'a', 0xDCE2, 0xDC82})},                // cut short at the end
        {"\xe2\x82z", units({0xDCE2, 0xDC82, u'z'})},                // cut short inside
        {"\xf0\x9f\x98\x80\xe9", units({0xD83D, 0xDE00, 0xDCE9})},   // a pair, then a byte
        {"\xef\xbb\xbfname\xe9", units({0xFEFF, u'n', u'a', u'm', u'e', 0xDCE9})}, // a leading U+FEFF stays
    };
    for (const auto& c : cases) {
        const QString path = pathFromNative(c.bytes);
        EXPECT_EQ(path, c.path) << c.bytes.toHex().toStdString();
        EXPECT_EQ(nativePath(path), c.bytes) << c.bytes.toHex().toStdString();
    }
    EXPECT_EQ(escapedByte(0xDCE9), std::optional<unsigned char>(0xE9));
    EXPECT_EQ(escapedByte(0xDC7F), std::nullopt);
    EXPECT_EQ(escapedByte(0xDE00), std::nullopt);
    EXPECT_EQ(escapedByte(u'e'), std::nullopt);
}

// Valid names read exactly as Qt reads them, both ways.
TEST(NativePath, ValidNamesAsQtHasThem)
{
    for (const QByteArray& bytes : {QByteArray("/tmp/notes.txt"), QByteArray("caf\xc3\xa9 \xe2\x80\xa8.md"),
                                    QByteArray("\xf0\x9f\x98\x80"), QByteArray("\x01\x7f"), QByteArray()}) {
        EXPECT_EQ(pathFromNative(bytes), QFile::decodeName(bytes)) << bytes.toHex().toStdString();
        EXPECT_EQ(nativePath(QFile::decodeName(bytes)), QFile::encodeName(QFile::decodeName(bytes)))
            << bytes.toHex().toStdString();
    }
}
