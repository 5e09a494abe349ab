#include "chat/shared/DebugPanel.h"

#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <memory>

namespace cvn {

namespace {

QFont titleFont()
{
    QFont font = Theme::monospace(DebugPanel::headerPixels);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont valueFont()
{
    QFont font = Theme::monospace(DebugPanel::rowPixels);
    font.setWeight(QFont::DemiBold);
    return font;
}

// `text` wrapped into `width`, at word boundaries where it can and anywhere
// where one word is wider than the column; "\n" starts a new line.
std::unique_ptr<QTextLayout> wrapped(const QString& text, const QFont& font, qreal width)
{
    QString lines = text;
    lines.replace(u'\n', QChar::LineSeparator);
    auto layout = std::make_unique<QTextLayout>(lines, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->beginLayout();
    qreal y = 0;
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(std::max<qreal>(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout->endLayout();
    return layout;
}

qreal wrappedHeight(const QString& text, const QFont& font, qreal width)
{
    const auto layout = wrapped(text, font, width);
    const int count = layout->lineCount();
    return count ? layout->lineAt(count - 1).rect().bottom() : QFontMetricsF(font).height();
}

} // namespace

DebugPanel::DebugPanel(QWidget* parent) : QWidget(parent), m_source(&DebugPanelModel::current)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, &DebugPanel::refresh);
    Theme::repaintOnAppearanceChange(this);
    m_model = m_source();
}

void DebugPanel::setSource(Source source)
{
    m_source = std::move(source);
    refresh();
}

void DebugPanel::refresh()
{
    m_model = m_source();
    updateGeometry();
    fitHeight();
    update();
}

void DebugPanel::fitHeight()
{
    // In a layout the layout decides; placed by hand, the rows do.
    if (!parentWidget() || parentWidget()->layout())
        return;
    const int wanted = heightForWidth(width());
    if (height() != wanted)
        resize(width(), wanted);
}

void DebugPanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitHeight();
}

void DebugPanel::bindToSetting()
{
    setVisible(AppSettings::boolValue(QString::fromLatin1(AppSettings::showRuntimePanel)));
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == QLatin1String(AppSettings::showRuntimePanel))
            setVisible(AppSettings::boolValue(key));
    });
}

void DebugPanel::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh();
    m_ticker.start();
}

void DebugPanel::hideEvent(QHideEvent* event)
{
    m_ticker.stop();
    QWidget::hideEvent(event);
}

DebugPanel::Layout DebugPanel::layoutFor(int width) const
{
    Layout out;
    const qreal inner = width - 2 * padding;
    const QFontMetricsF titleMetrics(titleFont());
    const QFontMetricsF clockMetrics(Theme::monospace(headerPixels));
    const qreal headerHeight = std::max(titleMetrics.height(), clockMetrics.height());
    const qreal clockWidth = clockMetrics.horizontalAdvance(m_model.clock);
    out.clock = QRectF(width - padding - clockWidth, padding, clockWidth, headerHeight);
    out.title = QRectF(padding, padding,
                       std::min(titleMetrics.horizontalAdvance(DebugPanelModel::title),
                                std::max<qreal>(0, inner - clockWidth - spacing)),
                       headerHeight);
    qreal y = padding + headerHeight;
    const qreal valueX = padding + labelWidth + labelGap;
    const qreal valueWidth = std::max<qreal>(1, width - padding - valueX);
    const qreal labelHeight = QFontMetricsF(Theme::monospace(rowPixels)).height();
    for (const DebugPanelModel::Row& row : m_model.rows) {
        y += spacing;
        const qreal valueHeight = wrappedHeight(row.value, valueFont(), valueWidth);
        out.labels.append(QRectF(padding, y, labelWidth, labelHeight));
        out.values.append(QRectF(valueX, y, valueWidth, valueHeight));
        y += std::max(labelHeight, valueHeight);
    }
    out.height = y + padding;
    return out;
}

int DebugPanel::heightForWidth(int width) const
{
    return int(std::ceil(layoutFor(width).height));
}

QSize DebugPanel::sizeHint() const
{
    // Not width(): before a layout has placed the panel that is Qt's default
    // 640, and a layout would then take it for the width the panel wants.
    return {naturalWidth, heightForWidth(naturalWidth)};
}

QRectF DebugPanel::valueRect(int index) const
{
    return layoutFor(width()).values.value(index);
}

QRectF DebugPanel::labelRect(int index) const
{
    return layoutFor(width()).labels.value(index);
}

void DebugPanel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF card(rect());
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink.withAlpha(fillAlpha)());
    p.drawRoundedRect(card, radius, radius);
    Theme::strokeInside(p, card, radius, Theme::amber(), 1);

    const Layout layout = layoutFor(width());
    p.setPen(Theme::amber());
    Theme::drawElidedLine(p, layout.title, titleFont(), DebugPanelModel::title);
    p.setPen(Theme::mutedOnPaper());
    p.setFont(Theme::monospace(headerPixels));
    p.drawText(layout.clock, Qt::AlignLeft | Qt::AlignVCenter, m_model.clock);

    for (int i = 0; i < m_model.rows.size(); ++i) {
        const DebugPanelModel::Row& row = m_model.rows[i];
        p.setPen(Theme::mutedOnPaper());
        Theme::drawElidedLine(p, layout.labels[i], Theme::monospace(rowPixels), row.label,
                              Qt::AlignLeft | Qt::AlignTop);
        p.setPen(row.status == DebugPanelModel::Status::failed ? Theme::danger() : Theme::ink());
        wrapped(row.value, valueFont(), layout.values[i].width())->draw(&p, layout.values[i].topLeft());
    }
}

} // namespace cvn
