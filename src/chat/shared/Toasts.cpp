#include "chat/shared/Toasts.h"

#include "ui_kit/Theme.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

namespace cvn {

namespace {

QRect textBounds(const QString& text, int width)
{
    return QFontMetrics(Theme::interMedium16())
        .boundingRect(QRect(0, 0, width, 100000), Qt::AlignHCenter | Qt::TextWordWrap, text);
}

} // namespace

ToastCenter::ToastCenter(QObject* parent) : QObject(parent)
{
    m_dismissal.setSingleShot(true);
    connect(&m_dismissal, &QTimer::timeout, this, [this] {
        m_message.reset();
        emit changed();
    });
}

void ToastCenter::show(const QString& message, ToastKind kind)
{
    m_dismissal.stop();
    // The kind first, then one notice: an observer never sees the new text
    // in the old kind's colours.
    m_kind = kind;
    m_message = message;
    emit changed();
    m_dismissal.start(kind == ToastKind::error ? errorMs : infoMs);
}

ToastView::ToastView(ToastCenter* center, QWidget* chatArea) : QWidget(chatArea), m_center(center)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(chatArea->rect());
    chatArea->installEventFilter(this);
    hide();

    m_enter.setStartValue(0.0);
    m_enter.setEndValue(1.0);
    m_enter.setDuration(enterMs);
    m_enter.setEasingCurve(QEasingCurve::OutCubic);
    connect(&m_enter, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        m_progress = v.toReal();
        update();
    });
    m_exit.setStartValue(1.0);
    m_exit.setEndValue(0.0);
    m_exit.setDuration(exitMs);
    m_exit.setEasingCurve(QEasingCurve::OutCubic);
    connect(&m_exit, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        m_opacity = v.toReal();
        update();
    });
    connect(&m_exit, &QVariantAnimation::finished, this, [this] {
        m_leaving = false;
        m_text.clear();
        hide();
    });
    connect(center, &ToastCenter::changed, this, [this] { centreChanged(); });
    Theme::repaintOnAppearanceChange(this);
    centreChanged();
}

void ToastView::centreChanged()
{
    if (!m_center)
        return;
    const std::optional<QString>& message = m_center->message();
    if (!message) {
        if (isVisible() && !m_leaving) {
            m_leaving = true;
            m_exit.start();
        }
        return;
    }
    // A toast already in place changes text and colours at once; one that
    // is gone or leaving comes in afresh.
    const bool arriving = !isVisible() || m_leaving;
    m_text = *message;
    m_kind = m_center->kind();
    if (arriving) {
        m_exit.stop();
        m_leaving = false;
        m_opacity = 1;
        m_progress = 0;
        show();
        raise();
        m_enter.start();
    }
    update();
}

QRect ToastView::boxRect() const
{
    if (m_text.isEmpty())
        return {};
    const int textHeight = textBounds(m_text, width() - 2 * padH).height();
    const int boxHeight = textHeight + 2 * padV;
    return {0, height() - m_clearance - boxHeight, width(), boxHeight};
}

void ToastView::setClearanceBelow(int clearance)
{
    clearance = qMax(clearance, int(gapBelow));
    if (clearance == m_clearance)
        return;
    m_clearance = clearance;
    update();
}

void ToastView::paintEvent(QPaintEvent*)
{
    const QRect box = boxRect();
    if (box.isNull())
        return;
    QPainter p(this);
    p.setOpacity(m_progress * m_opacity);
    p.translate(0, slide * (1 - m_progress));
    // An information toast is the inverse of the window; an error is red in
    // both appearances.
    const bool error = m_kind == ToastKind::error;
    p.fillRect(box, error ? Theme::destructive() : Theme::ink());
    p.setPen(error ? Theme::onDestructive() : Theme::paper());
    p.setFont(Theme::interMedium16());
    p.drawText(box.adjusted(padH, padV, -padH, -padV), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_text);
}

bool ToastView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

} // namespace cvn
