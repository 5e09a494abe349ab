#include "engine/LlamaModel.h"

#include <QRandomGenerator>

namespace cvn {

bool LlamaModel::seesImages() const
{
    return false;
}

QString LlamaModel::imageMarker(int index)
{
    static const QString salt = QString::number(QRandomGenerator::system()->generate64(), 36);
    return QStringLiteral("<__cvn_image_%1_%2__>").arg(salt).arg(index);
}

std::vector<int32_t> LlamaModel::tokenize(const std::string& text, const QList<ChatImage>& images) const
{
    if (!images.isEmpty())
        throw ImageError("This model does not take images.");
    return tokenize(text);
}

} // namespace cvn
