#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

// A reader of our own for the one thing DOCX files need from a ZIP archive:
// the bytes of one named entry. It walks the central directory only (so
// entries written with a trailing data descriptor read correctly), supports
// stored (0) and DEFLATE (8) entries, and nothing else: no ZIP64, no
// encryption, no CRC check.
//
// The archive comes from the user's disk and may be hostile. Every offset
// and length is checked against the real size before it is used, and no
// buffer is allocated from a declared size that the compressed data could
// not produce. All functions are pure and safe on any thread.
namespace cvn {

// Little-endian fields; 0 when any of their bytes lies outside `bytes`.
uint16_t readU16LE(QByteArrayView bytes, int64_t offset);
uint32_t readU32LE(QByteArrayView bytes, int64_t offset);

// Offset of the end-of-central-directory record, searched backwards over
// the last 22 + 65,535 bytes (the longest comment); nothing when absent.
std::optional<int64_t> zipFindEndOfCentralDirectory(QByteArrayView bytes);

// Largest uncompressed size an entry may declare: beyond it the entry is
// refused before any allocation.
inline constexpr int64_t maxZipEntryBytes = 128LL * 1024 * 1024;

// Inflates a raw DEFLATE stream (no zlib header) that must decode to exactly
// `size` bytes. Empty data for a size below 1. Nothing when the stream is
// damaged, ends short, runs longer, or when `size` exceeds maxZipEntryBytes
// or what DEFLATE could expand `compressed` to.
std::optional<QByteArray> inflateRawDeflate(QByteArrayView compressed, int64_t size);

// The uncompressed bytes of the entry whose name is exactly `name`
// (case-sensitive), or nothing when the archive is malformed, the entry is
// missing, or its method is neither stored nor DEFLATE.
std::optional<QByteArray> zipEntryData(const QString& name, QByteArrayView archive);

} // namespace cvn
