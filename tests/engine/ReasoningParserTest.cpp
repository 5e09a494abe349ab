#include "engine/ReasoningParser.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

using namespace cvn;

namespace {

using Split = ReasoningParser::Split;

Split split(const char* answer, const char* reasoning)
{
    return {QString::fromUtf8(answer), QString::fromUtf8(reasoning)};
}

Split feed(ReasoningParser& parser, const char* piece)
{
    return parser.feed(QString::fromUtf8(piece));
}

} // namespace

TEST(ReasoningParser, TagsCutAcrossPieces)
{
    ReasoningParser p;
    EXPECT_EQ(feed(p, "Hello <thi"), split("Hello ", ""));
    EXPECT_EQ(p.pending(), QStringLiteral("<thi"));
    EXPECT_EQ(feed(p, "nk>plan"), split("", "plan"));
    EXPECT_TRUE(p.inThink());
    EXPECT_EQ(feed(p, "ok</th"), split("", "ok"));
    EXPECT_EQ(feed(p, "ink>Answer"), split("Answer", ""));
    EXPECT_FALSE(p.inThink());
    EXPECT_TRUE(p.flush().isEmpty());

    // One character at a time gives the same text on each side.
    ReasoningParser q;
    Split total;
    for (QChar c : QStringLiteral("a<think>b<</think>c</think><thinkX")) {
        const Split s = q.feed(QStringView(&c, 1));
        total.answer += s.answer;
        total.reasoning += s.reasoning;
    }
    const Split rest = q.flush();
    total.answer += rest.answer;
    EXPECT_EQ(total, split("ac</think><thinkX", "b<"));
}

TEST(ReasoningParser, HeldTextThatIsNoTag)
{
    ReasoningParser p;
    EXPECT_EQ(feed(p, "a<"), split("a", ""));
    EXPECT_EQ(feed(p, "b"), split("<b", ""));

    // A held beginning that turns out to start over: "<thi" then "<think>".
    EXPECT_EQ(feed(p, "x<thi"), split("x", ""));
    EXPECT_EQ(feed(p, "<think>r"), split("<thi", "r"));

    // The longest held tail is six characters outside and seven inside.
    ReasoningParser q;
    EXPECT_EQ(feed(q, "<think"), split("", ""));
    EXPECT_EQ(q.pending().size(), 6);
    EXPECT_EQ(feed(q, ">"), split("", ""));
    EXPECT_EQ(feed(q, "</think"), split("", ""));
    EXPECT_EQ(q.pending().size(), 7);
}

TEST(ReasoningParser, WholeBlockInOnePieceAndOrdinaryTags)
{
    ReasoningParser p;
    EXPECT_EQ(feed(p, "<think>r</think>a"), split("a", "r"));
    EXPECT_FALSE(p.inThink());

    ReasoningParser answerSide;
    EXPECT_EQ(feed(answerSide, "x</think>y"), split("x</think>y", ""));
    EXPECT_FALSE(answerSide.inThink());

    ReasoningParser thinking;
    EXPECT_EQ(feed(thinking, "<think>a<think>b"), split("", "a<think>b"));
    EXPECT_TRUE(thinking.inThink());

    // Tags are case-sensitive; a second block opens again.
    ReasoningParser twice;
    EXPECT_EQ(feed(twice, "<THINK>1<think>2</think>3<think>4</think>"), split("<THINK>13", "24"));
}

TEST(ReasoningParser, FlushEmptyPiecesAndReset)
{
    ReasoningParser p;
    EXPECT_EQ(feed(p, "<think>abc</thi"), split("", "abc"));
    EXPECT_EQ(p.flush(), split("", "</thi"));
    EXPECT_TRUE(p.inThink());
    EXPECT_TRUE(p.pending().isEmpty());
    EXPECT_TRUE(p.flush().isEmpty());

    // An empty piece with nothing held changes nothing.
    EXPECT_TRUE(p.feed(u"").isEmpty());
    EXPECT_TRUE(p.inThink());

    // An empty piece with something held keeps holding it.
    ReasoningParser q;
    EXPECT_EQ(feed(q, "hi<"), split("hi", ""));
    EXPECT_TRUE(q.feed(u"").isEmpty());
    EXPECT_EQ(q.pending(), QStringLiteral("<"));
    EXPECT_EQ(q.flush(), split("<", ""));

    p.reset();
    EXPECT_FALSE(p.inThink());
    EXPECT_EQ(feed(p, "plain \xF0\x9F\x98\x80"), split("plain \xF0\x9F\x98\x80", ""));
}
