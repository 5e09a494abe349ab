#include "storage/ChatDatabase.h"

#include "platform/Logging.h"
#include "platform/Utf8Decoder.h"

#include <QtEndian>

#include <climits>

#include <sqlite3.h>

// Reading a row: its columns, and a message's image with its facts.

namespace cvn {

bool ChatDatabase::isNull(sqlite3_stmt* statement, int column)
{
    return sqlite3_column_type(statement, column) == SQLITE_NULL;
}

int64_t ChatDatabase::integerColumn(sqlite3_stmt* statement, int column)
{
    return sqlite3_column_int64(statement, column);
}

QByteArray ChatDatabase::blobColumn(sqlite3_stmt* statement, int column)
{
    // The pointer first, then its length, as SQLite asks.
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    return bytes ? QByteArray(bytes, sqlite3_column_bytes(statement, column)) : QByteArray();
}

std::optional<ChatImage> ChatDatabase::imageAt(sqlite3_stmt* statement, int first, bool withFacts)
{
    // The bytes are never NULL in a stored image; an empty file's are an
    // empty BLOB.
    if (isNull(statement, first + 1))
        return std::nullopt;
    ChatImage image{textColumn(statement, first), blobColumn(statement, first + 1)};
    if (withFacts)
        image.facts = factsAt(statement, first + 2);
    return image;
}

std::optional<ChatImage::Facts> ChatDatabase::factsAt(sqlite3_stmt* statement, int first)
{
    // Written by this program or another: anything but what setImageFacts
    // writes is no facts at all, and the image is decoded again.
    const auto typeIs = [&](int column, int type) { return sqlite3_column_type(statement, first + column) == type; };
    if (!typeIs(0, SQLITE_TEXT) || !typeIs(1, SQLITE_BLOB) || !typeIs(2, SQLITE_INTEGER) || !typeIs(3, SQLITE_INTEGER)
        || !typeIs(4, SQLITE_INTEGER))
        return std::nullopt;
    const QByteArray hash = blobColumn(statement, first + 1);
    const int64_t width = integerColumn(statement, first + 2);
    const int64_t height = integerColumn(statement, first + 3);
    if (hash.size() != qsizetype(sizeof(uint64_t)) || width < 1 || width > INT_MAX || height < 1 || height > INT_MAX)
        return std::nullopt;
    return ChatImage::Facts{textColumn(statement, first), qFromLittleEndian<uint64_t>(hash.constData()), int(width),
                            int(height), integerColumn(statement, first + 4)};
}

QByteArray ChatDatabase::pixelHashBytes(uint64_t hash)
{
    QByteArray bytes(qsizetype(sizeof hash), Qt::Uninitialized);
    qToLittleEndian(hash, bytes.data());
    return bytes;
}

QString ChatDatabase::textColumn(sqlite3_stmt* statement, int column)
{
    // The pointer first, then its length, as SQLite asks.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (!text)
        return QString();
    // Not QString::fromUtf8: it takes a leading U+FEFF for a byte-order mark
    // and drops it from the stored text.
    return Utf8Decoder::decode(std::string_view(text, size_t(sqlite3_column_bytes(statement, column))));
}

bool ChatDatabase::stepRow(sqlite3_stmt* statement)
{
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE) {
        qCWarning(lcChatDatabase).noquote()
            << QStringLiteral("step failed: %1").arg(errorText(sqlite3_db_handle(statement)));
    }
    return false;
}

} // namespace cvn
