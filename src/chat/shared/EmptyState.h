#pragma once

// What the chat area shows while the conversation has no turns: the brand
// silhouette alone, 100 pixels, its centre 45 above the middle of the space
// it is given, in ink. It takes no input; clicks pass to what lies beneath.
// Main thread only; owns nothing but its silhouette.

#include <QWidget>

namespace cvn {

class DiroruView;

class EmptyState : public QWidget {
public:
    static constexpr int silhouetteSize = 100;
    static constexpr int liftAboveMiddle = 45;

    explicit EmptyState(QWidget* parent = nullptr);

    // The silhouette's box in this widget.
    QRect silhouetteRect() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    DiroruView* m_silhouette;
};

} // namespace cvn
