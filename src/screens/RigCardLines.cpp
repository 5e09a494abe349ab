#include "screens/RigCardLines.h"

#include "ui_kit/Theme.h"

#include <QPainter>
#include <QtMath>

namespace cvn {

namespace {

constexpr int kFourthLine = 3;
constexpr qreal kWrapExtra = 3.4;
constexpr qreal kNaturalWidth = 544 - 2 * 30;

QColor toneColor(HardwareInfo::Run::Tone tone)
{
    using Tone = HardwareInfo::Run::Tone;
    switch (tone) {
    case Tone::label:
        return Theme::mutedOnInk();
    case Tone::good:
        return Theme::goodOnInk();
    case Tone::warning:
        return Theme::amberOnInk();
    case Tone::critical:
    default:
        return Theme::dangerOnInk();
    }
}

} // namespace

RigCardLines::RigCardLines(const RigInfo& rig, bool compact, qreal lastLineBottomPadding, QWidget* parent)
    : QWidget(parent), m_compact(compact), m_bottomPadding(lastLineBottomPadding)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setRig(rig);
    // Colours are baked into the layouts; a switch of appearance lays out anew.
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, this, [this] {
        m_laidWidth = -1;
        update();
    });
}

void RigCardLines::setRig(const RigInfo& rig)
{
    m_rig = rig;
    m_lines = HardwareInfo::summaryRuns(rig);
    QStringList texts;
    for (int i = 0; i < m_lines.size(); ++i)
        texts.append(plainLine(i));
    setAccessibleName(texts.join(QLatin1Char('\n')));
    m_laidWidth = -1;
    updateGeometry();
    update();
}

RigCardLines::LineText RigCardLines::lineText(const HardwareInfo::Line& line)
{
    LineText out;
    for (const HardwareInfo::Run& run : line) {
        if (run.tone) {
            QTextCharFormat format;
            format.setForeground(toneColor(*run.tone));
            out.formats.append({int(out.text.size()), int(run.text.size()), format});
        }
        out.text += run.text;
    }
    return out;
}

QString RigCardLines::plainLine(int i) const
{
    return lineText(m_lines.at(i)).text;
}

qreal RigCardLines::layOut(qreal width) const
{
    width = qMax<qreal>(width, 1);
    if (width == m_laidWidth)
        return m_laidHeight;
    const QFont& font = m_compact ? Theme::interMedium13() : Theme::interMedium16();
    const qreal spacing = m_compact ? 10 : 12;
    const qreal fourthExtra = m_compact ? 12 : 15;
    const qreal wrapExtra = m_compact ? 0 : kWrapExtra;
    m_blocks.clear();
    qreal y = 0;
    for (int i = 0; i < m_lines.size(); ++i) {
        if (i > 0)
            y += spacing;
        if (i == kFourthLine && m_lines.size() == kFourthLine + 1)
            y += fourthExtra;
        const LineText text = lineText(m_lines[i]);
        auto layout = std::make_unique<QTextLayout>(text.text, font);
        QTextOption option(Qt::AlignLeft);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout->setTextOption(option);
        layout->setFormats(text.formats);
        layout->beginLayout();
        qreal h = 0;
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            if (line.lineNumber() > 0)
                h += wrapExtra;
            line.setLineWidth(width);
            line.setPosition(QPointF(0, h));
            h += line.height();
        }
        layout->endLayout();
        m_blocks.push_back({std::move(layout), y, h});
        y += h;
    }
    m_laidWidth = width;
    m_laidHeight = y + m_bottomPadding;
    return m_laidHeight;
}

QList<QRectF> RigCardLines::lineRects(int width) const
{
    layOut(width);
    QList<QRectF> rects;
    for (const Block& block : m_blocks)
        rects.append(QRectF(0, block.top, width, block.height));
    return rects;
}

int RigCardLines::heightForWidth(int width) const
{
    return qCeil(layOut(width));
}

QSize RigCardLines::sizeHint() const
{
    return {int(kNaturalWidth), heightForWidth(int(kNaturalWidth))};
}

QSize RigCardLines::minimumSizeHint() const
{
    return {0, heightForWidth(int(kNaturalWidth))};
}

void RigCardLines::paintEvent(QPaintEvent*)
{
    layOut(width());
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Theme::paper());
    for (const Block& block : m_blocks)
        block.layout->draw(&p, QPointF(0, block.top));
}

} // namespace cvn
