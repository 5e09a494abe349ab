#pragma once

#include <QScrollArea>

namespace cvn {

// A scroll area that only scrolls sideways, for wide content inside the
// transcript (code, tables, attachment tiles). A horizontal wheel, or a
// vertical one with Shift held, moves it; a plain vertical wheel is left
// unaccepted so it travels on to the enclosing transcript. The content keeps
// its own size and the area draws no background of its own.
class SidewaysScrollArea : public QScrollArea {
    Q_OBJECT
public:
    // Scroll bars are off unless `showBar` (then the kit's horizontal bar
    // shows over the content when the content is wider than the area).
    explicit SidewaysScrollArea(QWidget* content, bool showBar = false, QWidget* parent = nullptr);

protected:
    void wheelEvent(QWheelEvent* event) override;
};

} // namespace cvn
