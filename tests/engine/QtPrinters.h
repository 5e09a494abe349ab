#pragma once

// Readable GoogleTest output for Qt strings (the default dumps UTF-16 units
// as bytes).

#include <QString>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toUtf8().replace("\n", "\\n").toStdString() << '"';
}
