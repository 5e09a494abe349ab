#include "rendering/Markdown.h"

#include <gtest/gtest.h>

#include <string>

using namespace cvn::Markdown;

namespace {

// A span in the notation of the cases below: text plus any of the flags
// "b" (bold), "i" (italic) and "c" (code).
Span s(const char* text, std::string_view flags = "")
{
    return {QString::fromUtf8(text), flags.find('b') != flags.npos, flags.find('i') != flags.npos,
            flags.find('c') != flags.npos};
}

Block P(Spans spans) { return Paragraph{std::move(spans)}; }
Block H(int level, Spans spans) { return Heading{level, std::move(spans)}; }
Block B(std::vector<Spans> items) { return Bullet{std::move(items)}; }
Block N(std::vector<NumberedItem> items) { return Numbered{std::move(items)}; }
Block Q(Spans spans) { return Quote{std::move(spans)}; }
Block C(std::optional<QString> language, const char* text) { return Code{std::move(language), QString::fromUtf8(text)}; }
NumberedItem item(const char* marker, Spans spans) { return {QString::fromUtf8(marker), std::move(spans)}; }

constexpr auto L = Alignment::leading;
constexpr auto M = Alignment::center;
constexpr auto R = Alignment::trailing;

// Readable form of a result for failure messages.
void describe(const Spans& spans, std::string& out)
{
    out += "[";
    for (const Span& span : spans) {
        out += '"';
        out += span.text.toStdString();
        out += '"';
        out += span.bold ? "b" : "";
        out += span.italic ? "i" : "";
        out += span.code ? "c " : " ";
    }
    out += "]";
}

void describe(const std::vector<Spans>& list, std::string& out)
{
    out += "{";
    for (const Spans& spans : list)
        describe(spans, out);
    out += "}";
}

std::string describe(const std::vector<Block>& blocks)
{
    std::string out;
    for (const Block& block : blocks) {
        if (const auto* b = std::get_if<Paragraph>(&block)) {
            out += "P";
            describe(b->spans, out);
        } else if (const auto* h = std::get_if<Heading>(&block)) {
            out += "H";
            out += std::to_string(h->level);
            describe(h->spans, out);
        } else if (const auto* bullet = std::get_if<Bullet>(&block)) {
            out += "B";
            describe(bullet->items, out);
        } else if (const auto* numbered = std::get_if<Numbered>(&block)) {
            out += "N{";
            for (const auto& it : numbered->items) {
                out += it.marker.toStdString();
                describe(it.spans, out);
            }
            out += "}";
        } else if (const auto* q = std::get_if<Quote>(&block)) {
            out += "Q";
            describe(q->spans, out);
        } else if (const auto* code = std::get_if<Code>(&block)) {
            out += "Code(";
            out += code->language ? code->language->toStdString() : "none";
            out += ", \"";
            out += code->text.toStdString();
            out += "\")";
        } else if (const auto* t = std::get_if<Table>(&block)) {
            out += "T(";
            describe(t->header, out);
            out += " align";
            for (Alignment a : t->alignments)
                out += std::to_string(int(a));
            out += " rows";
            for (const auto& row : t->rows)
                describe(row, out);
            out += ")";
        }
        out += "\n";
    }
    return out;
}

struct Case {
    const char* input;
    std::vector<Block> expected;
};

void expectParses(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        const auto blocks = parse(QString::fromUtf8(c.input));
        EXPECT_TRUE(blocks == c.expected) << "input: " << c.input << "\ngot:\n"
                                          << describe(blocks) << "want:\n"
                                          << describe(c.expected);
    }
}

} // namespace

TEST(Markdown, EmptyAndBlankTextsGiveNoBlocks)
{
    EXPECT_TRUE(parse(QString()).empty());
    EXPECT_TRUE(parse(QStringLiteral("\n \n\t\n\u3000")).empty());
    EXPECT_TRUE(parse(QStringLiteral("\r\n\r\n")).empty());
}

