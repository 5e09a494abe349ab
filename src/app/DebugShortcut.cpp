#include "app/DebugShortcut.h"

#include "platform/AppSettings.h"

#include <QKeyEvent>

namespace cvn {

DebugShortcut::DebugShortcut(QObject* parent)
    : QObject(parent)
{
}

bool DebugShortcut::isToggleChord(int key, Qt::KeyboardModifiers modifiers)
{
    const Qt::KeyboardModifiers considered = Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier
                                             | Qt::MetaModifier | Qt::KeypadModifier;
    return key == Qt::Key_D && (modifiers & considered) == (Qt::ControlModifier | Qt::ShiftModifier);
}

bool DebugShortcut::eventFilter(QObject* watched, QEvent* event)
{
    // A key press passes this filter twice, for the QWindow and then for the
    // focused widget; acting on the widget's delivery alone flips once.
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (isToggleChord(key->key(), key->modifiers())) {
            const QString name = QString::fromLatin1(AppSettings::showRuntimePanel);
            AppSettings::setValue(name, !AppSettings::boolValue(name));
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace cvn
