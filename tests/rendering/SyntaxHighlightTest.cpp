#include "rendering/SyntaxHighlight.h"

#include <gtest/gtest.h>

#include <string>

using namespace cvn::SyntaxHighlight;

namespace {

Token pl(const char* text) { return {QString::fromUtf8(text), Kind::plain}; }
Token kw(const char* text) { return {QString::fromUtf8(text), Kind::keyword}; }
Token str(const char* text) { return {QString::fromUtf8(text), Kind::string}; }
Token com(const char* text) { return {QString::fromUtf8(text), Kind::comment}; }
Token num(const char* text) { return {QString::fromUtf8(text), Kind::number}; }

std::string describe(const std::vector<Token>& tokens)
{
    static const char* const kinds[] = {"plain", "kw", "str", "com", "num"};
    std::string out;
    for (const Token& t : tokens)
        out += std::string(kinds[int(t.kind)]) + ":'" + t.text.toStdString() + "' ";
    return out;
}

struct Case {
    std::optional<QString> language;
    const char* code;
    std::vector<Token> expected;
};

void expectTokens(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        const auto tokens = tokenize(QString::fromUtf8(c.code), c.language);
        EXPECT_TRUE(tokens == c.expected) << (c.language ? c.language->toStdString() : "(none)") << ": " << c.code
                                          << "\ngot:  " << describe(tokens) << "\nwant: " << describe(c.expected);
    }
}

QString lang(const char* name) { return QString::fromUtf8(name); }

} // namespace

TEST(SyntaxHighlight, KeywordsCommentsAndNumbersPerGrammar)
{
    expectTokens({
        {lang("python"), "def f(x):  # hi\n    return \"a#b\" + 0x1F",
         {kw("def"), pl(" f(x):  "), com("# hi"), pl("\n    "), kw("return"), pl(" "), str("\"a#b\""), pl(" + "),
          num("0x1F")}},
        {lang(" Swift\t"), "let n = 1e9 // c", {kw("let"), pl(" n = "), num("1e9"), pl(" "), com("// c")}},
        {lang("js"), "width = 100px; v = 12ab; x1 = (42)",
         {pl("width = "), num("100"), pl("px; v = "), num("12ab"), pl("; x1 = ("), num("42"), pl(")")}},
        {lang("rust"), "Some(5)", {kw("Some"), pl("("), num("5"), pl(")")}},
        {lang("PY"), "x = None or none", {pl("x = "), kw("None"), pl(" "), kw("or"), pl(" none")}},
        {lang("c"), "x \u00b23", {pl("x "), num("\u00b23")}},
        {lang("c++"), "return 3.14f + 1_000 + a2 + _9;",
         {kw("return"), pl(" "), num("3.14f"), pl(" + "), num("1_000"), pl(" + a2 + _9;")}},
        {lang("bash"), "echo $HOME # done", {kw("echo"), pl(" $HOME "), com("# done")}},
        {lang("golang"), "a /* b */ c", {pl("a "), com("/* b */"), pl(" c")}},
        {lang("json"), "{\"k\": true} // x", {pl("{"), str("\"k\""), pl(": "), kw("true"), pl("} // x")}},
        // Fullwidth hex digits continue a number; a letter with a combining
        // mark is no hex digit but still inside a word.
        {lang("go"), "0x\uff26\uff11 e\u0301t", {num("0x\uff26\uff11"), pl(" e\u0301t")}},
        // Letters in any script make words; CJK numerals are numbers.
        {lang("python"), "if 名前 三", {kw("if"), pl(" 名前 "), num("三")}},
    });
}

TEST(SyntaxHighlight, StringsWithEscapesAndAcrossLines)
{
    expectTokens({
        {lang("javascript"), "const s = `a\nb` + \"c\\\"d\"",
         {kw("const"), pl(" s = "), str("`a\nb`"), pl(" + "), str("\"c\\\"d\"")}},
        {lang("swift"), "s = \"unterminated\nnext", {pl("s = "), str("\"unterminated"), pl("\nnext")}},
        {lang("go"), "x := `open\nstill", {pl("x := "), str("`open\nstill")}},
        {lang("python"), "'it\\'s' \"a\\\nb\"", {str("'it\\'s'"), pl(" "), str("\"a\\\nb\"")}},
        // A backslash at the very end stays inside the string.
        {lang("c"), "'\\", {str("'\\")}},
        // Only the grammar's delimiters open strings.
        {lang("rust"), "'a' \"b\"", {pl("'a' "), str("\"b\"")}},
    });
}

TEST(SyntaxHighlight, BlockCommentsAndLineEnds)
{
    expectTokens({
        {lang("c"), "/* open\nnever closed", {com("/* open\nnever closed")}},
        {lang("c"), "/*/ x", {com("/*/ x")}},
        {lang("ts"), "a/**/b", {pl("a"), com("/**/"), pl("b")}},
        {lang("swift"), "// one\n// two", {com("// one"), pl("\n"), com("// two")}},
        // CR LF ends a line comment and a quoted string, like LF.
        {lang("c"), "// a\r\nint b;", {com("// a"), pl("\r\n"), kw("int"), pl(" b;")}},
        {lang("sh"), "x='a\r\nfi", {pl("x="), str("'a"), pl("\r\n"), kw("fi")}},
        {lang("js"), "`a\r\nb`", {str("`a\r\nb`")}},
    });
}

TEST(SyntaxHighlight, UnknownLanguagesAndEmptyCode)
{
    expectTokens({
        {lang("c#"), "int x; // y", {pl("int x; // y")}},
        {lang("cobol"), "MOVE", {pl("MOVE")}},
        {lang("  "), "if", {pl("if")}},
        {std::nullopt, "if", {pl("if")}},
        {std::nullopt, "", {}},
        {lang("python"), "", {}},
    });
}
