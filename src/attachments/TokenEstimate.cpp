#include "attachments/TokenEstimate.h"

#include "attachments/AttachmentText.h"
#include "platform/RegularFile.h"

#include <QFileInfo>

#include <algorithm>
#include <array>

namespace cvn {

namespace {

bool isTextExtension(const QString& extension)
{
    static const std::array<QString, 13> extensions = {
        QStringLiteral(".txt"), QStringLiteral(".md"), QStringLiteral(".py"), QStringLiteral(".js"),
        QStringLiteral(".ts"), QStringLiteral(".cs"), QStringLiteral(".java"), QStringLiteral(".cpp"),
        QStringLiteral(".go"), QStringLiteral(".rs"), QStringLiteral(".json"), QStringLiteral(".csv"),
        QStringLiteral(".tsv"),
    };
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

double charactersPerToken(const QString& extension)
{
    if (extension == u".txt" || extension == u".md")
        return 3.9;
    if (extension == u".json")
        return 2.4;
    if (extension == u".csv" || extension == u".tsv")
        return 1.75;
    return 4.0;
}

QString dottedExtension(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
}

} // namespace

int64_t estimateTextTokens(const QString& text, double charactersPerToken)
{
    // Tokenizers learn their pieces mostly from text written in one or two
    // UTF-8 bytes a character; wider characters they lack are written byte by
    // byte. So those count by their width, never by the light text's ratio.
    int64_t light = 0;
    int64_t cyrillic = 0;
    int64_t wide = 0;
    int64_t astral = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x0800) {
            ++light;
            cyrillic += c >= 0x0400 && c <= 0x04FF;
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++astral;
            ++i;
        } else {
            ++wide;
        }
    }
    int64_t estimate = int64_t(double(light) / charactersPerToken);
    if (light >= 1 && double(cyrillic) / double(light) > 0.3)
        estimate = int64_t(double(estimate) * 1.8);
    return estimate + wide * wideCharacterTokens + astral * astralCharacterTokens;
}

int64_t estimateWholeTextTokens(const QString& path, const QString& text)
{
    const QString extension = dottedExtension(path);
    const int64_t fileSize = path.isEmpty() ? 0 : RegularFile::sizeOf(path).value_or(0);
    const int64_t units = text.size();
    // An image goes as the text read from it, or to a model that sees
    // images as its positions, which the stager counts: its bytes are
    // never read as tokens.
    if (units == 0 && hasAttachmentExtension(path, true))
        return 0;
    const int64_t estimate = units >= 1 ? estimateTextTokens(text, charactersPerToken(extension)) : fileSize / 8;
    if ((extension == u".pdf" || extension == u".docx") && fileSize >= 1 && units < fileSize / 20)
        return std::max(estimate, fileSize / 8);
    return estimate;
}

int64_t estimateAttachmentTokens(const QString& path, const QString& text)
{
    if (!path.isEmpty() && isTextExtension(dottedExtension(path))) {
        if (const std::optional<QByteArray> bytes = readAttachmentFile(path)) {
            if (const std::optional<QString> whole = decodeAttachmentText(*bytes); whole && whole->size() > text.size())
                return estimateWholeTextTokens(path, *whole);
        }
    }
    return estimateWholeTextTokens(path, text);
}

} // namespace cvn
