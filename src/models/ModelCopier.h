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
// name or the next free "name (n).ext". The bytes go into a hidden file in the
// folder first (the folder scan skips hidden files) and take their name only
// once all of them are there, so a copy cut short by a crash or a kill never
// shows up as a model.
//
// Threads: every member is called on the main thread (the static ones on any).
// progress() changes and completions run there too, in the order the worker
// produced them: every block's progress, then the finish (progress becomes
// absent, then the completion runs once with the destination path, or with
// nothing on failure or cancellation, after any partial file was removed). A
// failure, unlike a cancel, is also logged with its reason.
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

    // Why the last copy failed, as the user reads it; empty after a success
    // or a cancel. Set before that copy's completion runs.
    const QString& lastFailure() const { return m_lastFailure; }

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

    // What one copy came to: the destination when the whole source arrived;
    // otherwise why not, empty when the copy was cancelled.
    struct CopyResult {
        std::optional<QString> destination;
        QString failure;
    };

    // Called by copyFile on its thread: after every block with the bytes
    // written so far and the average speed in MiB/s; and isCancelled before
    // the first block, after every block and once more before the copy takes
    // its name.
    struct BlockHooks {
        std::function<void(int64_t copied, double mbPerSec)> blockWritten;
        std::function<bool()> isCancelled;
    };

    // The copy itself, start to finish, on the calling thread (importModel
    // runs it on the queue). The source is copied into a new hidden file in
    // `folder` (created when missing); the copy fails when the bytes copied
    // differ from the source's size at open (it shrank or grew meanwhile).
    // The hidden file then takes uniqueDestination's name without replacing
    // anything there. After a failure or a cancel nothing of the copy is left
    // in the folder. Both hooks must be set.
    static CopyResult copyFile(const QString& sourcePath, const QString& folder, const BlockHooks& hooks);

    // Whether `fileName` is the hidden file of a copy still running or cut
    // short: it starts with ".partial-copy-".
    static bool isPartialCopy(const QString& fileName);

    // Deletes what copies cut short by a crash or a kill left directly in
    // `folder`. Only safe while no copy into that folder runs: the store
    // calls it when it starts, before any copy can.
    static void removePartialCopies(const QString& folder);

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
    QString m_lastFailure;
    // Shared with queued work so that a late worker never reads a freed flag.
    std::shared_ptr<std::atomic<bool>> m_cancelled;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    std::unique_ptr<SerialQueue> m_queue;
};

} // namespace cvn
