#include "engine/PromptStore.h"

#include "platform/Logging.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

namespace cvn {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'N', 'K', 'V', '0', '0', '2'};
constexpr qint64 kIdentityBytes = 5 * 8 + 4 * 4; // PromptIdentity::bytes()
// magic, identity, token count (4), the prompt's share of them (4), state size (8)
constexpr qint64 kHeadBytes = 8 + kIdentityBytes + 4 + 4 + 8;
constexpr qint64 kPromptAt = 8 + kIdentityBytes + 4;
constexpr qint64 kStateSizeAt = kPromptAt + 4;
constexpr qint64 kChecksumBytes = 8;
const QString kSuffix = QStringLiteral(".kv");
// A temporary file this old was left by a process that died while writing.
constexpr qint64 kStaleTempMs = 10 * 60 * 1000;

template <typename T> void put(QByteArray& out, T value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T> T take(const char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A 64-bit checksum fast enough for states of hundreds of megabytes: eight
// bytes at a time, each mixed by a multiplication. Only damage is to be
// caught, not an adversary.
class Checksum {
public:
    void add(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            mix(word);
        }
        uint64_t tail = 0;
        std::memcpy(&tail, bytes + i, size - i);
        mix(tail ^ (uint64_t(size - i) << 56));
    }
    uint64_t value() const { return m_hash ^ (m_hash >> 29); }

private:
    void mix(uint64_t word)
    {
        m_hash ^= word;
        m_hash *= 0x9E3779B97F4A7C15ull;
        m_hash ^= m_hash >> 32;
    }
    uint64_t m_hash = 0xCBF29CE484222325ull;
};

QByteArray tokenBytes(const std::vector<int32_t>& tokens)
{
    return QByteArray(reinterpret_cast<const char*>(tokens.data()), qsizetype(tokens.size() * sizeof(int32_t)));
}

QString fileNameFor(const QByteArray& identity, const std::vector<int32_t>& tokens)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(identity);
    hash.addData(tokenBytes(tokens));
    return QString::fromLatin1(hash.result().toHex()) + kSuffix;
}

int64_t sharedPrefix(const std::vector<int32_t>& a, const std::vector<int32_t>& b, int64_t most)
{
    const auto n = std::min<int64_t>({int64_t(a.size()), int64_t(b.size()), most});
    return std::mismatch(a.begin(), a.begin() + n, b.begin()).first - a.begin();
}

} // namespace

QByteArray PromptIdentity::bytes() const
{
    QByteArray out;
    put(out, file.device);
    put(out, file.inode);
    put(out, file.size);
    put(out, file.modifiedNs);
    put(out, file.changedNs);
    put(out, int32_t(contextSize));
    put(out, typeK);
    put(out, typeV);
    put(out, layout);
    Q_ASSERT(out.size() == kIdentityBytes);
    return out;
}

int64_t PromptStore::Entry::bytes() const
{
    return int64_t(state ? state->size() : 0) + int64_t(tokens.size() * sizeof(int32_t));
}

int64_t PromptStore::fileBytes(size_t tokenCount, size_t stateSize)
{
    return kHeadBytes + int64_t(tokenCount * sizeof(int32_t)) + int64_t(stateSize) + kChecksumBytes;
}

PromptStore::PromptStore(QString folder)
    : m_folder(std::move(folder))
{
    // The folder's count is known soon after start, off the caller's thread.
    m_disk.async([this] { scanFolder(); });
}

PromptStore::~PromptStore()
{
    flush();
}

void PromptStore::setOnChange(std::function<void()> onChange)
{
    std::lock_guard lock(m_lock);
    m_onChange = std::move(onChange);
}

void PromptStore::changed()
{
    std::function<void()> onChange;
    {
        std::lock_guard lock(m_lock);
        onChange = m_onChange;
    }
    if (onChange)
        onChange();
}

