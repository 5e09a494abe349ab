#include "chat/transcript/ChatScrollController.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

QWidget* contentOf(QAbstractScrollArea* area)
{
    auto* scrollArea = qobject_cast<QScrollArea*>(area);
    return scrollArea ? scrollArea->widget() : nullptr;
}

} // namespace

ChatScrollController::ChatScrollController(QObject* parent, TailFollower::Trace trace) : QObject(parent)
{
    TailFollower::Scroller scroller;
    scroller.scrollTo = [this](double offset, bool animated, int durationMs) -> std::optional<double> {
        if (const auto applied = scrollToBottom(animated, offset, durationMs))
            return double(*applied);
        return std::nullopt;
    };
    scroller.scrollToAnchor = [this](const QUuid& id, double unitY, bool animated, int durationMs) {
        const auto live = liveMetrics();
        const auto y = m_seams.anchorY ? m_seams.anchorY(id) : std::nullopt;
        if (live && y)
            scrollToBottom(animated, *y - unitY * live->viewportHeight, durationMs);
    };
    scroller.liveMetrics = [this] { return liveMetrics(); };
    scroller.liveTailTop = [this]() -> std::optional<double> {
        if (m_seams.tailTop)
            return m_seams.tailTop();
        return std::nullopt;
    };
    TailFollower::Scheduler scheduler;
    scheduler.post = [this](std::function<void()> fn) {
        QMetaObject::invokeMethod(
            this,
            [this, fn = std::move(fn)] {
                deliverPending();
                fn();
            },
            Qt::QueuedConnection);
    };
    scheduler.postAfter = [this](int ms, std::function<void()> fn) {
        QTimer::singleShot(ms, this, [this, fn = std::move(fn)] {
            deliverPending();
            fn();
        });
    };
    // Linear time from 0 to 1 on Qt's animation clock; the follower eases it.
    // A transcript that is not on screen (a page built while a reply
    // streams) has nothing to show moving: its gap is there at once.
    scheduler.animate = [this](int durationMs, std::function<void(double)> frame) {
        if (m_gapAnimation)
            m_gapAnimation->stop(); // deletes itself
        if (!m_area || !m_area->isVisible()) {
            frame(1.0);
            return;
        }
        auto* animation = new QVariantAnimation(this);
        animation->setDuration(durationMs);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        connect(animation, &QVariantAnimation::valueChanged, this,
                [frame = std::move(frame)](const QVariant& t) { frame(t.toDouble()); });
        m_gapAnimation = animation;
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    };
    m_follower = std::make_unique<TailFollower>(std::move(scroller), std::move(scheduler), TailFollower::Clock{},
                                                std::move(trace));
    m_follower->stateChanged = [this] { emit followStateChanged(); };
}

// The area may be half destroyed when its child controller goes: touch
// nothing of it. Connections, filters and the animation end with this object.
ChatScrollController::~ChatScrollController() = default;

void ChatScrollController::observe(QWidget* column, TranscriptSeams seams)
{
    if (m_column)
        m_column->removeEventFilter(this);
    m_column = column;
    m_seams = std::move(seams);
    if (column) {
        column->installEventFilter(this);
        attach();
    }
}

void ChatScrollController::attach()
{
    QAbstractScrollArea* found = nullptr;
    for (QWidget* w = m_column ? m_column->parentWidget() : nullptr; w && !found; w = w->parentWidget())
        found = qobject_cast<QAbstractScrollArea*>(w);
    if (!found || found == m_area)
        return;
    detach();
    m_area = found;
    QScrollBar* scrollBar = found->verticalScrollBar();
    m_connections = {
        connect(scrollBar, &QScrollBar::actionTriggered, this,
                [this] {
                    m_userAction = true;
                    stopAnimation();
                }),
        connect(scrollBar, &QScrollBar::sliderPressed, this, [this] { stopAnimation(); }),
        connect(scrollBar, &QScrollBar::rangeChanged, this,
                [this] {
                    // A clamp that follows is the range's doing, not the user's.
                    m_userAction = false;
                    queueReport();
                }),
        connect(scrollBar, &QScrollBar::valueChanged, this, [this] { queueReport(); }),
    };
    found->viewport()->installEventFilter(this);
    m_content = contentOf(found);
    if (m_content)
        m_content->installEventFilter(this);
    queueReport();
}

