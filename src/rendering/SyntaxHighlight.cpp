#include "rendering/SyntaxHighlight.h"

#include "platform/Unicode.h"

#include <array>
#include <string_view>
#include <unordered_set>

namespace cvn::SyntaxHighlight {

namespace {

struct BlockComment {
    QStringView open;
    QStringView close;
};

struct Grammar {
    std::vector<QStringView> lineComments; // tried in order
    std::optional<BlockComment> blockComment;
    QStringView stringDelimiters;           // single characters
    std::unordered_set<std::u16string_view> keywords; // exact, case-sensitive
};

std::unordered_set<std::u16string_view> keywordSet(std::u16string_view spaceSeparated)
{
    std::unordered_set<std::u16string_view> words;
    while (!spaceSeparated.empty()) {
        const size_t space = spaceSeparated.find(u' ');
        words.insert(spaceSeparated.substr(0, space));
        spaceSeparated.remove_prefix(space == std::u16string_view::npos ? spaceSeparated.size() : space + 1);
    }
    return words;
}

std::u16string_view asStdView(QStringView text)
{
    return {text.utf16(), size_t(text.size())};
}

struct Language {
    std::vector<std::u16string_view> names;
    Grammar grammar;
};

const Grammar* grammarFor(const std::optional<QString>& language)
{
    if (!language)
        return nullptr;
    const QString name = trimSpaces(*language).toString().toLower();
    if (name.isEmpty())
        return nullptr;

    const BlockComment slashStar{u"/*", u"*/"};
    // Built once, on first use, and shared; static initialisation is safe
    // when two threads get here at the same time.
    static const std::array<Language, 8> languages{{
        {{u"swift"},
         {{u"//"}, slashStar, u"\"",
          keywordSet(u"func let var if else guard return struct class enum protocol extension import for while in "
                     u"switch case default break continue private public internal fileprivate static self init "
                     u"deinit throws try catch do defer nil true false async await some where typealias "
                     u"associatedtype inout lazy weak unowned final override mutating nonisolated actor")}},
        {{u"python", u"py"},
         {{u"#"}, std::nullopt, u"\"'",
          keywordSet(u"def class if elif else return import from as for while in not and or try except finally "
                     u"raise with lambda None True False pass break continue yield global nonlocal assert async "
                     u"await self")}},
        {{u"javascript", u"js", u"typescript", u"ts", u"jsx", u"tsx"},
         {{u"//"}, slashStar, u"\"'`",
          keywordSet(u"function const let var if else return class extends import export from for while of in new "
                     u"this try catch finally throw typeof instanceof null undefined true false async await yield "
                     u"switch case default break continue interface type enum")}},
        {{u"bash", u"sh", u"shell", u"zsh"},
         {{u"#"}, std::nullopt, u"\"'",
          keywordSet(u"if then else elif fi for while do done case esac function return local export echo set cd "
                     u"exit source shift trap read")}},
        {{u"c", u"cpp", u"c++", u"objc", u"objective-c"},
         {{u"//"}, slashStar, u"\"'",
          keywordSet(u"int char float double void long short unsigned signed struct union enum typedef static const "
                     u"volatile extern if else for while do switch case default break continue return sizeof goto "
                     u"inline class public private protected namespace template nullptr true false auto new "
                     u"delete")}},
        {{u"rust", u"rs"},
         {{u"//"}, slashStar, u"\"",
          keywordSet(u"fn let mut if else match return struct enum impl trait use mod pub crate for while loop in "
                     u"break continue const static ref move async await dyn where unsafe true false Some None Ok "
                     u"Err")}},
        {{u"go", u"golang"},
         {{u"//"}, slashStar, u"\"`",
          keywordSet(u"func var const type struct interface package import if else for range return switch case "
                     u"default go defer chan map nil true false break continue select")}},
        {{u"json"}, {{}, std::nullopt, u"\"", keywordSet(u"true false null")}},
    }};

    for (const Language& entry : languages)
        for (const std::u16string_view known : entry.names)
            if (asStdView(name) == known)
                return &entry.grammar;
    return nullptr;
}

class Tokenizer {
public:
    Tokenizer(const QString& code, const Grammar& grammar)
        : m_chars(code)
        , m_grammar(grammar)
    {
    }

