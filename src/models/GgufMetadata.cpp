#include "models/GgufMetadata.h"

#include "platform/RegularFile.h"
#include "platform/Utf8Decoder.h"

#include <QFileInfo>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace cvn {

size_t qHash(const GgufInfo& info, size_t seed) noexcept
{
    seed = qHashMulti(seed, info.version, info.architecture, info.nCtxTrain, info.nEmbd, info.nLayers);
    seed = qHashOptional(info.nHead, seed);
    seed = qHashOptional(info.nHeadKv, seed);
    seed = qHashOptional(info.ropeDim, seed);
    seed = qHashOptional(info.expertCount, seed);
    seed = qHashOptional(info.expertUsedCount, seed);
    seed = qHashMulti(seed, info.fileSizeMb, info.fileName);
    seed = qHashOptional(info.embeddedChatTemplate, seed);
    return qHashOptional(info.fileType, seed);
}

namespace GgufMetadata {

namespace {

struct ReadFailure {};

constexpr int64_t kMaxStringBytes = int64_t(64) << 20;
constexpr uint64_t kMaxArrayCount = 200'000'000;
// Arrays of arrays recurse; a crafted file a million levels deep would
// otherwise overflow the stack.
constexpr int kMaxArrayDepth = 64;
constexpr int64_t kBufferSize = 64 * 1024;

enum ValueType : uint32_t {
    UInt8 = 0, Int8 = 1, UInt16 = 2, Int16 = 3, UInt32 = 4, Int32 = 5, Float32 = 6,
    Bool = 7, String = 8, Array = 9, UInt64 = 10, Int64 = 11, Float64 = 12,
};

// Byte size of one element when a whole array of the type is stepped over;
// 0 for strings, arrays and codes that are not GGUF types.
int64_t elementSize(uint32_t type)
{
    switch (type) {
    case UInt8: case Int8: case Bool: return 1;
    case UInt16: case Int16: return 2;
    case UInt32: case Int32: case Float32: return 4;
    case UInt64: case Int64: case Float64: return 8;
    default: return 0;
    }
}

struct Skipped {};
using Value = std::variant<Skipped, int64_t, QString>;

// Little-endian reads over a 64 KiB window plus a logical offset, so that a
// vocabulary of 100k strings costs no system call per element. Skips only
// move the offset; a skip past the end is not an error, the next read is.
class Reader {
public:
    explicit Reader(RegularFile file)
        : m_file(std::move(file))
        , m_buffer(new char[kBufferSize])
    {
    }

    int64_t fileSize() const { return m_file.size(); }

    void readBytes(void* out, int64_t count)
    {
        if (count < 0)
            throw ReadFailure{};
        auto* dst = static_cast<char*>(out);
        while (count > 0) {
            if (m_offset >= m_windowStart && m_offset - m_windowStart < m_windowLength) {
                const int64_t take = std::min(count, m_windowStart + m_windowLength - m_offset);
                std::memcpy(dst, m_buffer.get() + (m_offset - m_windowStart), size_t(take));
                dst += take;
                m_offset += take;
                count -= take;
                continue;
            }
            if (count >= kBufferSize) {
                if (m_file.readAt(m_offset, dst, count) != count)
                    throw ReadFailure{};
                m_offset += count;
                return;
            }
            const int64_t got = m_file.readAt(m_offset, m_buffer.get(), kBufferSize);
            if (got <= 0)
                throw ReadFailure{};
            m_windowStart = m_offset;
            m_windowLength = got;
        }
    }

    template <typename T>
    T readLittleEndian()
    {
        std::array<unsigned char, sizeof(T)> bytes;
        readBytes(bytes.data(), sizeof(T));
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            v |= uint64_t(bytes[i]) << (8 * i);
        return static_cast<T>(v);
    }

    uint32_t readUInt32() { return readLittleEndian<uint32_t>(); }
    uint64_t readUInt64() { return readLittleEndian<uint64_t>(); }

    void skipBytes(int64_t count)
    {
        if (count < 0 || count > INT64_MAX - m_offset)
            throw ReadFailure{};
        m_offset += count;
    }

    // The length of a GGUF string, refused above 64 MiB or beyond the end of
    // the file before anything is allocated.
    int64_t readStringLength()
    {
        const uint64_t length = readUInt64();
        if (length > uint64_t(kMaxStringBytes))
            throw ReadFailure{};
        if (m_offset > fileSize() || int64_t(length) > fileSize() - m_offset)
            throw ReadFailure{};
        return int64_t(length);
    }

    // The raw bytes of a key, into a buffer reused for every key.
    void readKey(std::string& key)
    {
        const int64_t length = readStringLength();
        key.resize(size_t(length));
        readBytes(key.data(), length);
    }

