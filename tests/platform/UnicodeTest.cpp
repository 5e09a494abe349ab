#include "platform/Unicode.h"

#include <QRandomGenerator>
#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// Cluster starts as the segmentation library alone sees them, plus the end.
std::vector<qsizetype> finderOffsets(const QString& text)
{
    std::vector<qsizetype> offsets;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = 0; at >= 0 && at < text.size(); at = finder.toNextBoundary())
        offsets.push_back(at);
    offsets.push_back(text.size());
    return offsets;
}

std::vector<qsizetype> indexOffsets(const QString& text)
{
    const GraphemeIndex index(text);
    std::vector<qsizetype> offsets;
    for (qsizetype i = 0; i <= index.size(); ++i)
        offsets.push_back(index.offset(i));
    return offsets;
}

} // namespace

TEST(GraphemeIndex, AgreesWithBoundaryFinderOnFastAndMixedText)
{
    QString low;
    for (char16_t c = 0; c < 0x300; ++c)
        low += QChar(c);
    low += QStringLiteral("\r\n\r\r\n\n\r");
    EXPECT_EQ(indexOffsets(low), finderOffsets(low));

    const QString samples[] = {
        QStringLiteral(""),
        QStringLiteral("plain ascii"),
        QStringLiteral("e\u0301 a\u0308\u0323b"),                    // combining marks
        QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467x"), // ZWJ family
        QStringLiteral("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EE"), // flags, odd indicator
        QStringLiteral("\u00a9\u200D\u00a9 \u1100\u1161\u11a8 \u0600x"), // pictograph, jamo, prepend
        QStringLiteral("a\r\n\u0301\r\u0301\n"),
        QString(QChar(0xD800)) + QStringLiteral("x") + QChar(0xDC00), // lone surrogates
    };
    for (const QString& text : samples)
        EXPECT_EQ(indexOffsets(text), finderOffsets(text)) << text.toStdString();

    // Random mixes of the characters above.
    const QString alphabet[] = {QStringLiteral("a"), QStringLiteral(" "), QStringLiteral("\r"), QStringLiteral("\n"),
                                QStringLiteral("\u0301"), QStringLiteral("\u200D"), QStringLiteral("\U0001F600"),
                                QStringLiteral("\U0001F1E9"), QStringLiteral("\u1100"), QStringLiteral("\u1161"),
                                QStringLiteral("\u00e9"), QStringLiteral("\u0600"), QStringLiteral("\u00a9"),
                                QString(QChar(0xDC00))};
    QRandomGenerator random(12);
    for (int round = 0; round < 500; ++round) {
        QString text;
        const int length = random.bounded(1, 40);
        for (int k = 0; k < length; ++k)
            text += alphabet[random.bounded(int(std::size(alphabet)))];
        ASSERT_EQ(indexOffsets(text), finderOffsets(text)) << "round " << round;
    }
}

TEST(GraphemeIndex, CharactersCompareAsWholes)
{
    const QString text = QStringLiteral("-\u0301-\r\n\n\U0001F600 ");
    const GraphemeIndex index(text);
    ASSERT_EQ(index.size(), 6);
    EXPECT_FALSE(index.isChar(0, u'-'));
    EXPECT_TRUE(index.isChar(1, u'-'));
    EXPECT_FALSE(index.isChar(2, u'\r'));
    EXPECT_TRUE(index.isLineEnd(2));
    EXPECT_TRUE(index.isLineEnd(3));
    EXPECT_FALSE(index.isLineEnd(1));
    EXPECT_EQ(index.firstCodePoint(4), char32_t(0x1F600));
    EXPECT_EQ(index.at(4), QStringLiteral("\U0001F600"));
    EXPECT_TRUE(index.isSpace(5));
    EXPECT_EQ(index.slice(1, 3), QStringLiteral("-\r\n"));

    const GraphemeIndex ascii(u"a\rb");
    EXPECT_EQ(ascii.size(), 3);
    EXPECT_TRUE(ascii.isChar(1, u'\r'));
    EXPECT_FALSE(ascii.isLineEnd(1));
}

TEST(Unicode, CharacterProperties)
{
    for (char32_t c : {U'a', U'Z', U'\u00e9', U'\u4e2d', U'\u0430', U'\u00aa'})
        EXPECT_TRUE(isAlphabetic(c)) << int(c);
    for (char32_t c : {U'1', U'_', U' ', U'\u00b2', U'\U0001F600'})
        EXPECT_FALSE(isAlphabetic(c)) << int(c);

    for (char32_t c : {U'0', U'9', U'\u00b2', U'\u00bd', U'\u4e09', U'\u0663', U'\uff15', U'\u2167'})
        EXPECT_TRUE(hasNumericType(c)) << int(c);
    for (char32_t c : {U'a', U'.', U'\u00e9'})
        EXPECT_FALSE(hasNumericType(c)) << int(c);

    for (const char16_t* s : {u"0", u"F", u"a", u"\uff10", u"\uff26", u"\uff46"})
        EXPECT_TRUE(isHexDigitCharacter(QStringView(s))) << QStringView(s).toString().toStdString();
    for (const char16_t* s : {u"g", u"G", u"", u"ab", u"a\u0301", u"\uff27", u"\u0663"})
        EXPECT_FALSE(isHexDigitCharacter(QStringView(s))) << QStringView(s).toString().toStdString();

    for (char32_t c : {U' ', U'\t', U'\u00a0', U'\u3000', U'\u2003'})
        EXPECT_TRUE(isSpaceSeparatorOrTab(c)) << int(c);
    for (char32_t c : {U'\n', U'\r', U'\u200b', U'x'})
        EXPECT_FALSE(isSpaceSeparatorOrTab(c)) << int(c);
}

TEST(Unicode, TrimSpacesRemovesWholeSpaceCharactersOnly)
{
    EXPECT_EQ(trimSpaces(u"\u3000\t x y \u00a0\t"), QStringLiteral("x y"));
    EXPECT_EQ(trimSpaces(u"\n x \r"), QStringLiteral("\n x \r"));
    EXPECT_EQ(trimSpaces(u" \t "), QString());
    EXPECT_EQ(trimSpaces(u""), QString());
    // A space carrying a combining mark is one character, and not a space.
    EXPECT_EQ(trimSpaces(u"  \u0301x "), QStringLiteral(" \u0301x"));
}

TEST(Unicode, PrefixCharactersCountsWholeCharacters)
{
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    EXPECT_EQ(prefixCharacters(0, QStringLiteral("abc")), QString());
    EXPECT_EQ(prefixCharacters(1, family + QStringLiteral("x")), family);
    EXPECT_EQ(prefixCharacters(2, QStringLiteral("e\u0301xy")), QStringLiteral("e\u0301x"));
    EXPECT_EQ(prefixCharacters(3, QStringLiteral("abc")), QStringLiteral("abc"));
    EXPECT_EQ(prefixCharacters(40, QStringLiteral("ab")), QStringLiteral("ab"));
    EXPECT_EQ(prefixCharacters(2, QString()), QString());
    EXPECT_EQ(prefixCharacters(-1, QStringLiteral("ab")), QString());
    EXPECT_EQ(prefixCharacters(1, QStringLiteral("\r\nx")), QStringLiteral("\r\n"));
}