TEST(Markdown, ListsComeOutFlatAndKeepTheirMarkers)
{
    expectParses({
        {"- a\n  - b\n    1. c\n- d", {B({{s("a")}, {s("b")}}), N({item("1.", {s("c")})}), B({{s("d")}})}},
        {"1. one\n   - sub\n2. two", {N({item("1.", {s("one")})}), B({{s("sub")}}), N({item("2.", {s("two")})})}},
        {"1. a\n2. b\n\n3. c", {N({item("1.", {s("a")}), item("2.", {s("b")})}), N({item("3.", {s("c")})})}},
        {"- a\n* b\n+ c", {B({{s("a")}, {s("b")}, {s("c")}})}},
        // The rest after "- " is not trimmed again.
        {"-   x", {B({{s("  x")}})}},
        {"-a\n- ", {P({s("-a -")})}},
        {"7. x\n12. y", {N({item("7.", {s("x")}), item("12.", {s("y")})})}},
        // Digits in any script, with an ICU numeric type.
        {"三. x", {N({item("三.", {s("x")})})}},
        {"٣. x\n²1. y", {N({item("٣.", {s("x")}), item("²1.", {s("y")})})}},
        {"123456789. x", {N({item("123456789.", {s("x")})})}},
        {"1234567890. x", {P({s("1234567890. x")})}},
        {"1.x\n1)\n. x", {P({s("1.x 1) . x")})}},
        // A combining mark on the dot makes it another character.
        {"1.\u0301 x", {P({s("1.\u0301 x")})}},
    });
}

TEST(Markdown, TablesWithAlignmentPaddingAndEscapes)
{
    const auto T = [](std::vector<Spans> header, std::vector<Alignment> alignments,
                      std::vector<std::vector<Spans>> rows) -> Block {
        return Table{std::move(header), std::move(alignments), std::move(rows)};
    };
    expectParses({
        {"|L|C|R|D|\n|:--|:-:|--:|---|\n|1|2|3|4|\ntail",
         {T({{s("L")}, {s("C")}, {s("R")}, {s("D")}}, {L, M, R, L}, {{{s("1")}, {s("2")}, {s("3")}, {s("4")}}}),
          P({s("tail")})}},
        {"Intro\n| a | b |\n|---|:-:|\n| 1 |\n| 1 | 2 | 3 |",
         {P({s("Intro")}), T({{s("a")}, {s("b")}}, {L, M}, {{{s("1")}, {}}, {{s("1")}, {s("2")}}})}},
        // Rows end at the first line without "|", a blank one included.
        {"a|b\n-|-\n\n|x|", {T({{s("a")}, {s("b")}}, {L, L}, {}), P({s("|x|")})}},
        {"| a \\| b | c |\n|---|---|", {T({{s("a | b")}, {s("c")}}, {L, L}, {})}},
        // Escaped backslash, and a trailing "\|" loses its pipe to the row edge.
        {"| a\\\\ | *b* |\n|-|-|\n| x \\|", {T({{s("a\\")}, {s("b", "i")}}, {L, L}, {{{s("x")}, {}}})}},
        // Cells are parsed inline, code spans keep their stars.
        {"|`a*b*`|\n|:-|", {T({{s("a*b*", "c")}}, {L}, {})}},
    });
}

TEST(Markdown, LinesThatLookLikeTablesButAreNot)
{
    expectParses({
        {"| a | b |\n|---|", {P({s("| a | b | |---|")})}},
        {"| x |\n| : |", {P({s("| x | | : |")})}},
        {"| x |\n|  |", {P({s("| x | |  |")})}},
        {"| x |\n| -x- |", {P({s("| x | | -x- |")})}},
        {"| x |\n| -:- |", {P({s("| x | | -:- |")})}},
        {"| x | y |\n| - | |", {P({s("| x | y | | - | |")})}},
        // An alignment row needs a pipe, and a dash under a combining mark is
        // no dash.
        {"x\n---", {P({s("x ---")})}},
        {"| x |\n| -\u0301 |", {P({s("| x | | -\u0301 |")})}},
        // A table needs its header line right above the alignment row.
        {"| x |", {P({s("| x |")})}},
    });
}