void PromptStore::setMemoryBudget(int64_t bytes)
{
    {
        std::lock_guard lock(m_lock);
        m_memoryBudget = std::max<int64_t>(0, bytes);
        evictMemoryLocked(0);
    }
    changed();
}

void PromptStore::setDiskBudget(int64_t bytes)
{
    {
        std::lock_guard lock(m_lock);
        m_diskBudget = std::max<int64_t>(0, bytes);
    }
    m_disk.async([this] {
        trimFolder(0);
        changed();
    });
}

int64_t PromptStore::memoryBudget() const
{
    std::lock_guard lock(m_lock);
    return m_memoryBudget;
}

int64_t PromptStore::diskBudget() const
{
    std::lock_guard lock(m_lock);
    return m_diskBudget;
}

int64_t PromptStore::memoryBytes() const
{
    std::lock_guard lock(m_lock);
    return m_memoryBytes;
}

int64_t PromptStore::diskBytes() const
{
    std::lock_guard lock(m_lock);
    return m_diskBytes;
}

void PromptStore::evictMemoryLocked(int64_t room)
{
    while (!m_entries.empty() && m_memoryBytes + room > m_memoryBudget) {
        m_memoryBytes -= m_entries.back().bytes();
        m_entries.pop_back();
    }
}

void PromptStore::save(const PromptIdentity& identity, const std::vector<int32_t>& tokens, size_t promptLength,
                       size_t size, const std::function<bool(uint8_t*, size_t)>& fill)
{
    if (tokens.empty() || size == 0)
        return;
    const QByteArray key = identity.bytes();
    const int64_t bytes = int64_t(size) + int64_t(tokens.size() * sizeof(int32_t));
    bool inMemory = false;
    bool onDisk = false;
    uint64_t clears = 0;
    {
        std::lock_guard lock(m_lock);
        inMemory = bytes <= m_memoryBudget;
        onDisk = !m_diskOff.load() && fileBytes(tokens.size(), size) <= m_diskBudget;
    }
    // An entry that is not kept replaces nothing.
    if (!inMemory && !onDisk) {
        changed();
        return;
    }
    {
        std::lock_guard lock(m_lock);
        // The newer entry replaces those it extends, one with the same
        // tokens, and those whose prompt it extends though not their reply.
        // Their files go only when its own is written (writeFile): one kept
        // in memory alone leaves them for the next start.
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            const size_t prompt = std::min(it->promptLength, it->tokens.size());
            if (it->identity == key && prompt <= tokens.size()
                && std::equal(it->tokens.begin(), it->tokens.begin() + std::ptrdiff_t(prompt), tokens.begin())) {
                m_memoryBytes -= it->bytes();
                it = m_entries.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = m_queued.begin(); it != m_queued.end();) {
            const Entry& queued = **it;
            const size_t prompt = std::min(queued.promptLength, queued.tokens.size());
            if (queued.identity == key && prompt <= tokens.size()
                && std::equal(queued.tokens.begin(), queued.tokens.begin() + std::ptrdiff_t(prompt), tokens.begin())) {
                (*it)->state.reset();
                it = m_queued.erase(it);
            } else {
                ++it;
            }
        }
        // Room is made before the state is read, so that what is held never
        // passes the budget, not even for a moment.
        if (inMemory)
            evictMemoryLocked(bytes);
        clears = m_clears;
    }
    auto state = std::make_shared<State>(size);
    if (!fill(state->data(), size)) {
        changed();
        return;
    }
    if (inMemory) {
        std::lock_guard lock(m_lock);
        // Another thread may have saved, emptied the cache or lowered its
        // budget while the state was read.
        if (clears == m_clears && bytes <= m_memoryBudget) {
            evictMemoryLocked(bytes);
            m_entries.push_front(Entry{key, tokens, state, std::min(promptLength, tokens.size())});
            m_memoryBytes += bytes;
        }
    }
    changed();
    if (onDisk) {
        auto queued = std::make_shared<Entry>(Entry{key, tokens, state, std::min(promptLength, tokens.size())});
        {
            std::lock_guard lock(m_lock);
            if (clears != m_clears)
                return;
            m_queued.push_back(queued);
        }
        m_disk.async([this, queued] {
            std::shared_ptr<const State> written;
            {
                std::lock_guard lock(m_lock);
                m_queued.remove(queued);
                written = std::exchange(queued->state, nullptr);
            }
            if (!written)
                return; // replaced by a newer save, or the cache was emptied
            writeFile(queued->identity, queued->tokens, queued->promptLength, written);
            changed();
        });
    }
}

