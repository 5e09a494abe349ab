#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace cvn {

class SerialQueue;

// Where one model-file copy stands: bytes written so far, the source's size
// when the copy started (0 when it could not be read) and the average speed
// since then in MiB per second.
struct CopyProgress {
    int64_t copied = 0;
    int64_t total = 0;
    double mbPerSec = 0.0;

    friend bool operator==(const CopyProgress&, const CopyProgress&) = default;
};

// Brings a model file into the models folder by copying it in 1 MiB blocks on
// its own serial queue ("org.corvanthelis.model-copy"), keeping the source's
// name or the next free "name (n).ext".
//
// Threads: every member is called on the main thread. progress() changes and
// completions run there too, in the order the worker produced them: every
// block's progress, then the finish (progress becomes absent, then the
// completion runs once with the destination path, or with nothing on failure
// or cancellation, after any partial file was removed).
//
// Lifetime: give the copier an owner that outlives page switches. Destroying
// it mid-copy cancels, waits for the worker, removes the partial file and runs
// no completion; copies still queued behind it never start.
class ModelCopier : public QObject {
    Q_OBJECT

public:
    // Called on the main thread with the destination's path, or nothing.
    using Completion = std::function<void(std::optional<QString> destination)>;

    // Copies into modelsDirectory().
    explicit ModelCopier(QObject* parent = nullptr);
    // Copies into `folder` (tests and tools).
    explicit ModelCopier(QString folder, QObject* parent = nullptr);
    ~ModelCopier() override;

    const QString& folder() const { return m_folder; }

    // Present from importModel() until just before its completion runs.
    const std::optional<CopyProgress>& progress() const { return m_progress; }

    // Asks the running copy to stop after the block being written; a copy
    // that has not reached its loop yet stops before writing anything.
    void cancel() { m_cancelled->store(true); }
    bool isCancelled() const { return m_cancelled->load(); }

    // Clears the cancel flag, publishes {0, size of the source, 0} and queues
    // the copy; returns at once. A copy started while another runs waits for
    // it. Sources that are not regular files (a FIFO, a folder) fail without
    // blocking.
    void importModel(const QString& sourcePath, Completion completion);

    // "<application data folder>/models"; the application's folder may be
    // created, the models folder is not.
    static QString modelsDirectory();

    // The folder joined with the source's file name, or with "base (n).ext"
    // for the first n from 2 at which nothing (file, folder or dangling
    // symlink) exists yet. Checking is not reserving: the copier creates the
    // file exclusively and moves on to the next name if it lost a race.
    static QString uniqueDestination(const QString& sourcePath, const QString& folder);

    // "0 B", "1023 B", "1.5 KB", "4.7 GB", "1024 TB": steps of 1024, one
    // decimal dropped when whole.
    static QString formatByteCount(int64_t bytes);

    // A file name split at its last ".": {"a.b", "gguf"} for "a.b.gguf";
    // names without an extension ("model", ".hidden", "name.") give an
    // empty one.
    static std::pair<QString, QString> splitExtension(const QString& fileName);

signals:
    void progressChanged();

private:
    void setProgress(std::optional<CopyProgress> progress);

    QString m_folder;
    std::optional<CopyProgress> m_progress;
    // Shared with queued work so that a late worker never reads a freed flag.
    std::shared_ptr<std::atomic<bool>> m_cancelled;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    std::unique_ptr<SerialQueue> m_queue;
};

} // namespace cvn
