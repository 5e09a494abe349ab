#pragma once

#include <QRandomGenerator>
#include <QString>

#include <array>

namespace cvn::test {

// The message text the crash writer stores under sequence number `seq`:
// the same text in the writer and in the test that checks it, from a few
// bytes to well past one database page, with NULs, emoji and line breaks.
inline QString crashText(qint64 seq)
{
    QRandomGenerator random(quint32(seq) ^ quint32(seq >> 32));
    const qsizetype length = 1 + random.bounded(60000);
    static const std::array<QString, 6> pieces = {
        QStringLiteral("lorem "), QStringLiteral("ipsum\n"), QString::fromUtf8("😀"),
        QString(QChar(u'\0')), QString::fromUtf8("ü"), QString::fromUtf8("字")};
    QString text = QString::number(seq) + QLatin1Char(':');
    while (text.size() < length)
        text += pieces[random.bounded(int(pieces.size()))];
    return text;
}

} // namespace cvn::test
