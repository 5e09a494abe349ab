#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

namespace cvn {

void runOnMain(std::function<void()> fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool isMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void runInBackground(std::function<void()> fn)
{
    QThreadPool::globalInstance()->start(std::move(fn));
}

} // namespace cvn
