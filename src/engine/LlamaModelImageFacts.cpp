// What a prompt needs of an image, as stored with the chat: the key that
// tells which projector learnt it, and the facts a model takes without
// decoding the image again.
#include "engine/LlamaModel.h"

#include "engine/ImageStandIns.h"
#include "engine/VisionImage.h"

namespace cvn {

QString LlamaModel::imageFactsKey() const
{
    // Set once by the load, with the projector, and never changed.
    if (!m_projectorIdentity)
        return {};
    // Positions and sizes come from the projector file alone (its image
    // size, patches and token limits), the pixel hash from how the bytes
    // are decoded: a file written since, or another way of decoding, gives
    // another key.
    const FileIdentity& file = *m_projectorIdentity;
    return QStringLiteral("projector %1:%2:%3:%4:%5; pixels %6 at most %7 px")
        .arg(file.device)
        .arg(file.inode)
        .arg(file.size)
        .arg(file.modifiedNs)
        .arg(file.changedNs)
        .arg(VisionImage::pixelsVersion)
        .arg(VisionImage::maxSide);
}

std::optional<LlamaModel::ImageFacts> LlamaModel::storedFacts(const ChatImage& image) const
{
    if (!image.facts)
        return std::nullopt;
    const ChatImage::Facts& stored = *image.facts;
    // Another projector's, or none this one could have made: learnt again.
    if (stored.key.isEmpty() || stored.key != imageFactsKey() || stored.width < 1 || stored.height < 1
        || stored.width > VisionImage::maxSide || stored.height > VisionImage::maxSide || stored.positions < 1
        || stored.positions > standins::maxRun)
        return std::nullopt;
    ImageFacts facts;
    facts.pixelHash = stored.pixelHash;
    facts.width = stored.width;
    facts.height = stored.height;
    facts.positions = stored.positions;
    return facts;
}

std::optional<ChatImage::Facts> LlamaModel::knownFacts(const ChatImage& image) const
{
    if (!m_vision)
        return std::nullopt;
    if (storedFacts(image))
        return image.facts;
    const auto known = m_imageFacts.find(imageKey(image.data));
    const QString key = imageFactsKey();
    if (known == m_imageFacts.end() || known->second.failure || key.isEmpty())
        return std::nullopt;
    const ImageFacts& facts = known->second;
    return ChatImage::Facts{key, facts.pixelHash, facts.width, facts.height, facts.positions};
}

} // namespace cvn
