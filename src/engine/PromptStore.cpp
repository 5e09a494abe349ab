#include "engine/PromptStore.h"

#include "platform/Logging.h"

#include <algorithm>
#include <utility>

namespace cvn {

namespace {

template <typename T> void put(QByteArray& out, T value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
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
    const FileIdentity none;
    const FileIdentity& projectorFile = projector ? *projector : none;
    put(out, projectorFile.device);
    put(out, projectorFile.inode);
    put(out, projectorFile.size);
    put(out, projectorFile.modifiedNs);
    put(out, projectorFile.changedNs);
    Q_ASSERT(out.size() == byteCount);
    return out;
}

int64_t PromptStore::Entry::bytes() const
{
    return int64_t(state ? state->size() : 0) + int64_t(tokens.size() * sizeof(int32_t));
}

int64_t PromptStore::fileBytes(size_t tokenCount, size_t stateSize)
{
    return PromptFolder::fileBytes(tokenCount, stateSize);
}

PromptStore::PromptStore(QString folder)
    : m_folder(std::move(folder))
    , m_folderIndex(m_folder)
{
    // The folder's count is known soon after start, off the caller's thread.
    m_disk.async([this] {
        m_folderIndex.refresh();
        changed();
    });
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
        std::lock_guard disk(m_diskLock);
        m_folderIndex.refresh();
        m_folderIndex.trim(diskBudget(), 0);
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
    return m_folderIndex.bytes();
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
    m_folderIndex.refresh();
    std::vector<std::pair<int64_t, QString>> candidates;
    m_folderIndex.forEach([&](const PromptFolder::Head& head) {
        if (head.identity != key)
            return;
        if (const int64_t shared = sharedPrefix(head.tokens, prompt, most); shared > atLeast)
            candidates.emplace_back(shared, head.path);
    });
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [shared, path] : candidates) {
        std::optional<PromptFolder::Read> read = m_folderIndex.read(path, key);
        if (!read)
            continue; // deleted as damaged; the next one may do
        Found found{std::move(read->tokens), std::move(read->state), Source::disk, read->promptLength};
        const int64_t bytes = int64_t(found.state->size()) + int64_t(found.tokens.size() * sizeof(int32_t));
        {
            std::lock_guard lock(m_lock);
            // Not kept when the cache was emptied while the file was read.
            if (clears == m_clears && bytes <= m_memoryBudget) {
                evictMemoryLocked(bytes);
                m_entries.push_front(Entry{key, found.tokens, found.state, found.promptLength});
                m_memoryBytes += bytes;
            }
        }
        changed();
        return found;
    }
    return std::nullopt;
}

void PromptStore::drop(const PromptIdentity& identity, const std::vector<int32_t>& tokens, bool damaged)
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
    m_folderIndex.remove({m_folder + QLatin1Char('/') + PromptFolder::fileName(key, tokens)}, damaged);
    changed();
}

void PromptStore::clear()
{
    {
        std::lock_guard lock(m_lock);
        m_entries.clear();
        m_memoryBytes = 0;
        ++m_clears;
        for (const std::shared_ptr<Entry>& queued : m_queued)
            queued->state.reset();
        m_queued.clear();
    }
    m_folderIndex.forgetAll();
    m_disk.async([this] {
        std::lock_guard disk(m_diskLock);
        m_folderIndex.removeAll();
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
    m_folderIndex.refresh();
    // Files this one extends go first; then the least recently used, until
    // the new one fits.
    std::vector<QString> extended;
    m_folderIndex.forEach([&](const PromptFolder::Head& head) {
        if (head.identity == identity && head.promptLength <= tokens.size()
            && std::equal(head.tokens.begin(), head.tokens.begin() + std::ptrdiff_t(head.promptLength),
                          tokens.begin()))
            extended.push_back(head.path);
    });
    m_folderIndex.remove(extended);
    m_folderIndex.trim(diskBudget(), fileBytes(tokens.size(), state->size()));
    if (const std::optional<QString> error = m_folderIndex.write(identity, tokens, promptLength, *state))
        failDisk(*error);
}

} // namespace cvn
