#pragma once

#include "models/ModelCopier.h"
#include "ui_kit/ModalOverlay.h"

#include <functional>
#include <optional>

namespace cvn {

class CvnButton;
class CopyProgressCard;

// Covers the models screen while a model file is copied: a dark backdrop and
// a 368-wide card titled "COPYING MODEL" with a bar, the figures (percentage,
// rate, bytes of total) and CANCEL. It only shows the progress it is given
// and reports CANCEL; the host decides what cancelling means and removes the
// overlay once the copy has ended. The backdrop and Escape do nothing.
//
// Create it as a child of the widget it covers. Main thread only.
class CopyProgressOverlay : public ModalOverlay {
    Q_OBJECT

public:
    static constexpr int kCardWidth = 368;
    static constexpr int kContentWidth = 310;
    static constexpr int kBackdropAlpha = 176;

    CopyProgressOverlay(const CopyProgress& progress, std::function<void()> onCancel, QWidget* parent);

    const CopyProgress& progress() const { return m_progress; }
    void setProgress(const CopyProgress& progress);

    // The same card for other long work: `title` in place of "COPYING
    // MODEL", and, when `figures` is set, that one line in place of the
    // three copy figures.
    void setTitle(const QString& title);
    void setFigures(const std::optional<QString>& figures);
    const QString& title() const { return m_title; }
    const std::optional<QString>& figures() const { return m_figures; }

    // The figures as drawn.
    static QString percentText(const CopyProgress& progress);
    static QString rateText(const CopyProgress& progress);
    static QString bytesText(const CopyProgress& progress);
    // The bar's filled share, 0 to 100.
    static double barPercent(const CopyProgress& progress);

    QWidget* cardWidget() const;
    CvnButton* cancelButton() const;
    // The bar's track and fill in card coordinates.
    QRectF barRect() const;
    QRectF fillRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CopyProgress m_progress;
    QString m_title = QStringLiteral("COPYING MODEL");
    std::optional<QString> m_figures;
    CopyProgressCard* m_card;
};

} // namespace cvn
