#include "rendering/ViewTest.h"

#include <QApplication>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

namespace cvn::test {

void turnWheel(QWidget* widget, QPoint pos, QPoint angleDelta, Qt::KeyboardModifiers modifiers)
{
    QWheelEvent event(QPointF(pos), QPointF(widget->mapToGlobal(pos)), QPoint(), angleDelta, Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    // Only spontaneous wheel events travel to the parents, and sendEvent
    // would clear the mark.
    QSpontaneKeyEvent::setSpontaneous(&event);
    qApp->notify(widget, &event);
}

int countPixels(const QImage& image, const QColor& color, int tolerance, QRect area)
{
    const QRect rect = area.isNull() ? image.rect() : area.intersected(image.rect());
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - color.red()) <= tolerance && qAbs(qGreen(p) - color.green()) <= tolerance
                && qAbs(qBlue(p) - color.blue()) <= tolerance)
                ++count;
        }
    }
    return count;
}

QColor over(const QColor& background, const QColor& color, double alpha)
{
    auto mix = [alpha](int b, int c) { return int(b + (c - b) * alpha + 0.5); };
    return QColor(mix(background.red(), color.red()), mix(background.green(), color.green()),
                  mix(background.blue(), color.blue()));
}

} // namespace cvn::test
