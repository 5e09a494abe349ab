#include "ui_kit/Theme.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QWidget>

#include <cmath>
#include <cstdio>

namespace cvn {

namespace {

struct AppearanceState {
    AppearanceMode mode = AppearanceMode::System;
    Appearance system = Appearance::Light;
    Appearance resolved = Appearance::Light;
};

// Read once, on first use: the kit sets palettes on its own children later,
// and the application's palette may be replaced by the screens, so the
// platform's own window colour is only trustworthy before any of that.
AppearanceState& state()
{
    static AppearanceState s = [] {
        AppearanceState initial;
        const QColor window = QGuiApplication::palette().color(QPalette::Active, QPalette::Window);
        initial.system = window.lightnessF() < 0.5 ? Appearance::Dark : Appearance::Light;
        initial.resolved = initial.system;
        return initial;
    }();
    return s;
}

} // namespace

QColor DynamicColor::operator()(Appearance appearance) const
{
    QColor color = QColor::fromRgb(appearance == Appearance::Dark ? m_dark : m_light);
    color.setAlpha(255);
    if (m_alpha < 1.0)
        color.setAlphaF(float(m_alpha));
    return color;
}

QColor DynamicColor::operator()() const
{
    return (*this)(Theme::appearance());
}

ThemeNotifier& ThemeNotifier::instance()
{
    static ThemeNotifier* notifier = new ThemeNotifier; // lives as long as the process
    return *notifier;
}

namespace Theme {

Appearance appearance()
{
    return state().resolved;
}

AppearanceMode appearanceMode()
{
    return state().mode;
}

Appearance systemAppearance()
{
    return state().system;
}

void setAppearanceMode(AppearanceMode mode)
{
    AppearanceState& s = state();
    s.mode = mode;
    const Appearance next = mode == AppearanceMode::Dark    ? Appearance::Dark
                            : mode == AppearanceMode::Light ? Appearance::Light
                                                            : s.system;
    if (next == s.resolved)
        return;
    s.resolved = next;
    emit ThemeNotifier::instance().appearanceChanged(next);
}

void setAppearance(Appearance appearance)
{
    setAppearanceMode(appearance == Appearance::Dark ? AppearanceMode::Dark : AppearanceMode::Light);
}

const QFont& interRegular40() { static const QFont f = inter(400, 40); return f; }
const QFont& interRegular32() { static const QFont f = inter(400, 32); return f; }
const QFont& interRegular16() { static const QFont f = inter(400, 16); return f; }
const QFont& interRegular13() { static const QFont f = inter(400, 13); return f; }
const QFont& interMedium16() { static const QFont f = inter(500, 16); return f; }
const QFont& interMedium13() { static const QFont f = inter(500, 13); return f; }

QFont inter(int weight, int pixelSize)
{
    QFont font(QStringLiteral("Inter"));
    // Without this, fontconfig may hand "Inter Display" or another family a
    // slightly better score for some sizes; the text face is what we want.
    font.setStyleStrategy(QFont::PreferMatch);
    font.setWeight(QFont::Weight(weight));
    font.setPixelSize(pixelSize);
    return font;
}

QFont monospace(int pixelSize)
{
    static const QFont base = [] {
        // A named face first: the system's "monospace" alias follows whatever
        // fonts happen to be installed, and some of them do not declare a
        // fixed pitch, so code would lose its columns.
        QFont font = QFontDatabase::hasFamily(QStringLiteral("DejaVu Sans Mono"))
                         ? QFont(QStringLiteral("DejaVu Sans Mono"))
                         : QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setStyleHint(QFont::Monospace);
        font.setFixedPitch(true);
        font.setWeight(QFont::Normal);
        return font;
    }();
    QFont font = base;
    font.setPixelSize(pixelSize);
    return font;
}

bool fontsAvailable()
{
    for (const QFont& font : {interRegular16(), interMedium16()}) {
        const QFontInfo info(font);
        if (info.family() != QLatin1String("Inter") || info.weight() != font.weight())
            return false;
    }
    return true;
}

namespace {

QtMessageHandler handlerBeforeFontFilter = nullptr;

void fontFallbackFilter(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (isFontFallbackNote(type, message))
        return;
    if (handlerBeforeFontFilter) {
        handlerBeforeFontFilter(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, message)));
}

} // namespace

bool isFontFallbackNote(QtMsgType type, const QString& message)
{
    static const QRegularExpression note(QStringLiteral("^\\s*OpenType support missing for \"[^\"]+\", script \\d+$"));
    return type == QtWarningMsg && note.match(message).hasMatch();
}

void filterFontFallbackNotes()
{
    handlerBeforeFontFilter = qInstallMessageHandler(fontFallbackFilter);
}

QPalette palette(Surface surface, Appearance appearance)
{
    const bool page = surface == Surface::Page;
    const QColor background = (page ? pageBackground : card)(appearance);
    const QColor foreground = (page ? text : onCard)(appearance);
    const QColor secondary = (page ? secondaryText : onCardSecondary)(appearance);
    QPalette p;
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::AlternateBase,
                                     QPalette::Button, QPalette::ToolTipBase})
        p.setColor(role, background);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
                                     QPalette::ToolTipText, QPalette::BrightText})
        p.setColor(role, foreground);
    p.setColor(QPalette::PlaceholderText, secondary);
    p.setColor(QPalette::Highlight, foreground);
    p.setColor(QPalette::HighlightedText, background);
    // Fusion shades scroll bar handles and frames from these.
    p.setColor(QPalette::Mid, muted(appearance));
    p.setColor(QPalette::Dark, muted(appearance));
    p.setColor(QPalette::Light, background);
    p.setColor(QPalette::Midlight, background);
    p.setColor(QPalette::Shadow, foreground);
    return p;
}