    // A string value. The bytes are decoded only when the caller keeps the
    // text; otherwise they are checked to be there and stepped over.
    Value readString(bool keepText)
    {
        const int64_t length = readStringLength();
        if (!keepText) {
            skipBytes(length);
            return Skipped{};
        }
        std::string bytes(size_t(length), '\0');
        readBytes(bytes.data(), length);
        return Utf8Decoder::decode(bytes);
    }

    Value readValue(uint32_t type, bool keepText)
    {
        switch (type) {
        case UInt8: return int64_t(readLittleEndian<uint8_t>());
        case Int8: return int64_t(readLittleEndian<int8_t>());
        case UInt16: return int64_t(readLittleEndian<uint16_t>());
        case Int16: return int64_t(readLittleEndian<int16_t>());
        case UInt32: return int64_t(readLittleEndian<uint32_t>());
        case Int32: return int64_t(readLittleEndian<int32_t>());
        case Bool: return int64_t(readLittleEndian<uint8_t>() != 0 ? 1 : 0);
        // Values of 2^63 and above turn negative, which no field accepts.
        case UInt64: return int64_t(readLittleEndian<uint64_t>());
        case Int64: return readLittleEndian<int64_t>();
        case Float32: skipBytes(4); return Skipped{};
        case Float64: skipBytes(8); return Skipped{};
        case String: return readString(keepText);
        case Array: skipArray(1); return Skipped{};
        default: return Skipped{}; // not a GGUF type: no value bytes follow
        }
    }

