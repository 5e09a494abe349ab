#include "models/ModelCopier.h"

#include "models/NumberText.h"
#include "platform/AppPaths.h"
#include "platform/RegularFile.h"
#include "platform/SerialQueue.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>

namespace cvn {

namespace {

constexpr int64_t kBlockSize = 1048576;

// Anything that takes a name: a dangling symlink does too, and QFileInfo::exists
// alone would say it is free and send the exclusive create into a loop.
bool somethingAt(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Everything one copy needs on the queue. The callbacks post to the copier's
// thread; the worker itself never touches the copier.
struct Job {
    QString source;
    QString folder;
    int64_t total = 0;
    std::shared_ptr<std::atomic<bool>> cancelled;
    std::shared_ptr<std::atomic<bool>> abandoned;
    std::function<void(CopyProgress)> report;
    std::function<void(std::optional<QString>)> finish;
};

// Creates the destination with O_CREAT|O_EXCL semantics (QIODevice::NewOnly),
// so a file that appeared after the name was chosen is never overwritten: the
// next free name is taken instead. Any other failure ends the attempt.
bool createExclusively(const Job& job, QFile& out)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = ModelCopier::uniqueDestination(job.source, job.folder);
        out.setFileName(candidate);
        if (out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return true;
        if (!somethingAt(candidate))
            return false;
    }
    return false;
}

// True when the whole source was written; false on a read or write error or
// a cancel. Blocks are copied inside the kernel where the file systems allow.
bool copyBlocks(const RegularFile& source, QFile& out, const Job& job)
{
    QElapsedTimer clock;
    clock.start();
    int64_t copied = 0;
    for (;;) {
        const int64_t got = source.copyTo(out.handle(), copied, kBlockSize);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        copied += got;
        const double seconds = std::max(double(clock.nsecsElapsed()) / 1e9, 0.001);
        job.report(CopyProgress{copied, job.total, double(copied) / double(kBlockSize) / seconds});
        if (job.cancelled->load())
            return false;
    }
}

std::optional<QString> copyIntoFolder(const Job& job)
{
    if (!QDir().mkpath(job.folder))
        return std::nullopt;
    RegularFile source;
    if (!source.open(job.source))
        return std::nullopt;
    QFile out;
    if (!createExclusively(job, out))
        return std::nullopt;
    const bool whole = !job.cancelled->load() && copyBlocks(source, out, job);
    // A close that fails (a full disk or an I/O error reported late) means the
    // bytes may not all be there: the copy counts as failed.
    out.close();
    if (whole && out.error() == QFileDevice::NoError && !job.cancelled->load())
        return out.fileName();
    QFile::remove(out.fileName());
    return std::nullopt;
}

void runCopy(const Job& job)
{
    if (job.abandoned->load())
        return;
    const std::optional<QString> result = copyIntoFolder(job);
    if (!job.abandoned->load())
        job.finish(result);
}

} // namespace

ModelCopier::ModelCopier(QObject* parent)
    : ModelCopier(modelsDirectory(), parent)
{
}

ModelCopier::ModelCopier(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
    , m_cancelled(std::make_shared<std::atomic<bool>>(false))
    , m_abandoned(std::make_shared<std::atomic<bool>>(false))
    , m_queue(std::make_unique<SerialQueue>(QStringLiteral("org.corvanthelis.model-copy"),
                                            QStringLiteral("model-copy")))
{
}

ModelCopier::~ModelCopier()
{
    m_abandoned->store(true);
    m_cancelled->store(true);
    // Waits for the worker: the running copy stops after its block and removes
    // its partial file; queued copies see the flag and do nothing. Whatever it
    // posted here before that is dropped with this object.
    m_queue.reset();
}

void ModelCopier::importModel(const QString& sourcePath, Completion completion)
{
    m_cancelled->store(false);
    Job job;
    job.source = sourcePath;
    job.folder = m_folder;
    job.total = RegularFile::sizeOf(sourcePath).value_or(0);
    job.cancelled = m_cancelled;
    job.abandoned = m_abandoned;
    // Queued calls from one thread to one receiver arrive in order, so every
    // block's progress lands before the finish.
    job.report = [this, abandoned = m_abandoned](CopyProgress progress) {
        if (!abandoned->load())
            QMetaObject::invokeMethod(this, [this, progress] { setProgress(progress); }, Qt::QueuedConnection);
    };
    job.finish = [this, completion = std::move(completion)](std::optional<QString> destination) {
        QMetaObject::invokeMethod(
            this,
            [this, completion, destination]() mutable {
                // A cancel pressed while the copy still showed as running
                // wins, even when the last block was already written.
                if (destination && m_cancelled->load()) {
                    QFile::remove(*destination);
                    destination.reset();
                }
                setProgress(std::nullopt);
                if (completion)
                    completion(destination);
            },
            Qt::QueuedConnection);
    };
    setProgress(CopyProgress{0, job.total, 0.0});
    m_queue->async([job = std::move(job)] { runCopy(job); });
}

void ModelCopier::setProgress(std::optional<CopyProgress> progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

QString ModelCopier::modelsDirectory()
{
    return appDataFolder() + QStringLiteral("/models");
}

std::pair<QString, QString> ModelCopier::splitExtension(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot <= 0 || dot == fileName.size() - 1)
        return {fileName, QString()};
    return {fileName.left(dot), fileName.mid(dot + 1)};
}

QString ModelCopier::uniqueDestination(const QString& sourcePath, const QString& folder)
{
    const QString name = QFileInfo(sourcePath).fileName();
    const auto [base, ext] = splitExtension(name);
    const QDir dir(folder);
    QString candidate = dir.filePath(name);
    for (int64_t n = 2; somethingAt(candidate); ++n) {
        QString numbered = base + QStringLiteral(" (") + QString::number(n) + u')';
        if (!ext.isEmpty())
            numbered += u'.' + ext;
        candidate = dir.filePath(numbered);
    }
    return candidate;
}

QString ModelCopier::formatByteCount(int64_t bytes)
{
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value *= 1.0 / 1024.0;
        ++unit;
    }
    return formatOneDecimal(value) + u' ' + QLatin1String(units[unit]);
}

} // namespace cvn
