#include "ui_kit/CentredCardLayout.h"

#include "ui_kit/ScrollBars.h"

#include <QVBoxLayout>

namespace cvn {

namespace {

// The scrolled frame: never shorter than the visible area, so short content
// sits in its middle. Reported through the size hints rather than a fixed
// minimum, which QScrollArea would take as the whole story and never scroll.
class CentredFrame : public QWidget {
public:
    void setFloorHeight(int height)
    {
        if (height == m_floor)
            return;
        m_floor = height;
        updateGeometry();
    }
    QSize minimumSizeHint() const override { return grown(QWidget::minimumSizeHint()); }
    QSize sizeHint() const override { return grown(QWidget::sizeHint()); }

private:
    QSize grown(QSize size) const { return {size.width(), qMax(size.height(), m_floor)}; }
    int m_floor = 0;
};

} // namespace

CentredCardLayout::CentredCardLayout(int verticalMargin, QWidget* content, QWidget* parent)
    : QScrollArea(parent), m_verticalMargin(verticalMargin), m_content(content)
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(true);
    // The page behind paints the background; the area itself stays clear.
    viewport()->setAutoFillBackground(false);
    auto* frame = new CentredFrame;
    frame->setObjectName(QStringLiteral("cvn.centred.frame"));

    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, verticalMargin, 0, verticalMargin);
    layout->setSpacing(0);
    layout->addWidget(content, 0, Qt::AlignCenter);
    setWidget(frame);
    frame->setAutoFillBackground(false); // setWidget turned it on
    ScrollBars::styleScrollBars(this);
}

void CentredCardLayout::resizeEvent(QResizeEvent* event)
{
    // A taller window re-centres short content at once.
    static_cast<CentredFrame*>(widget())->setFloorHeight(contentsRect().height());
    QScrollArea::resizeEvent(event);
}

} // namespace cvn
