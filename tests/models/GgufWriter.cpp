#include "GgufWriter.h"

#include <QFile>

#include <cstring>
#include <stdexcept>

namespace cvn::test {

QByteArray GgufWriter::le32(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray GgufWriter::le64(uint64_t v)
{
    QByteArray b(8, '\0');
    for (int i = 0; i < 8; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray GgufWriter::ggufString(const QByteArray& s)
{
    return le64(uint64_t(s.size())) + s;
}

GgufWriter& GgufWriter::declareKvCount(uint64_t count)
{
    m_countDeclared = true;
    m_declaredCount = count;
    return *this;
}

GgufWriter& GgufWriter::pair(const QByteArray& key, uint32_t type, const QByteArray& valueBytes)
{
    ++m_pairs;
    return raw(ggufString(key) + le32(type) + valueBytes);
}

GgufWriter& GgufWriter::string(const QByteArray& key, const QByteArray& value)
{
    return pair(key, String, ggufString(value));
}

GgufWriter& GgufWriter::u32(const QByteArray& key, uint32_t value)
{
    return pair(key, UInt32, le32(value));
}

GgufWriter& GgufWriter::i32(const QByteArray& key, int32_t value)
{
    return pair(key, Int32, le32(uint32_t(value)));
}

GgufWriter& GgufWriter::u64(const QByteArray& key, uint64_t value)
{
    return pair(key, UInt64, le64(value));
}

GgufWriter& GgufWriter::f32(const QByteArray& key, float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return pair(key, Float32, le32(bits));
}

GgufWriter& GgufWriter::raw(const QByteArray& bytes)
{
    m_segments.last().bytes += bytes;
    return *this;
}

GgufWriter& GgufWriter::hole(int64_t bytes)
{
    m_segments.last().holeAfter += bytes;
    m_segments.append(Segment{});
    return *this;
}

QByteArray GgufWriter::header() const
{
    return QByteArray("GGUF") + le32(m_version) + le64(0) + le64(m_countDeclared ? m_declaredCount : m_pairs);
}

QByteArray GgufWriter::bytes() const
{
    QByteArray all = header();
    for (const Segment& s : m_segments)
        all += s.bytes + QByteArray(qsizetype(s.holeAfter), '\0');
    return all;
}

QString GgufWriter::writeTo(const QString& folder, const QString& name, int64_t padTo) const
{
    const QString path = folder + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write test file");
    int64_t at = 0;
    const auto put = [&](const QByteArray& b) {
        if (!file.seek(at) || file.write(b) != b.size())
            throw std::runtime_error("cannot write test file");
        at += b.size();
    };
    put(header());
    for (const Segment& s : m_segments) {
        put(s.bytes);
        at += s.holeAfter;
    }
    if (std::max(at, padTo) > file.size())
        file.resize(std::max(at, padTo));
    return path;
}

} // namespace cvn::test