std::optional<PromptStore::Found> PromptStore::find(const PromptIdentity& identity,
                                                    const std::vector<int32_t>& prompt, int64_t most,
                                                    int64_t atLeast)
{
    const QByteArray key = identity.bytes();
    {
        std::lock_guard lock(m_lock);
        auto best = m_entries.end();
        int64_t bestShared = atLeast;
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->identity != key)
                continue;
            if (const int64_t shared = sharedPrefix(it->tokens, prompt, most); shared > bestShared) {
                best = it;
                bestShared = shared;
            }
        }
        if (best != m_entries.end()) {
            m_entries.splice(m_entries.begin(), m_entries, best);
            return Found{best->tokens, best->state, Source::memory, best->promptLength};
        }
    }
    if (m_diskOff.load() || diskBudget() == 0)
        return std::nullopt;
    uint64_t clears = 0;
    {
        std::lock_guard lock(m_lock);
        clears = m_clears;
    }
    // Another instance may have written files since the last look.
    scanFolder();
    std::vector<FileHead> candidates;
    {
        std::lock_guard lock(m_lock);
        for (const FileHead& head : m_files)
            if (head.identity == key && sharedPrefix(head.tokens, prompt, most) > atLeast)
                candidates.push_back(head);
    }
    std::sort(candidates.begin(), candidates.end(), [&](const FileHead& a, const FileHead& b) {
        return sharedPrefix(a.tokens, prompt, most) > sharedPrefix(b.tokens, prompt, most);
    });
    for (const FileHead& head : candidates) {
        std::optional<Found> found = readFile(head.path, key);
        if (!found)
            continue; // deleted as damaged; the next one may do
        const int64_t bytes = int64_t(found->state->size()) + int64_t(found->tokens.size() * sizeof(int32_t));
        {
            std::lock_guard lock(m_lock);
            // Not kept when the cache was emptied while the file was read.
            if (clears == m_clears && bytes <= m_memoryBudget) {
                evictMemoryLocked(bytes);
                m_entries.push_front(Entry{key, found->tokens, found->state, found->promptLength});
                m_memoryBytes += bytes;
            }
        }
        changed();
        return found;
    }
    return std::nullopt;
}

void PromptStore::drop(const PromptIdentity& identity, const std::vector<int32_t>& tokens)
{
    const QByteArray key = identity.bytes();
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->identity == key && it->tokens == tokens) {
                m_memoryBytes -= it->bytes();
                m_entries.erase(it);
                break;
            }
        }
    }
    QFile::remove(m_folder + QLatin1Char('/') + fileNameFor(key, tokens));
    changed();
}

void PromptStore::clear()
{
    {
        std::lock_guard lock(m_lock);
        m_entries.clear();
        m_memoryBytes = 0;
        m_files.clear();
        m_diskBytes = 0;
        ++m_clears;
        for (const std::shared_ptr<Entry>& queued : m_queued)
            queued->state.reset();
        m_queued.clear();
    }
    m_disk.async([this] {
        std::lock_guard disk(m_diskLock);
        const QDir dir(m_folder);
        for (const QString& name : dir.entryList({QStringLiteral("*") + kSuffix}, QDir::Files))
            QFile::remove(dir.filePath(name));
        {
            std::lock_guard lock(m_lock);
            m_files.clear();
            m_diskBytes = 0;
        }
        changed();
    });
}

