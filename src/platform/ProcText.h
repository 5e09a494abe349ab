#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

// Reading the text files under /proc; private to the platform layer.
namespace cvn::proc {

// The whole of a /proc file, or nothing when it cannot be read. These files
// report size 0, so they are read to the end rather than by size.
inline QByteArray readFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Calls `fn` with each line of `text`, without its line break, until `fn`
// returns true.
template <typename Fn>
void forEachLine(QByteArrayView text, Fn fn)
{
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        if (fn(text.sliced(start, end - start)))
            return;
        start = end + 1;
    }
}

} // namespace cvn::proc
