#pragma once

#include <QScrollArea>

class QVBoxLayout;

namespace cvn {

// The page container of the settings-style screens: `content` is centred in
// the visible area while it fits (with `verticalMargin` above and below) and
// scrolls vertically once it does not, keeping the margin at both ends of the
// scroll range. Content keeps its preferred size and is centred across the
// full width; there is never a horizontal scroll bar.
class CentredCardLayout : public QScrollArea {
    Q_OBJECT
public:
    CentredCardLayout(int verticalMargin, QWidget* content, QWidget* parent = nullptr);

    int verticalMargin() const { return m_verticalMargin; }
    QWidget* content() const { return m_content; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_verticalMargin;
    QWidget* m_content;
};

} // namespace cvn
