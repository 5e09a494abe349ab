#include "models/ModelCopier.h"

#include "models/NumberText.h"
#include "platform/AppPaths.h"
#include "platform/Logging.h"
#include "platform/RegularFile.h"
#include "platform/SerialQueue.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QRandomGenerator>

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

constexpr QLatin1String kPartialPrefix(".partial-copy-");

// Everything one copy needs on the queue. The callbacks post to the copier's
// thread; the worker itself never touches the copier.
struct Job {
    QString source;
    QString folder;
    int64_t total = 0;
    std::shared_ptr<std::atomic<bool>> cancelled;
    std::shared_ptr<std::atomic<bool>> abandoned;
    std::function<void(CopyProgress)> report;
    std::function<void(const ModelCopier::CopyResult&)> finish;
};

// A new hidden file in the folder, created with O_CREAT|O_EXCL semantics
// (QIODevice::NewOnly) under a random name, so that two copies never share
// one. Any failure other than a taken name ends the attempt.
bool createPartialFile(const QString& folder, QFile& out)
{
    const QDir dir(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        out.setFileName(dir.filePath(kPartialPrefix
                                     + QString::number(QRandomGenerator::global()->generate64(), 16)));
        if (out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return true;
        if (!somethingAt(out.fileName()))
            return false;
    }
    return false;
}

// Gives the finished file the first free name; a name taken after it was
// chosen is never replaced: the next one is tried instead.
std::optional<QString> moveIntoPlace(const QString& partial, const QString& source, const QString& folder)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = ModelCopier::uniqueDestination(source, folder);
        if (RegularFile::moveWithoutReplacing(partial, candidate))
            return candidate;
        if (!somethingAt(candidate))
            return std::nullopt;
    }
    return std::nullopt;
}

constexpr int64_t kReadOrWriteFailed = -1;
constexpr int64_t kCancelled = -2;

// The bytes copied up to the end of the source, or one of the two above.
// Blocks are copied inside the kernel where the file systems allow.
int64_t copyBlocks(const RegularFile& source, QFile& out, const ModelCopier::BlockHooks& hooks)
{
    QElapsedTimer clock;
    clock.start();
    if (hooks.isCancelled())
        return kCancelled;
    int64_t copied = 0;
    for (;;) {
        const int64_t got = source.copyTo(out.handle(), copied, kBlockSize);
        if (got < 0)
            return kReadOrWriteFailed;
        if (got == 0)
            return copied;
        copied += got;
        const double seconds = std::max(double(clock.nsecsElapsed()) / 1e9, 0.001);
        hooks.blockWritten(copied, double(copied) / double(kBlockSize) / seconds);
        if (hooks.isCancelled())
            return kCancelled;
    }
}

ModelCopier::CopyResult failed(QString why)
{
    return {std::nullopt, std::move(why)};
}

void runCopy(const Job& job)
{
    if (job.abandoned->load())
        return;
    ModelCopier::BlockHooks hooks;
    hooks.blockWritten = [&job](int64_t copied, double mbPerSec) {
        job.report(CopyProgress{copied, job.total, mbPerSec});
    };
    hooks.isCancelled = [&job] { return job.cancelled->load(); };
    const ModelCopier::CopyResult result = ModelCopier::copyFile(job.source, job.folder, hooks);
    if (!result.failure.isEmpty())
        qCWarning(lcRuntime, "model copy of %s failed: %s", qUtf8Printable(job.source),
                  qUtf8Printable(result.failure));
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
    job.finish = [this, completion = std::move(completion)](const CopyResult& result) {
        QMetaObject::invokeMethod(
            this,
            [this, completion, destination = result.destination, failure = result.failure]() mutable {
                // A cancel pressed while the copy still showed as running
                // wins, even when the last block was already written.
                if (destination && m_cancelled->load()) {
                    QFile::remove(*destination);
                    destination.reset();
                }
                m_lastFailure = destination ? QString() : failure;
                setProgress(std::nullopt);
                if (completion)
                    completion(destination);
            },
            Qt::QueuedConnection);
    };
    setProgress(CopyProgress{0, job.total, 0.0});
    m_queue->async([job = std::move(job)] { runCopy(job); });
}

ModelCopier::CopyResult ModelCopier::copyFile(const QString& sourcePath, const QString& folder,
                                              const BlockHooks& hooks)
{
    if (!QDir().mkpath(folder))
        return failed(QStringLiteral("cannot create the folder %1").arg(folder));
    RegularFile source;
    if (!source.open(sourcePath))
        return failed(QStringLiteral("cannot open the source as a regular file"));
    QFile out;
    if (!createPartialFile(folder, out))
        return failed(QStringLiteral("cannot create a file in %1: %2").arg(folder, out.errorString()));
    const int64_t copied = copyBlocks(source, out, hooks);
    // A close that fails (a full disk or an I/O error reported late) means the
    // bytes may not all be there: the copy counts as failed.
    out.close();
    CopyResult result;
    if (copied == kReadOrWriteFailed)
        result.failure = QStringLiteral("a read or write failed");
    else if (copied == kCancelled || hooks.isCancelled())
        ; // a cancel that came during the last block wins too
    else if (out.error() != QFileDevice::NoError)
        result.failure = QStringLiteral("the copy could not be closed: %1").arg(out.errorString());
    else if (copied != source.size())
        result.failure = QStringLiteral("the source changed size during the copy: %1 bytes copied, %2 at the start")
                             .arg(copied)
                             .arg(source.size());
    else {
        result.destination = moveIntoPlace(out.fileName(), sourcePath, folder);
        if (!result.destination)
            result.failure = QStringLiteral("cannot name the copy in %1").arg(folder);
    }
    if (!result.destination)
        QFile::remove(out.fileName());
    return result;
}

bool ModelCopier::isPartialCopy(const QString& fileName)
{
    return fileName.startsWith(kPartialPrefix);
}

void ModelCopier::removePartialCopies(const QString& folder)
{
    const QDir dir(folder);
    const QStringList names
        = dir.entryList({QString(kPartialPrefix) + u'*'}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        QFile::remove(dir.filePath(name));
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
