#include "platform/AppPaths.h"

#include <QDir>
#include <QStandardPaths>

namespace cvn {

QString appDataFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString folder = base + QStringLiteral("/Corvanthelis");
    QDir().mkpath(folder);
    return folder;
}

} // namespace cvn