void ChatScrollController::detach()
{
    stopAnimation();
    for (const auto& connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    if (m_area)
        m_area->viewport()->removeEventFilter(this);
    if (m_content && m_content != m_column)
        m_content->removeEventFilter(this);
    m_area = nullptr;
    m_content = nullptr;
}

QScrollBar* ChatScrollController::bar() const
{
    return m_area ? m_area->verticalScrollBar() : nullptr;
}

std::optional<ScrollMetrics> ChatScrollController::liveMetrics() const
{
    if (!m_area)
        return std::nullopt;
    QWidget* content = contentOf(m_area);
    return ScrollMetrics{double(bar()->value()), content ? double(content->height()) : 0.0,
                         double(m_area->viewport()->height())};
}

void ChatScrollController::queueReport()
{
    // The content widget may have been set after the area was found.
    if (QWidget* content = contentOf(m_area); content != m_content) {
        if (m_content && m_content != m_column)
            m_content->removeEventFilter(this);
        m_content = content;
        if (content)
            content->installEventFilter(this);
    }
    const auto metrics = liveMetrics();
    if (!metrics)
        return;
    const bool byUser = m_userAction && !m_programmatic && !isAnimating();
    m_userAction = false;
    // Taken now, delivered later: the follow rule never runs inside the
    // layout or scroll pass that caused it. Dropped if this object goes.
    m_pending.emplace_back(*metrics, byUser);
    if (m_pending.size() == 1)
        QMetaObject::invokeMethod(this, &ChatScrollController::deliverPending, Qt::QueuedConnection);
}

void ChatScrollController::deliverPending()
{
    // Delivering may take new reports; those wait for their own pass.
    const auto pending = std::exchange(m_pending, {});
    for (const auto& [metrics, byUser] : pending) {
        m_follower->handleScrollMetrics(metrics, byUser);
        emit reported(metrics.offset, metrics.contentHeight, metrics.viewportHeight);
    }
}

void ChatScrollController::contentShifted(int delta)
{
    for (auto& report : m_pending)
        report.first.offset += delta;
    m_follower->contentShifted(delta);
    // A glide under way moves with the content too: left alone, its next
    // frame would drag the view back by `delta` and it would land that far
    // from where it was sent (a divider coming above while a new question
    // is being anchored, say). Its frame now is the shifted position.
    if (m_animation && m_animation->state() != QAbstractAnimation::Stopped) {
        m_animation->setStartValue(m_animation->startValue().toInt() + delta);
        m_animation->setEndValue(m_animation->endValue().toInt() + delta);
    }
}

std::optional<int> ChatScrollController::scrollToBottom(bool animated, double offset, int durationMs)
{
    stopAnimation();
    QWidget* content = contentOf(m_area);
    if (!m_area || !content)
        return std::nullopt;
    const double maxOffset = std::max(0, content->height() - m_area->viewport()->height());
    const int target = int(std::lround(std::clamp(offset, 0.0, maxOffset)));
    QScrollBar* scrollBar = bar();
    if (animated && scrollBar->value() != target) {
        m_animation = new QPropertyAnimation(scrollBar, "value", this);
        m_animation->setDuration(durationMs);
        m_animation->setEasingCurve(TailFollower::easeOut());
        m_animation->setStartValue(scrollBar->value());
        m_animation->setEndValue(target);
        m_animation->start(QAbstractAnimation::DeleteWhenStopped);
    } else {
        m_programmatic = true;
        scrollBar->setValue(target);
        m_programmatic = false;
    }
    return target;
}

bool ChatScrollController::isAnimating() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

QVariantAnimation* ChatScrollController::readingGapAnimation() const
{
    return m_gapAnimation && m_gapAnimation->state() != QAbstractAnimation::Stopped ? m_gapAnimation.data()
                                                                                     : nullptr;
}

void ChatScrollController::stopAnimation()
{
    if (m_animation)
        m_animation->stop(); // deletes itself
    m_animation = nullptr;
}

void ChatScrollController::tailTopChanged()
{
    if (m_seams.tailTop)
        m_follower->setTailTop(m_seams.tailTop());
}

bool ChatScrollController::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == m_column && (type == QEvent::ParentChange || type == QEvent::Show))
        attach();
    if (type == QEvent::Resize && m_area && (watched == m_area->viewport() || watched == m_content))
        queueReport();
    return QObject::eventFilter(watched, event);
}

} // namespace cvn
