#pragma once

// Toasts: one short message at a time over the chat area, cleared after a
// second (information) or three (an error).
//
// ToastCenter holds the message, its kind and the clearing timer; whoever
// wants to tell the user something calls show(). ToastView draws the centre's
// message over its parent (the chat area), fading in as it slides up and
// fading out when the centre clears; it never takes a click. The view only
// observes the centre, which must outlive it. Main thread only.

#include "attachments/ToastKind.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>

#include <optional>

namespace cvn {

class ToastCenter : public QObject {
    Q_OBJECT
public:
    static constexpr int infoMs = 1000;
    static constexpr int errorMs = 3000;

    explicit ToastCenter(QObject* parent = nullptr);

    // Replaces any toast shown before and restarts the clearing time.
    void show(const QString& message, ToastKind kind);

    const std::optional<QString>& message() const { return m_message; }
    ToastKind kind() const { return m_kind; }
    const QTimer& dismissal() const { return m_dismissal; }

signals:
    // The message or its kind changed (both at once); no message: cleared.
    void changed();

private:
    std::optional<QString> m_message;
    ToastKind m_kind = ToastKind::info;
    QTimer m_dismissal;
};

class ToastView : public QWidget {
    Q_OBJECT
public:
    static constexpr int gapBelow = 130;
    static constexpr int padV = 14;
    static constexpr int padH = 16;
    static constexpr int slide = 60;
    static constexpr int enterMs = 250;
    static constexpr int exitMs = 200;

    // Covers `chatArea` and follows its size.
    ToastView(ToastCenter* center, QWidget* chatArea);

    // The toast's box where it rests, in this widget's coordinates; null
    // while there is nothing to show.
    QRect boxRect() const;
    // Keeps the box at least this far above the bottom edge (never less than
    // gapBelow), so a taller composer column never covers the message.
    void setClearanceBelow(int clearance);
    QString shownText() const { return m_text; }
    // 0 before the entrance, 1 once the toast rests in place.
    qreal entrance() const { return m_progress; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void centreChanged();

    QPointer<ToastCenter> m_center;
    QString m_text;
    ToastKind m_kind = ToastKind::info;
    bool m_leaving = false;
    int m_clearance = gapBelow;
    qreal m_progress = 0; // 0 before the entrance, 1 when in place
    qreal m_opacity = 1;  // the exit's fade
    QVariantAnimation m_enter;
    QVariantAnimation m_exit;
};

} // namespace cvn
