#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace cvn {

// File names on this system are bytes, not text, and need not be valid
// UTF-8. QFile::decodeName turns each invalid byte into U+FFFD, and the name
// it gives then opens nothing (or another file). These two functions keep
// every byte instead: a byte that is not part of valid UTF-8 becomes a lone
// low surrogate U+DC80..U+DCFF, which text decoded from valid UTF-8 never
// holds, and turns back into that byte. A name that is valid UTF-8 comes out
// exactly as QFile::decodeName gives it, and goes back exactly as
// QFile::encodeName does. Pure functions; any thread.

// The path for the name's bytes, e.g. from argv or a directory listing.
QString pathFromNative(QByteArrayView bytes);

// The bytes to hand the system for `path`.
QByteArray nativePath(const QString& path);

// The byte that a lone U+DC80..U+DCFF in a path stands for; nothing for any
// other code unit. The caller makes sure `unit` is not the second half of a
// surrogate pair.
std::optional<unsigned char> escapedByte(char16_t unit);

} // namespace cvn
