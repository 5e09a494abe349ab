#pragma once

// The small painted pieces of the composer area: the stop disc with its
// circling arc, the council on/off switch, and the glass behind the composer.
// Each paints itself from the theme's ink and surface colours, resolved at
// paint time, and repaints on a switch of appearance. Main thread only.

#include <QAbstractButton>
#include <QVariantAnimation>
#include <QWidget>

namespace cvn {

// The composer's stop button while a reply streams: an ink disc with a
// surface-coloured stop square and a short arc that turns clockwise once a
// second for as long as the disc is on screen. Accessible name "Stop".
class StopDisc : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int disc = 38;
    static constexpr int ring = 32;
    static constexpr int square = 14;

    explicit StopDisc(QWidget* parent = nullptr);

    // Not spinning: the arc rests at its start (3 o'clock, 22 % round).
    void setSpinning(bool spinning);
    bool isSpinning() const { return m_spinning; }
    qreal angle() const { return m_angle; }
    const QVariantAnimation& spin() const { return m_spin; }

    QSize sizeHint() const override { return {disc, disc}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    void updateSpin();

    bool m_spinning = true;
    qreal m_angle = 0;
    QVariantAnimation m_spin;
};

// The council switch: a 54 by 28 track with a 24 knob. On: ink track, surface
// knob at the trailing end. Off: a 2 px ink outline, ink knob leading. A click
// anywhere on the track flips it. Accessible name "Council", value "on"/"off".
class CouncilToggle : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int trackWidth = 54;
    static constexpr int trackHeight = 28;
    static constexpr int knob = 24;

    explicit CouncilToggle(QWidget* parent = nullptr);

    // Where the knob's left edge stands now.
    int knobX() const;
    QSize sizeHint() const override { return {trackWidth, trackHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The rounded panel behind the composer. No backdrop blur is available, so
// the look of ink at 10 % over the page is painted opaque: the surface colour,
// then ink at 10 % (#EAEAEA light, #3E3E3F dark). Corners stay transparent.
class ComposerGlass : public QWidget {
public:
    static constexpr qreal radius = 34.5;

    explicit ComposerGlass(QWidget* parent = nullptr);
    static void paint(QPainter& painter, const QRectF& rect);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The model pill's press feedback: the whole face at 85 % while pressed.
inline constexpr qreal pressFadeOpacity = 0.85;

} // namespace cvn