void PromptStore::flush()
{
    m_disk.sync([] {});
}

void PromptStore::failDisk(const QString& why)
{
    if (!m_diskOff.exchange(true))
        qCWarning(lcRuntime, "The reply cache stops writing to disk: %s", qUtf8Printable(why));
}

void PromptStore::writeFile(const QByteArray& identity, const std::vector<int32_t>& tokens, size_t promptLength,
                            const std::shared_ptr<const State>& state)
{
    if (m_diskOff.load())
        return;
    std::lock_guard disk(m_diskLock);
    const int64_t size = fileBytes(tokens.size(), state->size());
    if (!QDir().mkpath(m_folder))
        return failDisk(QStringLiteral("its folder could not be made: ") + m_folder);
    scanFolder();
    // Files this one extends go first; then the least recently used, until
    // the new one fits.
    {
        std::vector<QString> extended;
        {
            std::lock_guard lock(m_lock);
            for (const FileHead& head : m_files)
                if (head.identity == identity && head.promptLength <= tokens.size()
                    && std::equal(head.tokens.begin(), head.tokens.begin() + std::ptrdiff_t(head.promptLength),
                                  tokens.begin()))
                    extended.push_back(head.path);
        }
        for (const QString& path : extended)
            QFile::remove(path);
        if (!extended.empty())
            scanFolder();
    }
    trimFolder(size);

    QByteArray head;
    head.append(kMagic, sizeof kMagic);
    head.append(identity);
    put(head, uint32_t(tokens.size()));
    put(head, uint32_t(promptLength));
    put(head, uint64_t(state->size()));
    // Summed in the pieces a reader reads.
    Checksum sum;
    sum.add(head.constData(), size_t(head.size()));
    sum.add(tokens.data(), tokens.size() * sizeof(int32_t));
    sum.add(state->data(), state->size());
    head.append(tokenBytes(tokens));
    QByteArray tail;
    put(tail, sum.value());

    const QString finalPath = m_folder + QLatin1Char('/') + fileNameFor(identity, tokens);
    const QString tempPath = finalPath + QLatin1Char('.') + QUuid::createUuid().toString(QUuid::Id128)
                             + QStringLiteral(".tmp");
    QFile file(tempPath);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    ok = ok && file.write(head) == head.size();
    ok = ok && file.write(reinterpret_cast<const char*>(state->data()), qint64(state->size())) == qint64(state->size());
    ok = ok && file.write(tail) == tail.size();
    ok = ok && file.flush();
    const QString error = file.errorString();
    file.close();
    if (ok) {
        // rename(2) replaces a file of the same name (the same entry, written
        // by another instance) in one step.
        ok = ::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(finalPath).constData()) == 0;
    }
    if (!ok) {
        QFile::remove(tempPath);
        failDisk(error.isEmpty() ? QStringLiteral("a file could not be written in ") + m_folder : error);
        return;
    }
    scanFolder();
}

