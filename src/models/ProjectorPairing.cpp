#include "models/ProjectorPairing.h"

#include <QRegularExpression>
#include <QSet>

namespace cvn::ProjectorPairing {

namespace {

// The words that name the model: lower case, split at anything but letters
// and digits, without the weight type's words.
QSet<QString> nameWords(const QString& fileName)
{
    static const QRegularExpression split(QStringLiteral("[^a-z0-9]+"));
    static const QRegularExpression weightType(
        QStringLiteral("^(f16|f32|bf16|fp16|fp32|q\\d+|iq\\d+|k|m|s|l|xs|xxs|0|1|gguf|mmproj|model)$"));
    QSet<QString> words;
    const QString base = fileName.section(QLatin1Char('/'), -1).toLower();
    for (const QString& word : base.split(split, Qt::SkipEmptyParts)) {
        if (!weightType.match(word).hasMatch())
            words.insert(word);
    }
    return words;
}

} // namespace

int sharedNameWords(const QString& modelFile, const QString& projectorFile)
{
    return int(nameWords(modelFile).intersect(nameWords(projectorFile)).size());
}

QList<ModelInfo> fitting(const ModelInfo& model, const QList<ModelInfo>& all)
{
    QList<ModelInfo> fits;
    if (model.isVisionProjector())
        return fits;
    const int64_t width = model.effectiveMetadata().nEmbd;
    if (width <= 0)
        return fits;
    for (const ModelInfo& candidate : all) {
        if (candidate.isVisionProjector() && candidate.projectionWidth == width)
            fits.append(candidate);
    }
    return fits;
}

std::optional<ModelInfo> projectorFor(const ModelInfo& model, const QList<ModelInfo>& all)
{
    if (model.projectorChoice == ModelInfo::noProjector)
        return std::nullopt;
    const QList<ModelInfo> fits = fitting(model, all);
    std::optional<ModelInfo> best;
    int bestScore = -1;
    for (const ModelInfo& candidate : fits) {
        if (!model.projectorChoice.isEmpty() && candidate.fileName == model.projectorChoice)
            return candidate;
        const int score = sharedNameWords(model.fileName, candidate.fileName);
        if (score > bestScore || (score == bestScore && candidate.fileName < best->fileName)) {
            best = candidate;
            bestScore = score;
        }
    }
    return best;
}

} // namespace cvn::ProjectorPairing
