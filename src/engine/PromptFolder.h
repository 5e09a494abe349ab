#pragma once

// The reply cache's folder: the files of its entries and an index of them in
// memory (the body of PromptStore's disk side).
//
// A file holds the identity of what decoded its state, its tokens, the
// state, and a checksum of it all; its name is the hash of the identity and
// the tokens, so that the same entry written by two instances has one name.
// A file that does not add up (its head, its length, its checksum, or a name
// that is not the hash of what it holds) is damaged: it is logged, deleted
// and never read from.
//
// The index is kept by this copy's own writes and deletions. The folder is
// read again only when its time says that another program changed its list
// of names since the last look, so a reply costs a few system calls whatever
// the number of files. The folder's time has the kernel's clock tick as its
// grain: a change another program makes in the same tick as one of ours
// shows at the next change.
//
// Files are written under a temporary name, locked by their writer
// (platform/SharedFolder.h), then renamed into place. A temporary whose lock
// can be taken was left by a writer that died: it goes at the next look. One
// still being written counts toward the bytes held.
//
// Threads: any; reads and writes of files may run at once on several
// threads (the caller keeps writes apart from each other).

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace cvn {

class PromptFolder {
public:
    using State = std::vector<uint8_t>;

    struct Head {
        QString path;
        QByteArray identity;
        std::vector<int32_t> tokens;
        int64_t size = 0;
        int64_t modifiedMs = 0;
        size_t promptLength = 0;
    };
    struct Read {
        std::vector<int32_t> tokens;
        std::shared_ptr<const State> state;
        size_t promptLength = 0;
    };

    explicit PromptFolder(QString path);

    const QString& path() const { return m_path; }
    // The bytes a file of an entry takes: its head, tokens, state and checksum.
    static int64_t fileBytes(size_t tokenCount, size_t stateSize);
    // The name of the file of an entry.
    static QString fileName(const QByteArray& identity, const std::vector<int32_t>& tokens);

    // Reads the folder again when another program changed its names since
    // the last look, or when it was never read; and deletes the temporaries
    // last counted as being written whose writers have gone since.
    void refresh();
    // Calls `visit` with each entry file's head, under the index's lock:
    // `visit` must not call back into this folder.
    void forEach(const std::function<void(const Head&)>& visit) const;
    // Of entry files and temporaries being written, as last counted.
    int64_t bytes() const;
    // Full reads of the folder so far.
    int64_t scans() const { return m_scans.load(); }

    // The entry in the file at `path` when it is of `identity` and whole;
    // otherwise the file is logged as damaged and deleted. Marks it used.
    std::optional<Read> read(const QString& path, const QByteArray& identity);
    // Writes an entry's file in place of any of the same name; the system's
    // reason when it could not.
    std::optional<QString> write(const QByteArray& identity, const std::vector<int32_t>& tokens,
                                 size_t promptLength, const State& state);
    // Deletes entry files, and says so in the log when `damaged`.
    void remove(const std::vector<QString>& paths, bool damaged = false);
    // Deletes the least recently used entry files until `room` more bytes
    // fit within `budget`.
    void trim(int64_t budget, int64_t room);
    // Forgets every entry at once; removeAll() deletes their files.
    void forgetAll();
    void removeAll();

private:
    struct Temporary {
        QString path;
        int64_t size = 0;
    };
    class OwnChange;
    void scan(std::optional<int64_t> stamp);
    std::optional<Head> readHead(const QString& path, const QString& name);

    const QString m_path;
    std::mutex m_scanLock; // one read of the folder at a time
    mutable std::mutex m_lock; // guards the fields below
    std::vector<Head> m_heads;
    std::vector<Temporary> m_writing; // others' temporaries being written
    int64_t m_bytes = 0;
    bool m_scanned = false;
    std::optional<int64_t> m_stamp; // the folder's time at the last look
    int m_ownChanges = 0; // this copy's changes under way
    bool m_othersChanged = false; // and another program's came before one of them
    std::atomic<int64_t> m_scans{0};
};

} // namespace cvn
