#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace cvn::test {

// Builds GGUF headers byte by byte, including malformed ones: any version,
// any declared key-value count, raw type codes and lengths, and holes (runs of
// zero bytes left unwritten, so huge files stay sparse on disk).
class GgufWriter {
public:
    enum Type : uint32_t {
        UInt8 = 0, Int8 = 1, UInt16 = 2, Int16 = 3, UInt32 = 4, Int32 = 5, Float32 = 6,
        Bool = 7, String = 8, Array = 9, UInt64 = 10, Int64 = 11, Float64 = 12,
    };

    explicit GgufWriter(uint32_t version = 3) : m_version(version) {}

    // Declares a key-value count other than the number of pairs written.
    GgufWriter& declareKvCount(uint64_t count);

    GgufWriter& string(const QByteArray& key, const QByteArray& value);
    GgufWriter& u32(const QByteArray& key, uint32_t value);
    GgufWriter& i32(const QByteArray& key, int32_t value);
    GgufWriter& u64(const QByteArray& key, uint64_t value);
    GgufWriter& f32(const QByteArray& key, float value);
    // A pair whose value bytes are given as they are.
    GgufWriter& pair(const QByteArray& key, uint32_t type, const QByteArray& valueBytes);

    // Raw bytes after what was written so far, and a hole of zero bytes.
    GgufWriter& raw(const QByteArray& bytes);
    GgufWriter& hole(int64_t bytes);

    // The whole file (holes filled with zeros).
    QByteArray bytes() const;

    // Writes the file into `folder`, holes left sparse, and extends it with
    // zeros to `padTo` bytes when that is larger. Returns its path.
    QString writeTo(const QString& folder, const QString& name, int64_t padTo = 0) const;

    // Little-endian encodings for building values by hand.
    static QByteArray le32(uint32_t v);
    static QByteArray le64(uint64_t v);
    static QByteArray ggufString(const QByteArray& s);

private:
    struct Segment {
        QByteArray bytes;
        int64_t holeAfter = 0;
    };
    QByteArray header() const;

    uint32_t m_version;
    uint64_t m_pairs = 0;
    bool m_countDeclared = false;
    uint64_t m_declaredCount = 0;
    QList<Segment> m_segments{Segment{}};
};

} // namespace cvn::test
