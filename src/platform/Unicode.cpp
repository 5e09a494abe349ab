#include "platform/Unicode.h"

#include <QTextBoundaryFinder>

#include <unicode/uchar.h>

#include <algorithm>

namespace cvn {

namespace {

// Below U+0300 the only code points that join a neighbour into one grapheme
// cluster are CR and LF (as CR LF): nothing there extends, prepends or is a
// regional indicator. So between two such units, other than CR LF, there is
// always a boundary, and segmentation can restart there without context.
constexpr char16_t firstJoiningUnit = 0x300;

bool alwaysBreaksBetween(char16_t before, char16_t after)
{
    return before < firstJoiningUnit && after < firstJoiningUnit && !(before == u'\r' && after == u'\n');
}

} // namespace

GraphemeIndex::GraphemeIndex(QStringView text)
    : m_text(text)
{
    const char16_t* units = text.utf16();
    const qsizetype n = text.size();
    const bool allLow = std::all_of(units, units + n, [](char16_t u) { return u < firstJoiningUnit; });
    const auto hasCrLf = [&] {
        for (qsizetype cr = text.indexOf(u'\r'); cr >= 0 && cr + 1 < n; cr = text.indexOf(u'\r', cr + 1))
            if (units[cr + 1] == u'\n')
                return true;
        return false;
    };
    if (allLow && !hasCrLf()) {
        m_count = n;
        return;
    }

    m_offsets.reserve(size_t(n) + 1);
    qsizetype i = 0;
    while (i < n) {
        qsizetype end = i + 1;
        while (end < n && !alwaysBreaksBetween(units[end - 1], units[end]))
            ++end;
        const bool plain = end - i == 1 || (end - i == 2 && units[i] == u'\r' && units[i + 1] == u'\n');
        if (plain) {
            m_offsets.push_back(i);
        } else {
            QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.sliced(i, end - i));
            qsizetype at = 0;
            while (at >= 0 && at < end - i) {
                m_offsets.push_back(i + at);
                at = finder.toNextBoundary();
            }
        }
        i = end;
    }
    m_count = qsizetype(m_offsets.size());
    m_offsets.push_back(n);
}

char32_t GraphemeIndex::surrogatePair(qsizetype i) const
{
    const qsizetype at = offset(i);
    if (!m_text[at + 1].isLowSurrogate())
        return m_text[at].unicode();
    return QChar::surrogateToUcs4(m_text[at], m_text[at + 1]);
}

qsizetype GraphemeIndex::nextLineEnd(qsizetype from) const
{
    if (m_offsets.empty()) {
        const qsizetype at = m_text.indexOf(u'\n', from);
        return at < 0 ? m_count : at;
    }
    for (qsizetype k = from; k < m_count; ++k)
        if (isLineEnd(k))
            return k;
    return m_count;
}

bool isAlphabetic(char32_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return u_hasBinaryProperty(UChar32(c), UCHAR_ALPHABETIC);
}

bool hasNumericType(char32_t c)
{
    if (c < 0x80)
        return c >= '0' && c <= '9';
    return u_getIntPropertyValue(UChar32(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

namespace {

// Whether a code point is of a kind that never joins a neighbour into one
// user-perceived character: no mark, joiner, prefix, regional indicator,
// Hangul jamo or CR.
bool standsAlone(char32_t c)
{
    if (c < firstJoiningUnit)
        return c != u'\r';
    const auto kind = u_getIntPropertyValue(UChar32(c), UCHAR_GRAPHEME_CLUSTER_BREAK);
    return kind == U_GCB_OTHER || kind == U_GCB_CONTROL || kind == U_GCB_LF;
}

} // namespace

bool isSettledBoundary(QStringView text, qsizetype at)
{
    if (at <= 0 || at >= text.size())
        return true;
    const QChar next = text[at];
    if (next.isLowSurrogate())
        return false;
    char32_t after = next.unicode();
    if (next.isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate())
        after = QChar::surrogateToUcs4(next, text[at + 1]);
    char32_t before = text[at - 1].unicode();
    if (text[at - 1].isLowSurrogate() && at >= 2 && text[at - 2].isHighSurrogate())
        before = QChar::surrogateToUcs4(text[at - 2], text[at - 1]);
    return standsAlone(before) && standsAlone(after);
}

bool isSpaceSeparatorOrTab(char32_t c)
{
    if (c < 0x80)
        return c == ' ' || c == '\t';
    return u_charType(UChar32(c)) == U_SPACE_SEPARATOR;
}

bool isHexDigitCharacter(QStringView cluster)
{
    if (cluster.size() != 1)
        return false;
    const char16_t c = cluster[0].unicode();
    const auto within = [c](char16_t low, char16_t high) { return c >= low && c <= high; };
    return within(u'0', u'9') || within(u'A', u'F') || within(u'a', u'f')
        || within(u'\uFF10', u'\uFF19') || within(u'\uFF21', u'\uFF26') || within(u'\uFF41', u'\uFF46');
}

QStringView trimSpaces(QStringView text)
{
    const GraphemeIndex chars(text);
    const auto [from, to] = chars.trimmed(0, chars.size());
    return chars.slice(from, to);
}

QString prefixCharacters(qsizetype n, const QString& text)
{
    if (n <= 0)
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype taken = 0; taken < n; ++taken) {
        end = finder.toNextBoundary();
        if (end < 0 || end >= text.size())
            return text;
    }
    return text.left(end);
}

} // namespace cvn
