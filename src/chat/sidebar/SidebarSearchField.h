#pragma once

// The search box of the sidebar's pill and the close glyph beside it.
//
// SidebarSearchField is a frameless, transparent line edit in the surface
// colour. It reports only the user's own edits (queryEdited), takes a query
// set from outside without reporting it back, and takes the keyboard focus
// once for every new focus token it is handed. The drawer makes a new field
// each time it opens its pill, so a field's first token always focuses it.
// Main thread only.

#include "ui_kit/Icons.h"

#include <QLineEdit>

namespace cvn {

class SidebarSearchField : public QLineEdit {
    Q_OBJECT

public:
    explicit SidebarSearchField(const QString& text = {}, QWidget* parent = nullptr);

    // Replaces the text when it differs; emits no queryEdited.
    void setQuery(const QString& query);

    // A token other than the last one acted on asks for the focus, on the
    // next turn of the event loop (the field may not be in its window yet).
    void setFocusToken(int token);
    int focusedToken() const { return m_focusedToken; }

signals:
    // Every edit the user makes, with the new text.
    void queryEdited(const QString& text);

private:
    void applyPalette();

    int m_focusedToken = 0;
};

// The pill's × : two 2-point strokes corner to corner in a 14 by 14 frame.
class SearchCloseGlyph : public IconWidget {
public:
    static constexpr QSize naturalSize{14, 14};
    static void paint(QPainter& painter, const QRectF& target);
    explicit SearchCloseGlyph(QWidget* parent = nullptr) : IconWidget(naturalSize, &paint, parent) {}
};

} // namespace cvn