void PromptStore::scanFolder()
{
    const QDir dir(m_folder);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::vector<FileHead> known;
    {
        std::lock_guard lock(m_lock);
        known = m_files;
    }
    std::vector<FileHead> files;
    int64_t total = 0;
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files)) {
        const QString name = info.fileName();
        const int64_t modified = info.lastModified().toMSecsSinceEpoch();
        if (name.endsWith(QStringLiteral(".tmp"))) {
            if (now - modified > kStaleTempMs)
                QFile::remove(info.filePath());
            continue;
        }
        if (!name.endsWith(kSuffix))
            continue;
        const auto same = std::find_if(known.begin(), known.end(), [&](const FileHead& h) {
            return h.path == info.filePath() && h.size == info.size() && h.modifiedMs == modified;
        });
        if (same != known.end()) {
            files.push_back(*same);
            total += same->size;
            continue;
        }
        // A new file: its head says what it holds; one whose head or length
        // does not add up is of no use to anyone.
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray head = file.read(kHeadBytes);
        bool good = head.size() == kHeadBytes && std::memcmp(head.constData(), kMagic, sizeof kMagic) == 0;
        FileHead entry{info.filePath(), {}, {}, info.size(), modified};
        if (good) {
            entry.identity = head.mid(8, kIdentityBytes);
            const auto count = take<uint32_t>(head.constData() + 8 + kIdentityBytes);
            entry.promptLength = take<uint32_t>(head.constData() + kPromptAt);
            const auto stateSize = take<uint64_t>(head.constData() + kStateSizeAt);
            good = stateSize > 0 && entry.promptLength <= count && fileBytes(count, stateSize) == info.size();
            if (good) {
                const QByteArray tokens = file.read(qint64(count) * 4);
                good = tokens.size() == qint64(count) * 4;
                entry.tokens.resize(count);
                if (good && count > 0)
                    std::memcpy(entry.tokens.data(), tokens.constData(), size_t(tokens.size()));
            }
        }
        file.close();
        if (!good) {
            qCInfo(lcRuntime, "Reply cache file damaged, deleted: %s", qUtf8Printable(name));
            QFile::remove(info.filePath());
            continue;
        }
        files.push_back(std::move(entry));
        total += info.size();
    }
    {
        std::lock_guard lock(m_lock);
        m_files = std::move(files);
        m_diskBytes = total;
    }
}

void PromptStore::trimFolder(int64_t room)
{
    std::vector<FileHead> files;
    int64_t total = 0;
    int64_t budget = 0;
    {
        std::lock_guard lock(m_lock);
        files = m_files;
        total = m_diskBytes;
        budget = m_diskBudget;
    }
    std::sort(files.begin(), files.end(),
              [](const FileHead& a, const FileHead& b) { return a.modifiedMs < b.modifiedMs; });
    bool removed = false;
    for (const FileHead& head : files) {
        if (total + room <= budget)
            break;
        QFile::remove(head.path);
        total -= head.size;
        removed = true;
    }
    if (removed)
        scanFolder();
}

std::optional<PromptStore::Found> PromptStore::readFile(const QString& path, const QByteArray& identity)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(kHeadBytes);
    std::optional<Found> found;
    if (head.size() == kHeadBytes && std::memcmp(head.constData(), kMagic, sizeof kMagic) == 0
        && head.mid(8, kIdentityBytes) == identity) {
        const auto count = take<uint32_t>(head.constData() + 8 + kIdentityBytes);
        const auto promptLength = take<uint32_t>(head.constData() + kPromptAt);
        const auto stateSize = take<uint64_t>(head.constData() + kStateSizeAt);
        if (stateSize > 0 && promptLength <= count && fileBytes(count, stateSize) == file.size()) {
            Found entry;
            entry.source = Source::disk;
            entry.promptLength = promptLength;
            entry.tokens.resize(count);
            auto state = std::make_shared<State>(stateSize);
            uint64_t stored = 0;
            const qint64 tokenBytes = qint64(count) * 4;
            if (file.read(reinterpret_cast<char*>(entry.tokens.data()), tokenBytes) == tokenBytes
                && file.read(reinterpret_cast<char*>(state->data()), qint64(stateSize)) == qint64(stateSize)
                && file.read(reinterpret_cast<char*>(&stored), 8) == 8) {
                Checksum sum;
                sum.add(head.constData(), size_t(head.size()));
                sum.add(entry.tokens.data(), size_t(tokenBytes));
                sum.add(state->data(), state->size());
                if (sum.value() == stored) {
                    entry.state = std::move(state);
                    found = std::move(entry);
                }
            }
        }
    }
    file.close();
    if (!found) {
        qCInfo(lcRuntime, "Reply cache file damaged, deleted: %s", qUtf8Printable(QFileInfo(path).fileName()));
        QFile::remove(path);
        return std::nullopt;
    }
    // Used now: the last file to go.
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, 0);
    return found;
}

} // namespace cvn