    void skipArray(int depth)
    {
        if (depth > kMaxArrayDepth)
            throw ReadFailure{};
        const uint32_t type = readUInt32();
        const uint64_t count = readUInt64();
        if (count > kMaxArrayCount)
            throw ReadFailure{};
        if (const int64_t size = elementSize(type); size > 0) {
            skipBytes(size * int64_t(count));
        } else if (type == String) {
            for (uint64_t i = 0; i < count; ++i) {
                const uint64_t length = readUInt64();
                if (length > uint64_t(INT64_MAX))
                    throw ReadFailure{};
                skipBytes(int64_t(length));
            }
        } else if (type == Array) {
            for (uint64_t i = 0; i < count; ++i)
                skipArray(depth + 1);
        }
        // Elements of any other code carry no bytes, so however many there
        // are, there is nothing to step over.
    }

private:
    RegularFile m_file;
    std::unique_ptr<char[]> m_buffer;
    int64_t m_offset = 0;
    int64_t m_windowStart = 0;
    int64_t m_windowLength = 0;
};

// Opens `path` and reads the fixed header up to the key-value count.
// Throws ReadFailure for anything that is not GGUF version 2 or later.
struct Header {
    std::unique_ptr<Reader> reader;
    uint32_t version = 0;
    uint64_t kvCount = 0;
};

Header openHeader(const QString& path)
{
    RegularFile file;
    if (!file.open(path))
        throw ReadFailure{};
    Header header;
    header.reader = std::make_unique<Reader>(std::move(file));
    char magic[4];
    header.reader->readBytes(magic, 4);
    if (std::memcmp(magic, "GGUF", 4) != 0)
        throw ReadFailure{};
    header.version = header.reader->readUInt32();
    if (header.version < 2)
        throw ReadFailure{};
    header.reader->readUInt64(); // tensor count
    header.kvCount = header.reader->readUInt64();
    return header;
}

constexpr std::string_view kArchitectureKey = "general.architecture";
constexpr std::string_view kChatTemplateKey = "tokenizer.chat_template";
constexpr std::string_view kFileTypeKey = "general.file_type";
constexpr std::string_view kTypeKey = "general.type";

// The integer field a key feeds, by suffix; tried in this order because
// ".attention.head_count_kv" must win over ".attention.head_count".
template <typename Field>
struct SuffixRule {
    std::string_view suffix;
    Field GgufInfo::*field;
};

constexpr SuffixRule<int64_t> kPlainSuffixes[] = {
    {".context_length", &GgufInfo::nCtxTrain},
    {".embedding_length", &GgufInfo::nEmbd},
    {".block_count", &GgufInfo::nLayers},
};

constexpr SuffixRule<std::optional<int64_t>> kOptionalSuffixes[] = {
    {".attention.head_count_kv", &GgufInfo::nHeadKv},
    {".attention.head_count", &GgufInfo::nHead},
    {".rope.dimension_count", &GgufInfo::ropeDim},
    {".expert_count", &GgufInfo::expertCount},
    {".expert_used_count", &GgufInfo::expertUsedCount},
};

void applyInteger(GgufInfo& info, std::string_view key, int64_t value)
{
    for (const auto& rule : kPlainSuffixes) {
        if (key.ends_with(rule.suffix)) {
            info.*rule.field = value;
            return;
        }
    }
    for (const auto& rule : kOptionalSuffixes) {
        if (key.ends_with(rule.suffix)) {
            info.*rule.field = value;
            return;
        }
    }
}

// What one pass over the key-value pairs found. The architecture part of the
// hint is settled at the first "general.architecture" with a text value
// ("clip." keys count only before it); a "general.type" of "mmproj" counts
// wherever it stands. The hint survives a read failure once either was seen;
// the record needs the whole header and a positive context length.
struct HeaderFacts {
    std::optional<GgufInfo> info;
    std::optional<ProjectorHint> hint;
    std::optional<int64_t> projectionWidth;
};

bool architectureSaysProjector(const ProjectorHint& hint)
{
    return hint.architecture ? projectorArchitectures().contains(hint.architecture->toLower()) : hint.hasClipKeys;
}

// With `wantInfo` false the pass stops as soon as the hint says projector.
HeaderFacts scanHeader(const QString& path, bool wantInfo)
{
    HeaderFacts facts;
    ProjectorHint hint;
    bool settled = false;
    try {
        Header header = openHeader(path);
        Reader& reader = *header.reader;
        GgufInfo info;
        info.version = header.version;
        std::string key;
        for (uint64_t i = 0; i < header.kvCount; ++i) {
            reader.readKey(key);
            const uint32_t type = reader.readUInt32();
            const bool isArchitecture = key == kArchitectureKey;
            const bool isType = key == kTypeKey;
            const bool wantsText = isArchitecture || isType || (wantInfo && key == kChatTemplateKey);
            const Value value = reader.readValue(type, wantsText);
            if (!settled && key.starts_with("clip."))
                hint.hasClipKeys = true;
            if (const auto* text = std::get_if<QString>(&value)) {
                if (isType) {
                    if (text->compare(QLatin1String("mmproj"), Qt::CaseInsensitive) == 0)
                        hint.projectorType = true;
                } else if (!isArchitecture) {
                    info.embeddedChatTemplate = *text;
                } else {
                    info.architecture = *text;
                    if (!settled) {
                        hint.architecture = *text;
                        settled = true;
                    }
                }
                if (!wantInfo && (hint.projectorType || (settled && architectureSaysProjector(hint)))) {
                    facts.hint = hint;
                    return facts;
                }
            } else if (const auto* integer = std::get_if<int64_t>(&value)) {
                if (key == kFileTypeKey)
                    info.fileType = *integer;
                else if (key == "clip.vision.projection_dim")
                    facts.projectionWidth = *integer;
                else
                    applyInteger(info, key, *integer);
            }
        }
        facts.hint = hint;
        if (info.nCtxTrain > 0) {
            info.fileSizeMb = reader.fileSize() / (1024 * 1024);
            info.fileName = QFileInfo(path).fileName();
            facts.info = std::move(info);
        }
    } catch (const ReadFailure&) {
        // No record; what the hint had settled before the failure stands.
        if (settled || hint.projectorType)
            facts.hint = hint;
    }
    return facts;
}

bool hintSaysProjector(const std::optional<ProjectorHint>& hint)
{
    return hint && (hint->projectorType || architectureSaysProjector(*hint));
}

} // namespace

std::optional<GgufInfo> read(const QString& path)
{
    return scanHeader(path, true).info;
}

std::optional<ProjectorHint> headerSaysProjector(const QString& path)
{
    return scanHeader(path, false).hint;
}

ModelFileFacts readModelFile(const QString& path, const QString& fileName)
{
    HeaderFacts facts = scanHeader(path, true);
    return {std::move(facts.info), hasProjectorName(fileName) || hintSaysProjector(facts.hint), facts.projectionWidth};
}

bool hasProjectorName(const QString& fileName)
{
    return fileName.section(QLatin1Char('/'), -1).toLower().startsWith(QLatin1String("mmproj"));
}

bool isProjectorFile(const QString& path, const QString& fileName)
{
    return hasProjectorName(fileName) || hintSaysProjector(headerSaysProjector(path));
}

const QSet<QString>& projectorArchitectures()
{
    static const QSet<QString> names{
        QStringLiteral("clip"), QStringLiteral("llava"), QStringLiteral("mllm_projector"),
        QStringLiteral("mmproj"), QStringLiteral("siglip"),
    };
    return names;
}

} // namespace GgufMetadata

} // namespace cvn
