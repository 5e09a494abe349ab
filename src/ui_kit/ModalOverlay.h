#pragma once

#include <QPointer>
#include <QWidget>

namespace cvn {

// A card surface of the modal family: a rounded fill in Theme::card that
// swallows every click on it, so a click on the card never reaches the scrim
// behind it. Lay the card's content out inside it.
class CardSurface : public QWidget {
public:
    explicit CardSurface(qreal radius, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    qreal m_radius;
};

// The frame shared by the action sheet and the dialogs: a scrim over the
// whole of its parent (it follows the parent's size), with one card centred
// over it. A click on the scrim and the Escape key both emit dismissed(); the
// overlay never hides itself, its owner does. While shown it holds the
// keyboard focus and gives it back when it goes.
class ModalOverlay : public QWidget {
    Q_OBJECT
public:
    explicit ModalOverlay(QWidget* parent);
    ~ModalOverlay() override;

    // Takes ownership of `card` (which fixes its own width), centres it and
    // gives it the soft shadow every modal card casts.
    void setCard(QWidget* card);
    QWidget* card() const { return m_card; }

signals:
    void dismissed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeCard();
    void giveFocusBack();

    QWidget* m_card = nullptr;
    bool m_scrimPressed = false;
    QPointer<QWidget> m_previousFocus;
};

} // namespace cvn
