#include "engine/PromptFolder.h"

#include "engine/PromptStore.h"
#include "platform/Logging.h"
#include "platform/SharedFolder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cvn {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'N', 'K', 'V', '0', '0', '3'};
constexpr qint64 kIdentityBytes = PromptIdentity::byteCount;
// magic, identity, token count (4), the prompt's share of them (4), state size (8)
constexpr qint64 kHeadBytes = 8 + kIdentityBytes + 4 + 4 + 8;
constexpr qint64 kCountAt = 8 + kIdentityBytes;
constexpr qint64 kPromptAt = kCountAt + 4;
constexpr qint64 kStateSizeAt = kPromptAt + 4;
constexpr qint64 kChecksumBytes = 8;
const QString kSuffix = QStringLiteral(".kv");
const QString kTemporarySuffix = QStringLiteral(".tmp");

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

// What a file's head says; nothing when it cannot be a file of ours.
struct HeadFields {
    QByteArray identity;
    uint32_t count = 0;
    uint32_t promptLength = 0;
    uint64_t stateSize = 0;
};

std::optional<HeadFields> parseHead(const QByteArray& head, int64_t fileSize)
{
    if (head.size() != kHeadBytes || std::memcmp(head.constData(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    HeadFields fields{head.mid(8, kIdentityBytes), take<uint32_t>(head.constData() + kCountAt),
                      take<uint32_t>(head.constData() + kPromptAt), take<uint64_t>(head.constData() + kStateSizeAt)};
    if (fields.stateSize == 0 || fields.promptLength > fields.count
        || fields.stateSize > uint64_t(fileSize) // before fileBytes() adds it up
        || PromptFolder::fileBytes(fields.count, fields.stateSize) != fileSize)
        return std::nullopt;
    return fields;
}

QString nameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

// This copy changes the folder: a look meanwhile would take the change for
// another program's, so none is taken, and the folder's time after it is
// the one the index stands for.
class PromptFolder::OwnChange {
public:
    // The folder's time is read under the lock, so that a look or another
    // of this copy's changes between the reading and the count can't take
    // a time of this copy's own for another program's.
    explicit OwnChange(PromptFolder& folder) : m_folder(folder)
    {
        std::lock_guard lock(m_folder.m_lock);
        if (m_folder.m_ownChanges++ > 0)
            return;
        // Another program changed it first: the next look reads it again.
        if (!m_folder.m_scanned || folderChangedNs(m_folder.m_path) != m_folder.m_stamp)
            m_folder.m_othersChanged = true;
    }
    ~OwnChange()
    {
        std::lock_guard lock(m_folder.m_lock);
        if (--m_folder.m_ownChanges > 0)
            return;
        if (!m_folder.m_othersChanged)
            m_folder.m_stamp = folderChangedNs(m_folder.m_path);
        m_folder.m_othersChanged = false;
    }

private:
    PromptFolder& m_folder;
};

PromptFolder::PromptFolder(QString path)
    : m_path(std::move(path))
{
}

int64_t PromptFolder::fileBytes(size_t tokenCount, size_t stateSize)
{
    return kHeadBytes + int64_t(tokenCount * sizeof(int32_t)) + int64_t(stateSize) + kChecksumBytes;
}

QString PromptFolder::fileName(const QByteArray& identity, const std::vector<int32_t>& tokens)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(identity);
    hash.addData(tokenBytes(tokens));
    return QString::fromLatin1(hash.result().toHex()) + kSuffix;
}

void PromptFolder::refresh()
{
    std::lock_guard scanning(m_scanLock);
    std::optional<int64_t> stamp;
    std::vector<Temporary> writing;
    bool rescan = false;
    {
        std::lock_guard lock(m_lock);
        stamp = folderChangedNs(m_path);
        if (m_scanned && (stamp == m_stamp || m_ownChanges > 0))
            writing = m_writing;
        else
            rescan = true;
    }
    if (rescan)
        return scan(stamp);
    // Nothing else changed: only the writers last seen may have gone since.
    std::vector<QString> gone;
    for (const Temporary& temporary : writing)
        if (removeIfUnlocked(temporary.path))
            gone.push_back(temporary.path);
    if (gone.empty())
        return;
    OwnChange own(*this);
    std::lock_guard lock(m_lock);
    std::erase_if(m_writing, [&](const Temporary& t) {
        if (std::find(gone.begin(), gone.end(), t.path) == gone.end())
            return false;
        m_bytes -= t.size;
        return true;
    });
}

void PromptFolder::scan(std::optional<int64_t> stamp)
{
    ++m_scans;
    QHash<QString, Head> known;
    {
        std::lock_guard lock(m_lock);
        for (const Head& head : m_heads)
            known.insert(nameOf(head.path), head);
    }
    std::vector<Head> heads;
    std::vector<Temporary> writing;
    int64_t total = 0;
    for (const QString& name : folderNames(m_path)) {
        const QString path = m_path + QLatin1Char('/') + name;
        if (name.endsWith(kTemporarySuffix)) {
            if (removeIfUnlocked(path))
                continue;
            if (const std::optional<FolderFile> file = folderFile(path)) {
                writing.push_back({path, file->size});
                total += file->size;
            }
            continue;
        }
        if (!name.endsWith(kSuffix))
            continue;
        // A name stands for one content: a file known by its name is the
        // one indexed, whoever wrote it last.
        if (const auto same = known.constFind(name); same != known.constEnd()) {
            heads.push_back(*same);
            total += same->size;
            continue;
        }
        if (std::optional<Head> head = readHead(path, name)) {
            total += head->size;
            heads.push_back(std::move(*head));
        }
    }
    std::lock_guard lock(m_lock);
    m_heads = std::move(heads);
    m_writing = std::move(writing);
    m_bytes = total;
    m_scanned = true;
    // The time from before the names were read: a change meanwhile shows
    // at the next look.
    m_stamp = stamp;
}

std::optional<PromptFolder::Head> PromptFolder::readHead(const QString& path, const QString& name)
{
    const std::optional<FolderFile> facts = folderFile(path);
    if (!facts)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::optional<Head> head;
    if (const std::optional<HeadFields> fields = parseHead(file.read(kHeadBytes), facts->size)) {
        const QByteArray tokens = file.read(qint64(fields->count) * 4);
        if (tokens.size() == qint64(fields->count) * 4) {
            head = Head{path, fields->identity, std::vector<int32_t>(fields->count), facts->size, facts->modifiedMs,
                        fields->promptLength};
            if (fields->count > 0)
                std::memcpy(head->tokens.data(), tokens.constData(), size_t(tokens.size()));
            if (fileName(head->identity, head->tokens) != name)
                head.reset();
        }
    }
    file.close();
    if (!head) {
        qCInfo(lcRuntime, "Reply cache file damaged, deleted: %s", qUtf8Printable(name));
        QFile::remove(path);
    }
    return head;
}

void PromptFolder::forEach(const std::function<void(const Head&)>& visit) const
{
    std::lock_guard lock(m_lock);
    for (const Head& head : m_heads)
        visit(head);
}

int64_t PromptFolder::bytes() const
{
    std::lock_guard lock(m_lock);
    return m_bytes;
}

std::optional<PromptFolder::Read> PromptFolder::read(const QString& path, const QByteArray& identity)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(kHeadBytes);
    std::optional<Read> found;
    const std::optional<HeadFields> fields = parseHead(head, file.size());
    if (fields && fields->identity == identity) {
        Read entry;
        entry.promptLength = fields->promptLength;
        entry.tokens.resize(fields->count);
        auto state = std::make_shared<State>(fields->stateSize);
        uint64_t stored = 0;
        const qint64 tokenBytes = qint64(fields->count) * 4;
        if (file.read(reinterpret_cast<char*>(entry.tokens.data()), tokenBytes) == tokenBytes
            && fileName(identity, entry.tokens) == nameOf(path)
            && file.read(reinterpret_cast<char*>(state->data()), qint64(state->size())) == qint64(state->size())
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
    file.close();
    if (!found) {
        remove({path}, true);
        return std::nullopt;
    }
    // Used now: the last file to go.
    touchFile(path);
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    std::lock_guard lock(m_lock);
    for (Head& known : m_heads)
        if (known.path == path)
            known.modifiedMs = now;
    return found;
}

std::optional<QString> PromptFolder::write(const QByteArray& identity, const std::vector<int32_t>& tokens,
                                           size_t promptLength, const State& state)
{
    if (!QDir().mkpath(m_path))
        return QStringLiteral("its folder could not be made: ") + m_path;
    QByteArray head;
    head.append(kMagic, sizeof kMagic);
    head.append(identity);
    put(head, uint32_t(tokens.size()));
    put(head, uint32_t(promptLength));
    put(head, uint64_t(state.size()));
    // Summed in the pieces a reader reads.
    Checksum sum;
    sum.add(head.constData(), size_t(head.size()));
    sum.add(tokens.data(), tokens.size() * sizeof(int32_t));
    sum.add(state.data(), state.size());
    head.append(tokenBytes(tokens));
    QByteArray tail;
    put(tail, sum.value());

    OwnChange own(*this);
    const QString finalPath = m_path + QLatin1Char('/') + fileName(identity, tokens);
    std::unique_ptr<LockedFile> file;
    QString tempPath, error;
    // Another instance's look may take a file for a dead writer's in the
    // moment between its making and its lock: then it is made again.
    for (int attempt = 0; attempt < 3 && !file; ++attempt) {
        tempPath = finalPath + QLatin1Char('.') + QUuid::createUuid().toString(QUuid::Id128) + kTemporarySuffix;
        file = LockedFile::create(tempPath, &error);
    }
    if (!file)
        return error;
    if (!file->write(head.constData(), head.size()) || !file->write(state.data(), int64_t(state.size()))
        || !file->write(tail.constData(), tail.size())) {
        error = file->error();
        file.reset();
        QFile::remove(tempPath);
        return error;
    }
    // rename(2) replaces a file of the same name (the same entry, written
    // by another instance) in one step.
    if (std::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(finalPath).constData()) != 0) {
        error = qt_error_string(errno);
        file.reset();
        QFile::remove(tempPath);
        return error;
    }
    file.reset();
    Head written{finalPath, identity, tokens, fileBytes(tokens.size(), state.size()),
                 QDateTime::currentMSecsSinceEpoch(), promptLength};
    std::lock_guard lock(m_lock);
    for (auto it = m_heads.begin(); it != m_heads.end(); ++it) {
        if (it->path == finalPath) {
            m_bytes -= it->size;
            m_heads.erase(it);
            break;
        }
    }
    m_bytes += written.size;
    m_heads.push_back(std::move(written));
    return std::nullopt;
}

void PromptFolder::remove(const std::vector<QString>& paths, bool damaged)
{
    if (paths.empty())
        return;
    OwnChange own(*this);
    for (const QString& path : paths) {
        if (damaged)
            qCInfo(lcRuntime, "Reply cache file damaged, deleted: %s", qUtf8Printable(nameOf(path)));
        QFile::remove(path);
    }
    std::lock_guard lock(m_lock);
    std::erase_if(m_heads, [&](const Head& head) {
        if (std::find(paths.begin(), paths.end(), head.path) == paths.end())
            return false;
        m_bytes -= head.size;
        return true;
    });
}

void PromptFolder::trim(int64_t budget, int64_t room)
{
    std::vector<std::pair<int64_t, Head>> heads;
    int64_t total = 0;
    {
        std::lock_guard lock(m_lock);
        for (const Head& head : m_heads)
            heads.emplace_back(head.modifiedMs, Head{head.path, {}, {}, head.size, head.modifiedMs, 0});
        total = m_bytes;
    }
    std::sort(heads.begin(), heads.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<QString> going;
    for (const auto& [modified, head] : heads) {
        if (total + room <= budget)
            break;
        going.push_back(head.path);
        total -= head.size;
    }
    remove(going);
}

void PromptFolder::forgetAll()
{
    std::lock_guard lock(m_lock);
    m_heads.clear();
    m_bytes = 0;
    for (const Temporary& temporary : m_writing)
        m_bytes += temporary.size;
}

void PromptFolder::removeAll()
{
    OwnChange own(*this);
    const QDir dir(m_path);
    for (const QString& name : dir.entryList({QStringLiteral("*") + kSuffix}, QDir::Files))
        QFile::remove(dir.filePath(name));
    forgetAll();
}

} // namespace cvn
