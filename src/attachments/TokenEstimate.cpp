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

} // namespace

int64_t estimateAttachmentTokens(const QString& path, const QString& text)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const int64_t fileSize = path.isEmpty() ? 0 : RegularFile::sizeOf(path).value_or(0);

    QString whole;
    const QString* used = &text;
    if (!path.isEmpty() && isTextExtension(extension)) {
        if (std::optional<QByteArray> bytes = readAttachmentFile(path)) {
            if (std::optional<QString> decoded = decodeAttachmentText(*bytes); decoded && decoded->size() > text.size()) {
                whole = std::move(*decoded);
                used = &whole;
            }
        }
    }

    const int64_t units = used->size();
    int64_t estimate = 0;
    if (units >= 1) {
        estimate = int64_t(double(units) / charactersPerToken(extension));
        const auto cyrillic = std::count_if(used->cbegin(), used->cend(),
                                            [](QChar c) { return c.unicode() >= 0x0400 && c.unicode() <= 0x04FF; });
        if (double(cyrillic) / double(units) > 0.3)
            estimate = int64_t(double(estimate) * 1.8);
    } else {
        estimate = fileSize / 8;
    }
    if ((extension == u".pdf" || extension == u".docx") && fileSize >= 1 && units < fileSize / 20)
        estimate = std::max(estimate, fileSize / 8);
    return estimate;
}

} // namespace cvn
