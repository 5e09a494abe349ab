#include "platform/Utf8Decoder.h"

#include <gtest/gtest.h>

using namespace cvn;

TEST(Utf8Decoder, CharacterSplitAcrossPushesIsEmittedOnceWhole)
{
    Utf8Decoder d;
    EXPECT_EQ(d.push(" Hello"), QStringLiteral(" Hello"));
    EXPECT_EQ(d.push("\xC3"), QString());
    EXPECT_EQ(d.pending().size(), 1);
    EXPECT_EQ(d.push("\xA9"), QStringLiteral(u"\u00E9"));
    EXPECT_TRUE(d.pending().isEmpty());

    // A four-byte emoji, one byte at a time.
    const char emoji[] = "\xF0\x9F\x98\x80";
    QString out;
    for (int i = 0; i < 4; ++i)
        out += d.push(std::string_view(emoji + i, 1));
    EXPECT_EQ(out, QString::fromUtf8(emoji));
}

TEST(Utf8Decoder, InvalidBytesBecomeReplacementAndNeverBlockLaterText)
{
    Utf8Decoder d;
    // A lone continuation byte.
    EXPECT_EQ(d.push("\xA9"), QStringLiteral(u"\uFFFD"));
    EXPECT_EQ(d.push("!"), QStringLiteral("!"));
    // A truncated sequence followed by ASCII: one replacement, then the text.
    EXPECT_EQ(d.push("\xE2\x82" "abc"), QStringLiteral(u"\uFFFDabc"));
    // Bytes that can never appear, overlong lead, surrogate, above U+10FFFF.
    EXPECT_EQ(d.push("\xFF\xC0\xAF"), QStringLiteral(u"\uFFFD\uFFFD\uFFFD"));
    EXPECT_EQ(d.push("\xED\xA0\x80"), QStringLiteral(u"\uFFFD\uFFFD\uFFFD"));
    EXPECT_EQ(d.push("\xF4\x90\x80\x80"), QStringLiteral(u"\uFFFD\uFFFD\uFFFD\uFFFD"));
    EXPECT_TRUE(d.pending().isEmpty());
    // Valid text after all that still comes through.
    EXPECT_EQ(d.push("ok \xE2\x82\xAC"), QStringLiteral(u"ok \u20AC"));
}

TEST(Utf8Decoder, WholeBufferDecodeReplacesTrailingFragment)
{
    EXPECT_EQ(Utf8Decoder::decode("ab\xFF" "cd"), QStringLiteral(u"ab\uFFFDcd"));
    // Maximal subpart: E2 82 at the end is one replacement, not two.
    EXPECT_EQ(Utf8Decoder::decode("x\xE2\x82"), QStringLiteral(u"x\uFFFD"));
    EXPECT_EQ(Utf8Decoder::decode(""), QString());
    EXPECT_EQ(Utf8Decoder::decode(std::string_view("a\0b", 3)), QStringView(u"a\0b", 3).toString());
}

TEST(Utf8Decoder, ByteOrderMarksAreTextLikeAnyOtherCharacter)
{
    // Expected UTF-16 units written out by hand: U+FEFF is EF BB BF.
    const QString mark(QChar(char16_t(0xFEFF)));
    EXPECT_EQ(Utf8Decoder::decode("\xEF\xBB\xBF"), mark);
    EXPECT_EQ(Utf8Decoder::decode("\xEF\xBB\xBF\xEF\xBB\xBF" "a\xEF\xBB\xBF"), mark + mark + u'a' + mark);
    EXPECT_EQ(Utf8Decoder::decode("\xF0\x9F\x98\x80"), QStringView(u"\xD83D\xDE00").toString());
    Utf8Decoder d;
    EXPECT_EQ(d.push("\xEF\xBB"), QString());
    EXPECT_EQ(d.push("\xBF"), mark);
    EXPECT_EQ(d.push("x\xEF\xBB\xBF"), u'x' + mark);
}
