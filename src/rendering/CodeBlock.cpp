#include "rendering/CodeBlock.h"

#include "platform/Unicode.h"
#include "rendering/SidewaysScrollArea.h"
#include "rendering/SpanText.h"
#include "ui_kit/Theme.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QTimer>

#include <cmath>
#include <memory>
#include <vector>

namespace cvn {

namespace {

constexpr qreal kCardFill = 0.06;
constexpr qreal kCardStroke = 0.1;
// Header row: top 4, leading 12, trailing 6 around the label and button.
constexpr int kHeaderTop = 4;
constexpr int kLeading = 12;
constexpr int kButtonTrailing = 6;
constexpr int kHeaderHeight = kHeaderTop + CopyCodeButton::side;
// Code: top 4, bottom 10, 12 at either side.
constexpr int kCodeTop = 4;
constexpr int kCodeBottom = 10;
// Second copy row: bottom 6.
constexpr int kFooterBottom = 6;
constexpr int kLabelGap = 8;

QFont labelFont()
{
    QFont font = Theme::monospace(CodeBlock::labelPixelSize);
    font.setWeight(QFont::DemiBold);
    return font;
}

void paintDocOnDoc(QPainter& painter, const QColor& color)
{
    const QRectF front(8.5, 10.5, 9, 11);
    const QRectF back = front.translated(3, -3);
    QPen pen(color, 1.3);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // The back sheet shows only where the front one does not cover it.
    QPainterPath outside;
    outside.addRect(0, 0, CopyCodeButton::side, CopyCodeButton::side);
    QPainterPath frontShape;
    frontShape.addRoundedRect(front.adjusted(-1, -1, 1, 1), 2.5, 2.5);
    painter.save();
    painter.setClipPath(outside.subtracted(frontShape));
    painter.drawRoundedRect(back, 2, 2);
    painter.restore();
    painter.drawRoundedRect(front, 2, 2);
}

void paintCheckmark(QPainter& painter, const QColor& color)
{
    QPainterPath path;
    path.moveTo(8.5, 14.5);
    path.lineTo(12.5, 18.5);
    path.lineTo(19.5, 9.5);
    QPen pen(color, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

} // namespace

CopyCodeButton::CopyCodeButton(const QString& code, QWidget* parent) : QAbstractButton(parent), m_code(code)
{
    setFixedSize(side, side);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Copy code"));
    setAccessibleName(QStringLiteral("Copy code"));
    connect(this, &QAbstractButton::clicked, this, &CopyCodeButton::copy);
    Theme::repaintOnAppearanceChange(this);
}

QString CopyCodeButton::symbolName() const
{
    return m_copied ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc");
}

void CopyCodeButton::copy()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_code);
    m_copied = true;
    update();
    // Its own reset; earlier ones stay, and the first due clears the mark.
    schedule([this] {
        m_copied = false;
        update();
    });
}

void CopyCodeButton::setScheduler(Scheduler scheduler)
{
    m_scheduler = std::move(scheduler);
}

void CopyCodeButton::schedule(std::function<void()> reset)
{
    if (m_scheduler)
        m_scheduler(markMs, std::move(reset));
    else
        QTimer::singleShot(markMs, this, std::move(reset));
}

void CopyCodeButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_copied)
        paintCheckmark(painter, Theme::mutedText());
    else
        paintDocOnDoc(painter, Theme::mutedText());
}

// The highlighted code: one QTextLayout per source line, kept while the
// line's text and colouring stay the same.
class CodeBlock::Lines : public QWidget {
public:
    struct Run {
        int start = 0;
        int length = 0;
        SyntaxHighlight::Kind kind = SyntaxHighlight::Kind::plain;
        bool operator==(const Run&) const = default;
    };
    struct Source {
        QString text;
        std::vector<Run> runs;
        bool operator==(const Source&) const = default;
    };
    struct Line {
        Source source;
        QTextLayout layout;
        qreal width = 0;
    };

    explicit Lines(QWidget* parent) : QWidget(parent)
    {
        const QFontMetricsF metrics(Theme::monospace(codePixelSize));
        m_lineHeight = int(std::ceil(metrics.height()));
        Theme::repaintOnAppearanceChange(this);
    }

