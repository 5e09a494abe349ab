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
    // The first delivery of a press (to the window, or straight to the focused
    // widget) is swallowed, so a press flips the setting once.
    if (event->type() == QEvent::KeyPress) {
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
