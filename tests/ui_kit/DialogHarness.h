#pragma once

#include "KitTest.h"

#include <QApplication>
#include <QLineEdit>
#include <QPalette>

namespace cvn::test {

// A white window with a focused field, the way a screen stands when one of
// its dialogs opens over it.
struct DialogWindow {
    explicit DialogWindow(QSize size = {1280, 800})
    {
        window.resize(size);
        window.setAutoFillBackground(true);
        QPalette p;
        p.setColor(QPalette::Window, Qt::white);
        window.setPalette(p);
        field = new QLineEdit(&window);
        field->setGeometry(10, 10, 200, 30);
        field->setFocus();
        showAndSettle(window);
    }

    // Shows a dialog made over the window and lets it lay itself out.
    template <typename Dialog>
    Dialog* open(Dialog* dialog)
    {
        dialog->show();
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
        return dialog;
    }

    QWidget window;
    QLineEdit* field;
};

// How often each callback ran.
struct Calls {
    int save = 0;
    int cancel = 0;
    QStringList saved;
};

// The glyph colour of a full block drawn as the first character of `text`
// (a DialogText), probed in its middle.
inline QColor firstGlyphColour(QWidget& text, QPoint at = {5, 10})
{
    const QImage image = renderOver(text, Qt::transparent);
    return QColor::fromRgba(image.pixel(at));
}

inline bool rgbNear(const QColor& a, const QColor& b, int tolerance = 2)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

} // namespace cvn::test