void keepPalette(QWidget* widget, Surface surface)
{
    widget->setPalette(palette(surface, appearance()));
    QObject::connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, widget,
                     [widget, surface](Appearance next) { widget->setPalette(palette(surface, next)); });
}

void repaintOnAppearanceChange(QWidget* widget)
{
    QObject::connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, widget,
                     [widget] { widget->update(); });
}

void strokeInside(QPainter& painter, const QRectF& bounds, qreal radius, const QColor& color, qreal width)
{
    const qreal inset = width / 2;
    QPen pen(color, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(bounds.adjusted(inset, inset, -inset, -inset), radius - inset, radius - inset);
}

void fillWithinCard(QPainter& painter, const QWidget* widget, const QWidget* card, qreal radius,
                    const QColor& color)
{
    QPainterPath cardShape;
    cardShape.addRoundedRect(QRectF(card->rect()).translated(-widget->mapTo(card, QPoint(0, 0))), radius, radius);
    QPainterPath own;
    own.addRect(QRectF(widget->rect()));
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(own.intersected(cardShape), color);
    painter.restore();
}

int textWidth(const QFont& font, const QString& text)
{
    return int(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
}

void drawElidedLine(QPainter& painter, const QRectF& rect, const QFont& font, const QString& text,
                    Qt::Alignment alignment)
{
    painter.setFont(font);
    painter.drawText(rect, alignment | Qt::TextSingleLine,
                     QFontMetricsF(font).elidedText(text, Qt::ElideRight, rect.width()));
}

void castShadow(QWidget* widget, qreal blurRadius, QPointF offset)
{
    auto* shadow = new QGraphicsDropShadowEffect(widget);
    shadow->setColor(QColor(0, 0, 0, qRound(0.35 * 255)));
    shadow->setBlurRadius(blurRadius);
    shadow->setOffset(offset);
    widget->setGraphicsEffect(shadow);
}

void paintLayer(QPainter& painter, const QSize& size, qreal opacity,
                const std::function<void(QPainter&)>& draw)
{
    if (opacity >= 1.0) {
        draw(painter);
        return;
    }
    if (opacity <= 0.0 || size.isEmpty())
        return;
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    QImage layer(size * ratio, QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(ratio);
    layer.fill(Qt::transparent);
    {
        QPainter inner(&layer);
        inner.setRenderHints(painter.renderHints());
        draw(inner);
    }
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.drawImage(QPointF(0, 0), layer);
    painter.restore();
}

} // namespace Theme
} // namespace cvn
