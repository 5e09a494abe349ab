#include "chat/shared/LayoutProbe.h"

#include <QEvent>
#include <QMap>
#include <QMutex>

#include <cstdio>

namespace cvn {

namespace {

struct Registry {
    QMutex lock;
    QMap<QString, QString> lines; // QMap orders keys by character code
};

Registry& registry()
{
    static Registry r;
    return r;
}

} // namespace

LayoutProbe::LayoutProbe(QWidget* target, const QString& key, const QString& detail)
    : QObject(target), m_target(target), m_key(key), m_detail(detail)
{
    target->installEventFilter(this);
}

void LayoutProbe::setDetail(const QString& detail)
{
    m_detail = detail;
    record();
}

void LayoutProbe::record()
{
    // A widget that is its own window has no window to be measured in.
    if (!m_target || !m_target->isVisible() || m_target->isWindow())
        return;
    const QWidget* window = m_target->window();
    const QPoint origin = m_target->mapTo(window, QPoint(0, 0));
    // printf's own rounding, as the line has always been written.
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "x %.0f  y %.0f  w %.0f  h %.0f", double(origin.x()), double(origin.y()),
                  double(m_target->width()), double(m_target->height()));
    QString line = QString::fromLatin1(buffer);
    if (!m_detail.isEmpty())
        line += QStringLiteral("  (") + m_detail + u')';
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    r.lines.insert(m_key, line);
}

LayoutProbe* LayoutProbe::attach(QWidget* target, const QString& key, const QString& detail)
{
    auto* probe = new LayoutProbe(target, key, detail);
    probe->record();
    return probe;
}

QStringList LayoutProbe::snapshot()
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    QStringList out;
    for (auto it = r.lines.cbegin(); it != r.lines.cend(); ++it)
        out.append(it.key() + QStringLiteral(": ") + it.value());
    return out;
}

bool LayoutProbe::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
            record();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace cvn
