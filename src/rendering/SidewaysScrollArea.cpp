#include "rendering/SidewaysScrollArea.h"

#include "ui_kit/ScrollBars.h"

#include <QApplication>
#include <QScrollBar>
#include <QWheelEvent>

#include <cmath>

namespace cvn {

SidewaysScrollArea::SidewaysScrollArea(QWidget* content, bool showBar, QWidget* parent) : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(showBar ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    setWidget(content);
    // setWidget turns the content's background on; the content paints its own.
    content->setAutoFillBackground(false);
    ScrollBars::styleScrollBars(this);
}

void SidewaysScrollArea::wheelEvent(QWheelEvent* event)
{
    QPoint pixels = event->pixelDelta();
    QPoint angle = event->angleDelta();
    // Shift turns a vertical wheel sideways, as in other desktop software.
    if (event->modifiers() & Qt::ShiftModifier) {
        if (pixels.x() == 0)
            pixels = QPoint(pixels.y(), 0);
        if (angle.x() == 0)
            angle = QPoint(angle.y(), 0);
    }
    const bool sideways = std::abs(angle.x()) > std::abs(angle.y()) || std::abs(pixels.x()) > std::abs(pixels.y());
    QScrollBar* bar = horizontalScrollBar();
    if (!sideways || bar->maximum() == 0) {
        event->ignore();
        return;
    }
    const int step = pixels.x() != 0
        ? pixels.x()
        : int(std::lround(angle.x() / 120.0 * QApplication::wheelScrollLines() * bar->singleStep()));
    const int before = bar->value();
    bar->setValue(before - step);
    // At either end the wheel goes on to whatever encloses us.
    if (bar->value() == before)
        event->ignore();
    else
        event->accept();
}

} // namespace cvn