    void setTokens(const std::vector<SyntaxHighlight::Token>& tokens)
    {
        std::vector<Source> sources = split(tokens);
        if (m_lines.size() > sources.size())
            m_lines.resize(sources.size());
        for (size_t i = 0; i < sources.size(); ++i) {
            if (i < m_lines.size() && m_lines[i]->source == sources[i])
                continue;
            auto line = std::make_unique<Line>();
            line->source = std::move(sources[i]);
            layOut(*line);
            if (i < m_lines.size())
                m_lines[i] = std::move(line);
            else
                m_lines.push_back(std::move(line));
        }
        resizeToLines();
        update();
    }

    int linesLaidOut() const { return m_laidOut; }
    int lineCount() const { return int(m_lines.size()); }
    QString lineText(int i) const { return m_lines[size_t(i)]->source.text; }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (Theme::appearance() != m_appearance) {
            // Colours are baked into the format ranges; a new look needs new
            // ranges (the glyphs stay where they are).
            m_appearance = Theme::appearance();
            for (auto& line : m_lines)
                layOut(*line);
        }
        QPainter painter(this);
        const QRect dirty = event->rect();
        const int first = qMax(0, dirty.top() / m_lineHeight);
        const int last = qMin(int(m_lines.size()) - 1, dirty.bottom() / m_lineHeight);
        for (int i = first; i <= last; ++i)
            m_lines[size_t(i)]->layout.draw(&painter, QPointF(0, i * m_lineHeight));
    }

private:
    static std::vector<Source> split(const std::vector<SyntaxHighlight::Token>& tokens)
    {
        std::vector<Source> lines;
        if (tokens.empty())
            return lines;
        lines.emplace_back();
        for (const SyntaxHighlight::Token& token : tokens) {
            qsizetype from = 0;
            while (true) {
                const qsizetype end = token.text.indexOf(u'\n', from);
                const qsizetype stop = end < 0 ? token.text.size() : end;
                if (stop > from) {
                    Source& line = lines.back();
                    line.runs.push_back({int(line.text.size()), int(stop - from), token.kind});
                    line.text += QStringView(token.text).sliced(from, stop - from);
                }
                if (end < 0)
                    break;
                lines.emplace_back();
                from = end + 1;
            }
        }
        return lines;
    }

    void layOut(Line& line)
    {
        QList<QTextLayout::FormatRange> ranges;
        ranges.reserve(qsizetype(line.source.runs.size()));
        for (const Run& run : line.source.runs) {
            QTextLayout::FormatRange range;
            range.start = run.start;
            range.length = run.length;
            range.format.setForeground(kindColor(run.kind)(m_appearance));
            ranges.append(range);
        }
        line.layout.clearLayout();
        line.layout.setText(line.source.text);
        line.layout.setFont(Theme::monospace(codePixelSize));
        QTextOption option;
        option.setWrapMode(QTextOption::NoWrap);
        line.layout.setTextOption(option);
        line.layout.setFormats(ranges);
        line.layout.setCacheEnabled(true);
        line.layout.beginLayout();
        QTextLine textLine = line.layout.createLine();
        textLine.setLineWidth(1e6);
        textLine.setPosition(QPointF(0, 0));
        line.layout.endLayout();
        line.width = textLine.naturalTextWidth();
        ++m_laidOut;
    }

    void resizeToLines()
    {
        qreal widest = 0;
        for (const auto& line : m_lines)
            widest = qMax(widest, line->width);
        setFixedSize(int(std::ceil(widest)), int(m_lines.size()) * m_lineHeight);
    }

    std::vector<std::unique_ptr<Line>> m_lines;
    Appearance m_appearance = Theme::appearance();
    int m_lineHeight = 0;
    int m_laidOut = 0;
};

