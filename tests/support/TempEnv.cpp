#include "support/TempEnv.h"

#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <cstdlib>

namespace cvn::test {

namespace {
QTemporaryDir* rootDir = nullptr;
std::atomic<int> folderCounter{0};
}

void isolateUserFolders()
{
    if (rootDir)
        return;
    rootDir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/cvn-test-XXXXXX"));
    const QString root = rootDir->path();
    for (const char* name : {"data", "config", "cache", "runtime"})
        QDir(root).mkpath(QString::fromLatin1(name));
    setenv("XDG_DATA_HOME", QString(root + "/data").toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", QString(root + "/config").toLocal8Bit().constData(), 1);
    setenv("XDG_CACHE_HOME", QString(root + "/cache").toLocal8Bit().constData(), 1);
    setenv("XDG_RUNTIME_DIR", QString(root + "/runtime").toLocal8Bit().constData(), 1);
    QFile::setPermissions(root + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::atexit([] { delete rootDir; rootDir = nullptr; });
}

QString tempRoot()
{
    isolateUserFolders();
    return rootDir->path();
}

QString makeTempFolder(const QString& hint)
{
    const QString path = QStringLiteral("%1/%2-%3").arg(tempRoot(), hint).arg(++folderCounter);
    QDir().mkpath(path);
    return path;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const QByteArray& value)
    : m_name(name)
    , m_saved(qgetenv(name))
    , m_wasSet(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    if (m_wasSet)
        qputenv(m_name, m_saved);
    else
        qunsetenv(m_name);
}

} // namespace cvn::test
