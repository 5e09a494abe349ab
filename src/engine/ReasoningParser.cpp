#include "engine/ReasoningParser.h"

#include <algorithm>
#include <utility>

namespace cvn {

namespace {

const QString kOpen = QStringLiteral("<think>");
const QString kClose = QStringLiteral("</think>");

// The longest k < tag length for which `text` ends with the first k
// characters of `tag`. The tags are ASCII, so counting UTF-16 units counts
// characters.
qsizetype heldLength(QStringView text, const QString& tag)
{
    for (qsizetype k = std::min(tag.size() - 1, text.size()); k > 0; --k) {
        if (text.endsWith(QStringView(tag).first(k)))
            return k;
    }
    return 0;
}

} // namespace

ReasoningParser::Split ReasoningParser::feed(QStringView piece)
{
    QString buffer = std::exchange(m_pending, QString());
    buffer += piece;
    Split out;
    QStringView rest(buffer);
    while (!rest.isEmpty()) {
        const QString& tag = m_inThink ? kClose : kOpen;
        QString& side = m_inThink ? out.reasoning : out.answer;
        const qsizetype at = rest.indexOf(tag);
        if (at < 0) {
            const qsizetype held = heldLength(rest, tag);
            side += rest.chopped(held);
            m_pending = rest.last(held).toString();
            break;
        }
        side += rest.first(at);
        m_inThink = !m_inThink;
        rest = rest.sliced(at + tag.size());
    }
    return out;
}

ReasoningParser::Split ReasoningParser::flush()
{
    Split out;
    (m_inThink ? out.reasoning : out.answer) = std::exchange(m_pending, QString());
    return out;
}

void ReasoningParser::reset()
{
    m_inThink = false;
    m_pending.clear();
}

} // namespace cvn