CodeBlock::CodeBlock(const std::optional<QString>& language, const QString& text, QWidget* parent)
    : QWidget(parent)
{
    m_lines = new Lines(nullptr);
    m_scroll = new SidewaysScrollArea(m_lines, false, this);
    m_topButton = new CopyCodeButton(text, this);
    Theme::repaintOnAppearanceChange(this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCode(language, text);
}

CodeBlock::~CodeBlock() = default;

void CodeBlock::setCode(const std::optional<QString>& language, const QString& text)
{
    const bool labelChanged = language != m_language;
    m_language = language;
    m_text = text;
    m_lines->setTokens(SyntaxHighlight::tokenize(text, language));
    m_topButton->setCode(text);
    if (wantsSecondCopyButton(text)) {
        if (!m_bottomButton) {
            m_bottomButton = new CopyCodeButton(text, this);
            m_bottomButton->show();
        }
        m_bottomButton->setCode(text);
    } else {
        delete m_bottomButton;
        m_bottomButton = nullptr;
    }
    placeChildren();
    updateGeometry();
    if (labelChanged)
        update();
}

QString CodeBlock::languageLabel() const
{
    return m_language ? m_language->toUpper() : QString();
}

DynamicColor CodeBlock::kindColor(SyntaxHighlight::Kind kind)
{
    switch (kind) {
    case SyntaxHighlight::Kind::keyword: return keywordColor;
    case SyntaxHighlight::Kind::string: return stringColor;
    case SyntaxHighlight::Kind::comment: return commentColor;
    case SyntaxHighlight::Kind::number: return numberColor;
    case SyntaxHighlight::Kind::plain: break;
    }
    return Theme::ink;
}

bool CodeBlock::wantsSecondCopyButton(const QString& text)
{
    if (text.count(u'\n') + 1 >= 16)
        return true;
    // Clusters never outnumber code units, so short code needs no count.
    return text.size() >= 501 && GraphemeIndex(text).size() >= 501;
}

QList<CopyCodeButton*> CodeBlock::copyButtons() const
{
    QList<CopyCodeButton*> buttons{m_topButton};
    if (m_bottomButton)
        buttons.append(m_bottomButton);
    return buttons;
}

int CodeBlock::linesLaidOut() const
{
    return m_lines->linesLaidOut();
}

QStringList CodeBlock::lines() const
{
    QStringList out;
    for (int i = 0; i < m_lines->lineCount(); ++i)
        out.append(m_lines->lineText(i));
    return out;
}

int CodeBlock::contentHeight() const
{
    return kHeaderHeight + kCodeTop + m_lines->height() + kCodeBottom
        + (m_bottomButton ? CopyCodeButton::side + kFooterBottom : 0);
}

int CodeBlock::heightForWidth(int) const
{
    return contentHeight();
}

QSize CodeBlock::minimumSizeHint() const
{
    const QString label = languageLabel();
    const int labelWidth = label.isEmpty() ? 0 : QFontMetrics(labelFont()).horizontalAdvance(label);
    return {kLeading + labelWidth + kLabelGap + CopyCodeButton::side + kButtonTrailing, contentHeight()};
}

QSize CodeBlock::sizeHint() const
{
    return {qMax(minimumSizeHint().width(), m_lines->width() + 2 * kLeading), contentHeight()};
}

void CodeBlock::placeChildren()
{
    const int w = width();
    const int buttonX = w - kButtonTrailing - CopyCodeButton::side;
    m_topButton->move(buttonX, kHeaderTop);
    const int codeTop = kHeaderHeight + kCodeTop;
    m_scroll->setGeometry(kLeading, codeTop, qMax(0, w - 2 * kLeading), m_lines->height());
    if (m_bottomButton)
        m_bottomButton->move(buttonX, codeTop + m_lines->height() + kCodeBottom);
}

void CodeBlock::resizeEvent(QResizeEvent*)
{
    placeChildren();
}

void CodeBlock::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    // A long card is mostly off screen; without the clip its whole outline
    // would be rasterised at every paint.
    painter.setClipRect(event->rect());
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect());
    QPainterPath shape;
    shape.addRoundedRect(card, radius, radius);
    painter.fillPath(shape, Theme::ink.withAlpha(kCardFill)());
    Theme::strokeInside(painter, card, radius, Theme::ink.withAlpha(kCardStroke)());
    const QString label = languageLabel();
    if (!label.isEmpty()) {
        // A long name is cut short before it reaches the copy button.
        painter.setPen(Theme::mutedText());
        const QRect row(kLeading, kHeaderTop, width() - kLeading - kLabelGap - CopyCodeButton::side - kButtonTrailing,
                        CopyCodeButton::side);
        Theme::drawElidedLine(painter, row, labelFont(), label);
    }
}

} // namespace cvn
