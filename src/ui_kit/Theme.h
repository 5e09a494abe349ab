#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPalette>
#include <QPointF>
#include <QRectF>
#include <QRgb>

#include <functional>

class QPainter;
class QWidget;

namespace cvn {

// The two looks of the interface. Anything that is not Dark draws light.
enum class Appearance { Light, Dark };

// What the user chose: follow the desktop, or force one look.
enum class AppearanceMode { System, Light, Dark };

// A colour with a light and a dark value, resolved each time it is drawn so a
// change of appearance recolours everything at the next paint. Cheap to copy;
// every value is an opaque 24-bit sRGB colour, optionally at a fixed alpha.
class DynamicColor {
public:
    constexpr DynamicColor(QRgb light, QRgb dark, double alpha = 1.0)
        : m_light(light), m_dark(dark), m_alpha(alpha) {}

    // Pure: the value for `appearance` (light for anything but Dark).
    QColor operator()(Appearance appearance) const;
    // The value for the appearance in force now. Main thread.
    QColor operator()() const;

    // The same pair at another alpha, e.g. a tint of a role.
    constexpr DynamicColor withAlpha(double alpha) const { return {m_light, m_dark, alpha}; }

private:
    QRgb m_light;
    QRgb m_dark;
    double m_alpha;
};

// Emits when the appearance in force changes, so kit widgets repaint. One per
// process, living on the main thread.
class ThemeNotifier : public QObject {
    Q_OBJECT
public:
    static ThemeNotifier& instance();

signals:
    void appearanceChanged(cvn::Appearance appearance);

private:
    ThemeNotifier() = default;
};

// The palette and type scale. Every colour is a role: several roles share a
// value pair, but each names what it is used for, so they stay separate.
namespace Theme {

// Builds a colour of the same kind as the roles below, for colours private to
// one view (code highlighting, inline code, ...).
constexpr DynamicColor dynamicColor(QRgb light, QRgb dark, double alpha = 1.0)
{
    return {light, dark, alpha};
}

// The page family: window and page backgrounds with their text.
inline constexpr DynamicColor pageBackground{0xFFFFFF, 0x29292A};
inline constexpr DynamicColor text{0x29292A, 0xFFFFFF};
inline constexpr DynamicColor secondaryText{0x6E6E6F, 0xB0B0B0};
inline constexpr DynamicColor danger{0xB3202B, 0xF28B93};
inline constexpr DynamicColor warning{0x8A5804, 0xE0A030};

// The card family: the inverse surfaces (drawer, settings cards, dialogs).
inline constexpr DynamicColor card{0x29292A, 0xFFFFFF};
inline constexpr DynamicColor onCard{0xFFFFFF, 0x29292A};
inline constexpr DynamicColor onCard70{0xFFFFFF, 0x29292A, 0.7};
inline constexpr DynamicColor onCardSecondary{0xB0B0B0, 0x6E6E6F};
inline constexpr DynamicColor onCardDanger{0xF28B93, 0xB3202B};

// Status line colours on cards.
inline constexpr DynamicColor statusGrey{0xB0B0B0, 0x6E6E6F};
inline constexpr DynamicColor statusGreen{0x7FD184, 0x1E6B23};
inline constexpr DynamicColor statusAmber{0xE0A030, 0x8A5804};
inline constexpr DynamicColor statusRed{0xF28B93, 0xB3202B};

inline constexpr DynamicColor muted{0x949494, 0x949494};
inline constexpr DynamicColor silhouette{0x29292A, 0xFFFFFF};

// The composer's colours; composerInkNSColor is also the text colour of its
// editor (QPalette::Text).
inline constexpr DynamicColor composerInkNSColor{0x29292A, 0xFFFFFF};
inline constexpr const DynamicColor& composerInk = composerInkNSColor;
inline constexpr DynamicColor composerContrast{0xFFFFFF, 0x29292A};
inline constexpr DynamicColor ink10{0x29292A, 0xFFFFFF, 0.1};

// Fixed colours, the same in both appearances.
inline constexpr DynamicColor destructive{0xD33842, 0xD33842};
inline constexpr DynamicColor onDestructive{0xFFFFFF, 0xFFFFFF};
inline constexpr DynamicColor scrim{0x29292A, 0x29292A, 0.85};

// The names the chat, attachment, rendering and settings code uses for the
// same pairs. Note warningAmber is the reverse pair of warning.
inline constexpr const DynamicColor& ink = text;
inline constexpr const DynamicColor& surface = pageBackground;
inline constexpr const DynamicColor& paper = pageBackground;
inline constexpr const DynamicColor& mutedText = secondaryText;
inline constexpr const DynamicColor& mutedOnPaper = secondaryText;
inline constexpr const DynamicColor& mutedOnInk = onCardSecondary;
inline constexpr const DynamicColor& alertRed = danger;
inline constexpr const DynamicColor& dangerOnInk = onCardDanger;
inline constexpr const DynamicColor& cautionAmber = warning;
inline constexpr const DynamicColor& amber = warning;
inline constexpr const DynamicColor& warningAmber = statusAmber;
inline constexpr const DynamicColor& amberOnInk = statusAmber;
inline constexpr const DynamicColor& goodOnInk = statusGreen;
inline constexpr const DynamicColor& neutralGrey = muted;
inline constexpr const DynamicColor& overlayDim = scrim;

// The appearance in force. Starts as the system's; main thread only.
Appearance appearance();
AppearanceMode appearanceMode();
// Switches the look; ThemeNotifier emits when the resolved appearance changes.
void setAppearanceMode(AppearanceMode mode);
void setAppearance(Appearance appearance);
// Light or dark by the lightness of the platform palette's window colour, as
// it was before any of our widgets set a palette.
Appearance systemAppearance();

// The Inter faces at pixel sizes: one design point is one logical pixel, so a
// point size would come out a third too large at 96 dpi. Made once, shared.
const QFont& interRegular40();
const QFont& interRegular32();
const QFont& interRegular16();
const QFont& interRegular13();
const QFont& interMedium16();
const QFont& interMedium13();
// Any other size: weight 400 is "Inter-Regular", 500 "Inter-Medium".
QFont inter(int weight, int pixelSize);
// The system's fixed-pitch face, regular weight, at a pixel size: code and
// examples of typed text.
QFont monospace(int pixelSize);
// True when both faces resolve to the "Inter" family (not a fallback).
bool fontsAvailable();

// Qt writes "OpenType support missing for "Inter", script 11" on stderr each
// time a piece of text in a script that needs OpenType shaping (Devanagari,
// Bengali, Tamil, Khmer, ...) asks for a face without that script's tables;
// it then draws the piece in an installed face that has them, so nothing is
// wrong, and a reply in Hindi would print a line per piece. This passes on
// every other message to the handler installed before, including the same
// note for an empty family name: no face was found at all and the text shows
// boxes, which is worth hearing. Installed once, before any text is laid out.
void filterFontFallbackNotes();
// Whether `message` is such a note for a named face.
bool isFontFallbackNote(QtMsgType type, const QString& message);

// Which family of surfaces a standard child (scroll area, line edit) sits on.
enum class Surface { Page, Card };
QPalette palette(Surface surface, Appearance appearance);
// Gives a standard widget the palette of its surface now and after every
// switch of appearance (they do not resolve colours at paint time).
void keepPalette(QWidget* widget, Surface surface);
// Repaints `widget` whenever the appearance changes.
void repaintOnAppearanceChange(QWidget* widget);

// Strokes a rounded rectangle inside `bounds` (the line runs half its width
// inside the edge), butt caps and miter joins: the kit's borders and rings.
void strokeInside(QPainter& painter, const QRectF& bounds, qreal radius, const QColor& color, qreal width = 1);

// Fills `widget`'s rectangle with `color`, cut to the rounded rectangle of its
// ancestor `card` with `radius`, edges antialiased: a row's tint that must
// not jut out past its card's corners.
void fillWithinCard(QPainter& painter, const QWidget* widget, const QWidget* card, qreal radius,
                    const QColor& color);

// The whole pixels `text` needs on one line in `font`: its exact advance
// rounded up. QFontMetrics rounds to the nearest pixel, up to half a pixel
// short of what drawing and elision measure, which then cuts the text.
int textWidth(const QFont& font, const QString& text);

// Draws `text` on one line in `rect` with `font`, elided at the right when it
// does not fit, in the painter's pen.
void drawElidedLine(QPainter& painter, const QRectF& rect, const QFont& font, const QString& text,
                    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter);

// Gives `widget` the kit's soft drop shadow: black at 35 %, blurred over
// `blurRadius`, moved by `offset`.
void castShadow(QWidget* widget, qreal blurRadius, QPointF offset);

// Runs `draw` into a transparent layer and composites it at `opacity`, so a
// fill and the label on it fade as one (group opacity). Draws straight
// through at opacity 1.
void paintLayer(QPainter& painter, const QSize& size, qreal opacity,
                const std::function<void(QPainter&)>& draw);

} // namespace Theme
} // namespace cvn
