#pragma once

#include <QAbstractButton>
#include <QWidget>

#include <functional>

namespace cvn {

// A stepped slider for settings cards: a rounded track, one tick per
// position and a square thumb. The caller owns the value: the slider shows
// whatever it is given (even out of range, drawn proportionally) and reports
// each position the pointer picks through valueWritten, on press and on every
// move, not on release. Always 32 high; width from the layout.
class CvnCardSlider : public QWidget {
    Q_OBJECT
public:
    CvnCardSlider(int value, int steps, bool enabled, qreal trackHeight, qreal thumbSize,
                  QWidget* parent = nullptr);

    int value() const { return m_value; }
    void setValue(int value);
    int steps() const { return m_steps; }
    void setSteps(int steps);
    qreal trackHeight() const { return m_trackHeight; }
    qreal thumbSize() const { return m_thumbSize; }

    // Usable length of the track: the thumb's centre runs over it.
    qreal usableLength() const;

    QSize sizeHint() const override;

signals:
    // Emitted for every pointer write, also when the position is unchanged.
    void valueWritten(int value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void writeFromPointer(qreal x);

    int m_value;
    int m_steps;
    qreal m_trackHeight;
    qreal m_thumbSize;
};

// One row of a radio group: a ring (with a dot when on) and a wrapping label.
// It never changes its own state: a click anywhere in the row emits clicked()
// (and runs the action given), and the caller sets the new isOn values.
class CvnRadioButton : public QAbstractButton {
    Q_OBJECT
public:
    CvnRadioButton(const QString& label, bool isOn, bool enabled, std::function<void()> action = {},
                   QWidget* parent = nullptr);

    bool isOn() const { return m_isOn; }
    void setOn(bool on);
    bool isHovering() const { return m_hovering; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QRectF labelRect(int width) const;

    bool m_isOn;
    bool m_hovering = false;
};

} // namespace cvn
