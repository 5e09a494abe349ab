#pragma once

#include <QWidget>

namespace cvn {

// The on/off switch of a settings card row: a 40×20 capsule with a 10-px
// knob 5 px from the end it leans to. Drawn for a card (Theme::card fill), so
// on is a paper track with an ink knob at the trailing end, off a grey
// outline with a grey knob at the leading end.
//
// The caller owns the state: the switch shows what setOn() last gave it and,
// on a click while enabled, only asks for the opposite through
// writeRequested(); whether and when the state really changes is the
// caller's business (the hardware page first asks for confirmation). A
// disabled switch is drawn at 40 % and ignores clicks. Main thread only.
class CvnCardToggle : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 40;
    static constexpr int kHeight = 20;
    static constexpr int kKnob = 10;
    static constexpr int kKnobInset = 5;

    CvnCardToggle(bool isOn, const QString& label, bool isEnabled, QWidget* parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);
    bool isToggleEnabled() const { return m_enabled; }
    void setToggleEnabled(bool enabled);
    QString label() const { return m_label; }

    // Runs the tap: asks for the negation of isOn() when enabled, else nothing.
    void toggleIfEnabled();

    QSize sizeHint() const override { return {kWidth, kHeight}; }

signals:
    void writeRequested(bool on);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void describe();

    bool m_on;
    QString m_label;
    bool m_enabled;
    bool m_pressed = false;
};

} // namespace cvn
