#include "KitTest.h"

#include <QApplication>
#include <QEnterEvent>

namespace cvn::test {

void showAndSettle(QWidget& widget)
{
    widget.show();
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    // The offscreen pointer rests at the origin, so a new window may start
    // hovered; tests hover explicitly.
    sendLeave(&widget);
}

QImage renderOver(QWidget& widget, const QColor& background)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    // Without the window background: a top-level widget would paint its
    // palette's window colour first.
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

::testing::AssertionResult pixelNear(const QImage& image, int x, int y, const QColor& expected, int tolerance)
{
    if (!image.rect().contains(x, y))
        return ::testing::AssertionFailure() << "(" << x << "," << y << ") lies outside the image";
    const QColor actual = QColor::fromRgba(image.pixel(x, y));
    const bool near = qAbs(actual.red() - expected.red()) <= tolerance
                      && qAbs(actual.green() - expected.green()) <= tolerance
                      && qAbs(actual.blue() - expected.blue()) <= tolerance
                      && qAbs(actual.alpha() - expected.alpha()) <= tolerance;
    if (near)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "pixel (" << x << "," << y << ") is rgba(" << actual.red() << "," << actual.green() << ","
           << actual.blue() << "," << actual.alpha() << "), expected rgba(" << expected.red() << ","
           << expected.green() << "," << expected.blue() << "," << expected.alpha() << ") within " << tolerance;
}

int alphaAt(const QImage& image, int x, int y)
{
    return qAlpha(image.pixel(x, y));
}

void sendEnter(QWidget* widget, QPoint pos)
{
    QEnterEvent enter(pos, widget->mapTo(widget->window(), pos), widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &enter);
}

void sendLeave(QWidget* widget)
{
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(widget, &leave);
}

} // namespace cvn::test
