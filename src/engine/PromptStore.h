#pragma once

// The decoded states kept between runs, in memory and in files: the body of
// the reply cache (PromptCache is its face on the main thread).
//
// An entry is one sequence's state (llama_state_seq_get_data of sequence 0),
// the exact tokens it holds, and the identity of what decoded it: the model
// file's identity, the context size and the KV cache types. A state is only
// ever restored into a context of the same identity, so a model file that
// changed, another context size or other KV types never get one.
//
// Memory: entries are held least recently used first out, within the memory
// budget counted by the bytes actually held; an entry larger than the budget
// is not kept. Disk: each entry is also written to a file in folder(), on
// the store's own queue, under a temporary name renamed into place; the file
// carries the identity, the tokens and a checksum of it all, and one that
// does not match, is cut short or damaged is deleted and never restored
// from. Files go least recently used first (by their time) within the disk
// budget. A write that fails (a full or read-only disk) turns the disk off
// for the rest of the store's life, with one log line that names the cause.
// The folder is read again only when another program changed it
// (engine/PromptFolder.h).
//
// An entry whose tokens are a prefix of a newer one's, for the same
// identity, is dropped for the newer one, in memory and on disk. Several
// stores (app instances) may share one folder: file names are the hash of
// identity and tokens, temporary names are unique, and each file is
// verified when read.
//
// Threads: every function may be called from any thread (the model queues
// save and look up, the main thread reads usage and changes budgets).

#include "engine/PromptFolder.h"
#include "platform/FileIdentity.h"
#include "platform/SerialQueue.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace cvn {

// What a state can only be restored into: the same file, context size and
// KV cache types.
struct PromptIdentity {
    FileIdentity file;
    int64_t contextSize = 0;
    int32_t typeK = 0; // ggml_type of the K cache
    int32_t typeV = 0;
    // What else shapes the decoded state: the flash attention asked for and
    // the layers on the GPU (LlamaModel::promptIdentity).
    int32_t layout = 0;
    // The projector file whose embeddings an image's positions hold; none
    // for a model that reads text alone. A state holding an image is
    // another one under another projector.
    std::optional<FileIdentity> projector;

    QByteArray bytes() const; // a fixed-size encoding, for keys and file headers
    static constexpr int64_t byteCount = 10 * 8 + 4 * 4;
    friend bool operator==(const PromptIdentity&, const PromptIdentity&) = default;
};

class PromptStore {
public:
    using State = std::vector<uint8_t>;
    enum class Source { memory, disk };

    struct Found {
        std::vector<int32_t> tokens; // all the entry holds
        std::shared_ptr<const State> state;
        Source source = Source::memory;
        size_t promptLength = 0; // of `tokens`, the run's prompt
    };

    // `folder` is made on the first write.
    explicit PromptStore(QString folder);
    ~PromptStore();
    PromptStore(const PromptStore&) = delete;
    PromptStore& operator=(const PromptStore&) = delete;

    const QString& folder() const { return m_folder; }

    // Budgets in bytes; 0 turns that part off. Entries past a lowered budget
    // go at once (files on the store's queue).
    void setMemoryBudget(int64_t bytes);
    void setDiskBudget(int64_t bytes);
    int64_t memoryBudget() const;
    int64_t diskBudget() const;
    int64_t memoryBytes() const;
    int64_t diskBytes() const; // of entry files, as last counted

    // Called after saves, evictions and counts of the folder, from whichever
    // thread did them.
    void setOnChange(std::function<void()> onChange);

    // Keeps `tokens` with the state that `fill` writes into a buffer of
    // `size` bytes (fill returns false when it could not): in memory now,
    // on disk from the store's queue. A state larger than both budgets is
    // never asked for. The first `promptLength` tokens were the run's
    // prompt, the rest its reply as the model wrote it, which the next
    // prompt holds as its template renders it, often in other tokens: an
    // entry whose prompt the newer one extends is replaced by it, with its
    // file, since the newer one serves every prompt the older one's did.
    void save(const PromptIdentity& identity, const std::vector<int32_t>& tokens, size_t promptLength, size_t size,
              const std::function<bool(uint8_t* data, size_t size)>& fill);

    // The entry of `identity` sharing the longest prefix with `prompt`,
    // counted up to `most` tokens, when that prefix is longer than
    // `atLeast`: from memory, else from a verified file (which then also
    // goes into memory). Marks it used.
    std::optional<Found> find(const PromptIdentity& identity, const std::vector<int32_t>& prompt, int64_t most,
                              int64_t atLeast);

    // Forgets an entry whose state would not restore, and deletes its file;
    // with `damaged`, the log says the file was damaged.
    void drop(const PromptIdentity& identity, const std::vector<int32_t>& tokens, bool damaged = false);

    // Empties memory, and the folder on the store's queue.
    void clear();

    // Waits for the disk work submitted so far (tests and benchmarks).
    void flush();

    // Full reads of the folder so far (tests and benchmarks).
    int64_t folderScans() const { return m_folderIndex.scans(); }

    // The bytes a file of an entry takes: its header, tokens and state.
    static int64_t fileBytes(size_t tokenCount, size_t stateSize);

private:
    struct Entry {
        QByteArray identity;
        std::vector<int32_t> tokens;
        std::shared_ptr<const State> state;
        // The tokens that were its run's prompt.
        size_t promptLength = 0;
        int64_t bytes() const;
    };
    void evictMemoryLocked(int64_t room);
    void changed();
    // Disk side; on m_disk only.
    void writeFile(const QByteArray& identity, const std::vector<int32_t>& tokens, size_t promptLength,
                   const std::shared_ptr<const State>& state);
    void failDisk(const QString& why);

    const QString m_folder;
    PromptFolder m_folderIndex; // its files, and what they hold; guards itself
    mutable std::mutex m_lock; // guards the fields below
    std::list<Entry> m_entries; // most recently used first
    int64_t m_memoryBytes = 0;
    int64_t m_memoryBudget = 0;
    int64_t m_diskBudget = 0;
    uint64_t m_clears = 0; // writes queued before a clear are dropped
    // Writes waiting for the disk. A newer save of the same chat drops the
    // state of one it replaces, so that saves coming faster than the disk
    // writes hold no copies beyond the memory budget.
    std::list<std::shared_ptr<Entry>> m_queued;
    std::function<void()> m_onChange;

    std::atomic<bool> m_diskOff{false};
    std::mutex m_diskLock; // one write or clear of the folder at a time
    SerialQueue m_disk{QStringLiteral("org.corvanthelis.promptcache.disk"), QStringLiteral("cvn.cache.disk")};
};

} // namespace cvn
