#pragma once

#include <QString>

#include <optional>
#include <vector>

// Colours the text of a fenced code block with one of eight small grammars
// of our own (swift, python, javascript, bash, c, rust, go, json), chosen by
// the fence's language name.
//
// One forward pass over the code's user-perceived characters. The tokens,
// concatenated, give back the code exactly; none is empty and no two plain
// tokens are adjacent. Pure: callable from any thread, never throws.
namespace cvn::SyntaxHighlight {

enum class Kind { plain, keyword, string, comment, number };

struct Token {
    QString text;
    Kind kind = Kind::plain;

    bool operator==(const Token&) const = default;
};

// language is matched after lower-casing and trimming blanks; an unknown or
// missing name gives the whole code as one plain token (none for empty code).
std::vector<Token> tokenize(const QString& code, const std::optional<QString>& language);

} // namespace cvn::SyntaxHighlight