TEST(Markdown, FencesOddAndUnclosed)
{
    expectParses({
        {"```swift\nlet x = 1\n```", {C(QStringLiteral("swift"), "let x = 1")}},
        {"Text\n```python\nprint('hi')\n\nx = 1", {P({s("Text")}), C(QStringLiteral("python"), "print('hi')\n\nx = 1")}},
        {"```\n~~~\n```js\n````\nafter", {C(std::nullopt, "~~~\n```js"), P({s("after")})}},
        {"````js\nx\n````", {C(QStringLiteral("`js"), "x")}},
        {"```", {C(std::nullopt, "")}},
        {"``` python notes \n  indented\n   ```  \nz", {C(QStringLiteral("python notes"), "  indented"), P({s("z")})}},
        {"~~~\n```\n~~~~", {C(std::nullopt, "```")}},
        // Two backticks are no fence; a fence ends a paragraph.
        {"``\nx\n```\n*", {P({s("", "c"), s(" x")}), C(std::nullopt, "*")}},
    });
}

TEST(Markdown, EmphasisAndCodeSpans)
{
    const auto inlineOf = [](const char* text) { return parseInline(QString::fromUtf8(text)); };
    const std::vector<std::pair<const char*, Spans>> cases = {
        {"*a **b** c*", {s("a ", "i"), s("b", "i"), s(" c", "i")}},
        {"**a `**` b**", {s("a `", "b"), s("` b**")}},
        {"_snake_case_name_", {s("snake", "i"), s("case"), s("name", "i")}},
        {"***x***", {s("*x", "b"), s("*")}},
        {"**`x`**", {s("x", "bc")}},
        {"``", {s("", "c")}},
        {"**bold** and *it* and `co*de*`",
         {s("bold", "b"), s(" and "), s("it", "i"), s(" and "), s("co*de*", "c")}},
        {"**a *b* c**", {s("a ", "b"), s("b", "bi"), s(" c", "b")}},
        {"**x", {s("**x")}},
        {"**", {s("**")}},
        {"****", {s("****")}},
        {"`a", {s("`a")}},
        {"a_b_c 2*3*4", {s("a"), s("b", "i"), s("c 2"), s("3", "i"), s("4")}},
        {"*a_b*_", {s("a_b", "i"), s("_")}},
        {"__u__ \\*x*", {s("u", "b"), s(" \\"), s("x", "i")}},
        // A marker with a combining mark is another character.
        {"*\u0301a*", {s("*\u0301a*")}},
        {"", {}},
    };
    for (const auto& [text, expected] : cases) {
        const Spans got = inlineOf(text);
        std::string gave;
        describe(got, gave);
        EXPECT_TRUE(got == expected) << text << " gave " << gave;
    }
}

TEST(Markdown, HeadingsQuotesAndOddLines)
{
    expectParses({
        {"* * *", {B({{s(" ", "i")}})}},
        {"---", {P({s("---")})}},
        {"Title\n===", {P({s("Title ===")})}},
        {"## Title ##", {H(2, {s("Title ##")})}},
        {"####### x\n#x\n#", {P({s("####### x #x #")})}},
        {"###### x", {H(6, {s("x")})}},
        {"#\tx", {P({s("#\tx")})}},
        {"para\n# *Head*\nnext", {P({s("para")}), H(1, {s("Head", "i")}), P({s("next")})}},
        {"> a\n>\n> b", {Q({s("a  b")})}},
        {">> deep\n  > **x**", {Q({s("> deep "), s("x", "b")})}},
        {"text\n> q\nmore", {P({s("text")}), Q({s("q")}), P({s("more")})}},
        // Leading Unicode spaces and tabs are indentation; a line of them is blank.
        {"\u3000\t# H\n\u00a0\npara\u2003", {H(1, {s("H")}), P({s("para")})}},
    });
}

TEST(Markdown, CrLfLinesReadLikeLfLines)
{
    expectParses({
        {"```\r\ncode\r\n```\r\nafter", {C(std::nullopt, "code"), P({s("after")})}},
        {"```js\r\na\r\n\r\nb\r\n", {C(QStringLiteral("js"), "a\n\nb\n")}},
        {"# Title\r\npara one\r\n\r\npara two\r", {H(1, {s("Title")}), P({s("para one")}), P({s("para two")})}},
        {"| a |\r\n|---|\r\n| 1 |\r\n", {Table{{{s("a")}}, {L}, {{{s("1")}}}}}},
        // Only one CR goes; a lone CR elsewhere is text.
        {"a\r\r\nb\rc", {P({s("a\r b\rc")})}},
    });
}
