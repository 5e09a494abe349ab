#include "attachments/SentAttachments.h"

#include "platform/Unicode.h"
#include "turn/AttachmentBlocks.h"

#include <algorithm>

namespace cvn {

using AttachmentBlocks::endLine;
using AttachmentBlocks::headerEnd;
using AttachmentBlocks::headerPrefix;
using AttachmentBlocks::truncationMarker;

std::optional<QString> composePrompt(const QList<StagedAttachment>& staged, const QString& text,
                                     int64_t contextTokens, const ToastHandler& toast,
                                     const QList<QUuid>& shownAsImages)
{
    if (staged.isEmpty())
        return text;

    QString blocks;
    bool anyText = false;
    for (const StagedAttachment& file : staged) {
        if (file.extractedText.isEmpty() && shownAsImages.contains(file.id)) {
            anyText = true; // the model is shown the image itself
            continue;
        }
        if (file.extractedText.isEmpty()) {
            toast(file.isImage ? QStringLiteral("No text found in image ") + file.originalFilename
                                     + QStringLiteral(" — nothing to send to model")
                               : QStringLiteral("Couldn't extract text from ") + file.originalFilename,
                  ToastKind::error);
            continue;
        }
        anyText = true;
        QString name = file.originalFilename;
        name.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        blocks += headerPrefix + name + headerEnd + file.extractedText + endLine;
    }
    if (text.isEmpty() && !anyText) {
        toast(QStringLiteral("Attachments contain no readable text — nothing to send"), ToastKind::error);
        return std::nullopt;
    }
    const QString body = text.isEmpty() ? QStringLiteral("Please analyze the attached files.") : text;

    if (!blocks.isEmpty()) {
        // Counted and cut on the whole, never per part: a text ending in CR
        // forms one character with the LF that follows it.
        // Clamped first so that no context size the caller passes overflows.
        const int64_t context = std::clamp<int64_t>(contextTokens, 0, int64_t(1) << 40);
        const int64_t budget = std::max<int64_t>(1000, (context - 2000) * 3);
        const qsizetype full = GraphemeIndex(blocks).size();
        if (full > budget) {
            blocks = prefixCharacters(qsizetype(budget), blocks) + truncationMarker;
            toast(QStringLiteral("Attachments truncated to fit model context (%1 of %2 chars used)")
                      .arg(budget)
                      .arg(full),
                  ToastKind::info);
        }
    }
    return blocks + body;
}

namespace SentAttachments {

Parsed parse(const QString& text)
{
    AttachmentBlocks::Split split = AttachmentBlocks::split(text);
    Parsed parsed;
    for (const AttachmentBlocks::Block& block : split.blocks)
        parsed.files.append(File {block.name});
    parsed.text = std::move(split.text);
    return parsed;
}

} // namespace SentAttachments

} // namespace cvn
