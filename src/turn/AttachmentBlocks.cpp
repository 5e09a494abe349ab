#include "turn/AttachmentBlocks.h"

namespace cvn::AttachmentBlocks {

Split split(const QString& message)
{
    Split parsed;
    qsizetype rest = 0;
    while (QStringView(message).sliced(rest).startsWith(headerPrefix)) {
        const qsizetype nameStart = rest + headerPrefix.size();
        const qsizetype nameEnd = message.indexOf(headerEnd, nameStart);
        if (nameEnd < 0)
            break;
        const qsizetype content = nameEnd + headerEnd.size();
        qsizetype next = -1;
        Block block {message.sliced(nameStart, nameEnd - nameStart), {}, false};
        if (const qsizetype end = message.indexOf(endLine, content); end >= 0) {
            block.text = message.sliced(content, end - content);
            next = end + endLine.size();
        } else if (const qsizetype cut = message.indexOf(truncationMarker, content); cut >= 0) {
            block.text = message.sliced(content, cut - content);
            block.truncated = true;
            next = cut + truncationMarker.size();
        }
        if (next < 0)
            break;
        parsed.blocks.append(std::move(block));
        rest = next;
    }
    parsed.text = message.sliced(rest);
    return parsed;
}

QString join(const QList<Block>& blocks, const QString& text)
{
    QString message;
    for (const Block& block : blocks)
        message += headerPrefix + block.name + headerEnd + block.text + (block.truncated ? truncationMarker : endLine);
    return message + text;
}

} // namespace cvn::AttachmentBlocks
