#include "screens/CopyProgressOverlay.h"

#include "models/NumberText.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/Theme.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace cvn {

namespace {

constexpr int kSidePadding = 29;
constexpr int kEndPadding = 26;
constexpr int kSpacing = 13;
constexpr int kBarHeight = 4;
constexpr int kPercentCell = 51;
constexpr int kRateCell = 96;
constexpr qreal kRadius = 27;

} // namespace

// The card: painted rows, and the one real control, CANCEL, at the trailing
// end of the last row.
class CopyProgressCard : public CardSurface {
public:
    explicit CopyProgressCard(CopyProgressOverlay* overlay)
        : CardSurface(kRadius, overlay)
        , m_overlay(overlay)
        , m_cancel(new CvnCompactOutlinePillButton(QStringLiteral("CANCEL"), this))
    {
        setObjectName(QStringLiteral("cvn.copyCard"));
        setFixedWidth(CopyProgressOverlay::kCardWidth);
        const int buttonTop = figuresTop() + figuresHeight() + kSpacing;
        const QSize button = m_cancel->sizeHint();
        m_cancel->setGeometry(kSidePadding + CopyProgressOverlay::kContentWidth - button.width(), buttonTop,
                              button.width(), button.height());
        setFixedHeight(buttonTop + button.height() + kEndPadding);
    }

    CvnButton* cancelButton() const { return m_cancel; }

    static int titleHeight() { return QFontMetrics(Theme::interMedium13()).height(); }
    static int barTop() { return kEndPadding + titleHeight() + kSpacing; }
    static int figuresTop() { return barTop() + kBarHeight + kSpacing; }
    static int figuresHeight() { return QFontMetrics(Theme::interRegular13()).height(); }

    QRectF barRect() const { return {kSidePadding, qreal(barTop()), CopyProgressOverlay::kContentWidth, kBarHeight}; }
    QRectF fillRect() const
    {
        QRectF fill = barRect();
        fill.setWidth(fill.width() * CopyProgressOverlay::barPercent(m_overlay->progress()) / 100.0);
        return fill;
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        CardSurface::paintEvent(event);
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const CopyProgress& progress = m_overlay->progress();

        p.setPen(Theme::paper());
        Theme::drawElidedLine(p, QRectF(kSidePadding, kEndPadding, CopyProgressOverlay::kContentWidth, titleHeight()),
                              Theme::interMedium13(), m_overlay->title());

        p.setPen(Qt::NoPen);
        const qreal capsule = kBarHeight / 2.0;
        p.setBrush(Theme::neutralGrey());
        p.drawRoundedRect(barRect(), capsule, capsule);
        const QRectF fill = fillRect();
        if (fill.width() > 0) {
            p.setBrush(Theme::paper());
            p.drawRoundedRect(fill, std::min(capsule, fill.width() / 2), capsule);
        }

        // The byte counts take their natural width: they are never cut.
        p.setFont(Theme::interRegular13());
        p.setPen(Theme::mutedOnInk());
        const qreal top = figuresTop();
        const qreal h = figuresHeight();
        const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
        if (const std::optional<QString>& figures = m_overlay->figures()) {
            Theme::drawElidedLine(p, QRectF(kSidePadding, top, CopyProgressOverlay::kContentWidth, h),
                                  Theme::interRegular13(), *figures);
            return;
        }
        p.drawText(QRectF(kSidePadding, top, kPercentCell, h), left, CopyProgressOverlay::percentText(progress));
        p.drawText(QRectF(kSidePadding + kPercentCell, top, kRateCell, h), left,
                   CopyProgressOverlay::rateText(progress));
        const QString bytes = CopyProgressOverlay::bytesText(progress);
        const qreal bytesX = kSidePadding + kPercentCell + kRateCell;
        p.drawText(QRectF(bytesX, top, QFontMetricsF(Theme::interRegular13()).horizontalAdvance(bytes) + 1, h), left,
                   bytes);
    }

private:
    CopyProgressOverlay* m_overlay;
    CvnButton* m_cancel;
};

CopyProgressOverlay::CopyProgressOverlay(const CopyProgress& progress, std::function<void()> onCancel, QWidget* parent)
    : ModalOverlay(parent)
    , m_progress(progress)
{
    setObjectName(QStringLiteral("cvn.copyProgress"));
    m_card = new CopyProgressCard(this);
    setCard(m_card);
    connect(m_card->cancelButton(), &QAbstractButton::clicked, this, [onCancel = std::move(onCancel)] {
        if (onCancel)
            onCancel();
    });
}

void CopyProgressOverlay::setProgress(const CopyProgress& progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    m_card->update();
}

void CopyProgressOverlay::setTitle(const QString& title)
{
    m_title = title;
    m_card->update();
}

void CopyProgressOverlay::setFigures(const std::optional<QString>& figures)
{
    m_figures = figures;
    m_card->update();
}

QString CopyProgressOverlay::percentText(const CopyProgress& progress)
{
    const double q = progress.total < 1 ? 0.0 : double(progress.copied) * 100.0 / double(progress.total);
    return formatOneDecimal(q) + u'%';
}

QString CopyProgressOverlay::rateText(const CopyProgress& progress)
{
    return formatOneDecimal(progress.mbPerSec) + QStringLiteral(" MB/s");
}

QString CopyProgressOverlay::bytesText(const CopyProgress& progress)
{
    return ModelCopier::formatByteCount(progress.copied) + QStringLiteral(" / ")
           + ModelCopier::formatByteCount(progress.total);
}

double CopyProgressOverlay::barPercent(const CopyProgress& progress)
{
    if (progress.total < 1)
        return 0.0;
    const double q = double(progress.copied) * 100.0 / double(progress.total);
    return q > 0 ? std::min(q, 100.0) : 0.0;
}

QWidget* CopyProgressOverlay::cardWidget() const
{
    return m_card;
}

CvnButton* CopyProgressOverlay::cancelButton() const
{
    return m_card->cancelButton();
}

QRectF CopyProgressOverlay::barRect() const
{
    return m_card->barRect();
}

QRectF CopyProgressOverlay::fillRect() const
{
    return m_card->fillRect();
}

void CopyProgressOverlay::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), QColor(0, 0, 0, kBackdropAlpha));
}

} // namespace cvn