    std::vector<Token> run()
    {
        const qsizetype n = m_chars.size();
        qsizetype i = 0;
        while (i < n) {
            if (matchesLineComment(i)) {
                qsizetype end = i;
                while (end < n && !m_chars.isLineEnd(end))
                    ++end;
                i = append(i, end, Kind::comment);
            } else if (m_grammar.blockComment && matches(i, m_grammar.blockComment->open)) {
                const QStringView close = m_grammar.blockComment->close;
                qsizetype end = i + m_grammar.blockComment->open.size();
                while (end < n && !matches(end, close))
                    ++end;
                i = append(i, end < n ? end + close.size() : n, Kind::comment);
            } else if (m_chars.length(i) == 1 && m_grammar.stringDelimiters.contains(m_chars.at(i)[0])) {
                i = append(i, stringEnd(i), Kind::string);
            } else if (startsNumber(i)) {
                qsizetype end = i + 1;
                while (end < n && continuesNumber(end))
                    ++end;
                i = append(i, end, Kind::number);
            } else if (isLetter(i) || m_chars.isChar(i, u'_')) {
                qsizetype end = i + 1;
                while (end < n && isWordCharacter(end))
                    ++end;
                if (m_grammar.keywords.contains(asStdView(m_chars.slice(i, end))))
                    append(i, end, Kind::keyword);
                i = end;
            } else {
                ++i;
            }
        }
        flushPlain(n);
        return std::move(m_tokens);
    }

private:
    // Whether `text` (plain ASCII) is spelled by the characters from `at` on.
    bool matches(qsizetype at, QStringView text) const
    {
        if (at + text.size() > m_chars.size())
            return false;
        for (qsizetype k = 0; k < text.size(); ++k)
            if (!m_chars.isChar(at + k, text[k].unicode()))
                return false;
        return true;
    }

    bool matchesLineComment(qsizetype at) const
    {
        for (const QStringView opener : m_grammar.lineComments)
            if (matches(at, opener))
                return true;
        return false;
    }

    // A backslash escapes whatever follows it; only backtick strings run
    // across line ends; an unclosed string ends with the code.
    qsizetype stringEnd(qsizetype open) const
    {
        const char16_t delimiter = m_chars.at(open)[0].unicode();
        const qsizetype n = m_chars.size();
        for (qsizetype k = open + 1; k < n; ++k) {
            if (m_chars.isChar(k, u'\\'))
                ++k;
            else if (m_chars.isChar(k, delimiter))
                return k + 1;
            else if (delimiter != u'`' && m_chars.isLineEnd(k))
                return k;
        }
        return n;
    }

    bool isLetter(qsizetype i) const { return isAlphabetic(m_chars.firstCodePoint(i)); }
    bool isNumber(qsizetype i) const { return hasNumericType(m_chars.firstCodePoint(i)); }
    bool isWordCharacter(qsizetype i) const { return isLetter(i) || isNumber(i) || m_chars.isChar(i, u'_'); }

    bool startsNumber(qsizetype i) const { return isNumber(i) && (i == 0 || !isWordCharacter(i - 1)); }

    bool continuesNumber(qsizetype i) const
    {
        return isHexDigitCharacter(m_chars.at(i)) || m_chars.isChar(i, u'.') || m_chars.isChar(i, u'x')
            || m_chars.isChar(i, u'_');
    }

    void flushPlain(qsizetype to)
    {
        if (to > m_plainFrom)
            m_tokens.push_back({m_chars.slice(m_plainFrom, to).toString(), Kind::plain});
    }

    // Appends the characters [from, to) as one token of `kind` after the
    // pending plain text; returns `to`.
    qsizetype append(qsizetype from, qsizetype to, Kind kind)
    {
        flushPlain(from);
        m_tokens.push_back({m_chars.slice(from, to).toString(), kind});
        m_plainFrom = to;
        return to;
    }

    const GraphemeIndex m_chars;
    const Grammar& m_grammar;
    std::vector<Token> m_tokens;
    qsizetype m_plainFrom = 0; // pending plain text is always [m_plainFrom, i)
};

} // namespace

std::vector<Token> tokenize(const QString& code, const std::optional<QString>& language)
{
    if (code.isEmpty())
        return {};
    const Grammar* grammar = grammarFor(language);
    if (!grammar)
        return {{code, Kind::plain}};
    return Tokenizer(code, *grammar).run();
}

} // namespace cvn::SyntaxHighlight
