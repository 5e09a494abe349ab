#include "ui_kit/ScrollBars.h"

#include "ui_kit/Theme.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyleOptionSlider>

namespace cvn::ScrollBars {

namespace {

constexpr char kEndInset[] = "cvnScrollBarEndInset";

// Only the scroll bar's parts are ours; anything else a bar might ask of its
// style (fonts, palettes, polish) comes from the application's style.
class KitScrollBarStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        switch (metric) {
        case PM_ScrollBarExtent:
        case PM_ScrollView_ScrollBarOverlap: // the whole bar lies over the content
            return thickness;
        case PM_ScrollBarSliderMin:
            return minimumHandle;
        case PM_ScrollView_ScrollBarSpacing:
            return 0;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override
    {
        // Shown whenever there is something to scroll, so nobody has to find
        // a bar that fades.
        if (hint == SH_ScrollBar_Transient)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override
    {
        if (type == CT_ScrollBar)
            return size;
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    }

    // The track is the whole bar less the end insets: no arrow buttons at its
    // ends, the handle as long as the visible share of the content.
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override
    {
        const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || !bar)
            return QProxyStyle::subControlRect(control, option, sub, widget);
        const bool horizontal = bar->orientation == Qt::Horizontal;
        const int inset = widget ? widget->property(kEndInset).toInt() : 0;
        const QRect track = horizontal ? bar->rect.adjusted(inset, 0, -inset, 0)
                                       : bar->rect.adjusted(0, inset, 0, -inset);
        const int length = qMax(0, horizontal ? track.width() : track.height());
        const qint64 range = qint64(bar->maximum) - bar->minimum;
        int handle = length;
        if (range > 0) {
            const qint64 share = qint64(length) * bar->pageStep / (range + bar->pageStep);
            handle = int(qBound(qint64(qMin(minimumHandle, length)), share, qint64(length)));
        }
        const int start = sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                                  length - handle, bar->upsideDown);
        const auto span = [&](int from, int to) {
            const QRect r = horizontal ? QRect(track.x() + from, track.y(), to - from, track.height())
                                       : QRect(track.x(), track.y() + from, track.width(), to - from);
            return visualRect(bar->direction, track, r);
        };
        switch (sub) {
        case SC_ScrollBarSlider:
            return span(start, start + handle);
        case SC_ScrollBarSubPage:
            return span(0, start);
        case SC_ScrollBarAddPage:
            return span(start + handle, length);
        case SC_ScrollBarGroove:
            return track;
        default:
            return {};
        }
    }

    SubControl hitTestComplexControl(ComplexControl control, const QStyleOptionComplex* option, const QPoint& pos,
                                     const QWidget* widget) const override
    {
        if (control != CC_ScrollBar || !qstyleoption_cast<const QStyleOptionSlider*>(option))
            return QProxyStyle::hitTestComplexControl(control, option, pos, widget);
        for (SubControl sub : {SC_ScrollBarSlider, SC_ScrollBarSubPage, SC_ScrollBarAddPage})
            if (subControlRect(control, option, sub, widget).contains(pos))
                return sub;
        return SC_None;
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override
    {
        const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || !bar) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        if (bar->maximum <= bar->minimum)
            return;
        const QRectF handle = QRectF(subControlRect(control, option, SC_ScrollBarSlider, widget))
                                  .adjusted(handleInset, handleInset, -handleInset, -handleInset);
        const qreal radius = qMin(handle.width(), handle.height()) / 2;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(Theme::muted());
        painter->drawRoundedRect(handle, radius, radius);
        painter->restore();
    }
};

// One instance for the process, owned by the application.
QStyle* kitStyle()
{
    static QStyle* const instance = [] {
        auto* kit = new KitScrollBarStyle;
        kit->setParent(qApp);
        return kit;
    }();
    return instance;
}

} // namespace

void styleScrollBars(QAbstractScrollArea* area, int endInset)
{
    for (QScrollBar* bar : {area->horizontalScrollBar(), area->verticalScrollBar()}) {
        bar->setProperty(kEndInset, endInset);
        bar->setStyle(kitStyle());
        Theme::repaintOnAppearanceChange(bar);
    }
    // The area lays its bars out on a change of style: now they overlap.
    QEvent changed(QEvent::StyleChange);
    QCoreApplication::sendEvent(area, &changed);
}

} // namespace cvn::ScrollBars
