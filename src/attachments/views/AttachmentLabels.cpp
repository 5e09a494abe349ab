#include "attachments/views/AttachmentLabels.h"

#include "models/NumberText.h"
#include "platform/NumberFormat.h"

#include <cmath>

namespace cvn {

namespace {

double share(int64_t tokens, int64_t contextSize)
{
    return double(tokens) * 100.0 / double(contextSize);
}

// How much of the context one file takes, for its border, triangle and
// tooltip alike; always `fits` without a context.
enum class Level { fits, large, exceeds };

Level level(int64_t approxTokens, int64_t contextSize)
{
    if (contextSize < 1)
        return Level::fits;
    const double tokens = double(approxTokens);
    if (tokens > double(contextSize) * 0.9)
        return Level::exceeds;
    if (tokens > double(contextSize) * 0.5)
        return Level::large;
    return Level::fits;
}

} // namespace

QString sizeLabel(int64_t sizeBytes)
{
    if (sizeBytes < 1)
        return {};
    if (sizeBytes <= 1024)
        return QString::number(sizeBytes) + QStringLiteral(" B");
    if (sizeBytes <= 1024 * 1024)
        return formatFixed(double(sizeBytes) / 1024.0, 0) + QStringLiteral(" KB");
    return formatFixed(double(sizeBytes) / 1048576.0, 1) + QStringLiteral(" MB");
}

QString chipLabel(const StagedAttachment& item, int64_t contextSize)
{
    const QString separator = QStringLiteral("  \u00B7  ");
    QString label = item.originalFilename + separator + sizeLabel(item) + separator + QStringLiteral("~")
        + formatGroupedNumber(item.approxTokens) + QStringLiteral(" tokens");
    if (contextSize < 1)
        return label;
    label += QStringLiteral(" (") + QString::number(int64_t(share(item.approxTokens, contextSize)))
        + QStringLiteral("% of context)");
    switch (level(item.approxTokens, contextSize)) {
    case Level::exceeds: return label + QStringLiteral("  \u26A0 Exceeds context \u2014 some content will be truncated");
    case Level::large: return label + QStringLiteral("  \u26A0 Model may forget earlier messages");
    case Level::fits: return label;
    }
    return label;
}

QString attachmentTypeLabel(const QString& fileName)
{
    // As a path extension: the text after the last dot, where a leading dot
    // (".bashrc") or a trailing one ("notes.") gives none.
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot <= 0 || dot == fileName.size() - 1)
        return QStringLiteral("FILE");
    return fileName.mid(dot + 1).toUpper();
}

DynamicColor levelColor(int64_t approxTokens, int64_t contextSize)
{
    switch (level(approxTokens, contextSize)) {
    case Level::exceeds: return chipWarningRed;
    case Level::large: return chipWarningAmber;
    case Level::fits: return Theme::neutralGrey;
    }
    return Theme::neutralGrey;
}

bool showsWarning(int64_t approxTokens, int64_t contextSize)
{
    return level(approxTokens, contextSize) != Level::fits;
}

QString stripHeaderText(int64_t totalTokens, int64_t contextSize)
{
    const int64_t percent = contextSize < 1 ? 0 : std::llround(share(totalTokens, contextSize));
    return QStringLiteral("Attachments: \u2248") + formatGroupedNumber(totalTokens) + QStringLiteral(" tokens (")
        + QString::number(percent) + QStringLiteral("% of context)");
}

DynamicColor stripHeaderColor(int64_t totalTokens, int64_t contextSize)
{
    if (contextSize < 1)
        return Theme::neutralGrey;
    const double p = share(totalTokens, contextSize);
    if (p >= 90)
        return Theme::alertRed;
    if (p >= 70)
        return Theme::cautionAmber;
    return Theme::neutralGrey;
}

int stripHeight(bool hasStatus, bool hasFiles)
{
    return (hasStatus ? 24 : 0) + (hasFiles ? 115 : 0);
}

} // namespace cvn
