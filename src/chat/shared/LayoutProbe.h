#pragma once

// Layout probes: a probe watches one widget and records where it really
// stands in its window, under a key and with a short detail, in one
// process-wide registry that the runtime debug panel lists. Probes change
// nothing about layout or painting.
//
// A probe is a child object of the widget it watches and dies with it; its
// last line stays in the registry for the life of the process. Probes record
// on the main thread; the registry is guarded by its own lock.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

namespace cvn {

class LayoutProbe : public QObject {
public:
    // Watches `target` and records on every move, resize and show.
    LayoutProbe(QWidget* target, const QString& key, const QString& detail = {});

    // A probe on `target` that records at once (when it can).
    static LayoutProbe* attach(QWidget* target, const QString& key, const QString& detail = {});

    // Records again with the new detail.
    void setDetail(const QString& detail);
    // Records now: "x %.0f  y %.0f  w %.0f  h %.0f" in window coordinates
    // (y from the top of the window), then "  (detail)" when there is one.
    // Does nothing while the widget is hidden or is a window itself.
    void record();

    // "key: line" for every key, sorted by character code.
    static QStringList snapshot();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_target;
    QString m_key;
    QString m_detail;
};

} // namespace cvn
