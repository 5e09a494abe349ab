#include "models/ModelInfo.h"

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "models/NumberText.h"
#include "platform/NumberFormat.h"

#include <cmath>

namespace cvn {

namespace {

const QString kSeparator = QStringLiteral("  \u00B7  ");

int64_t roundHalfEven(double x)
{
    return int64_t(std::nearbyint(x));
}

// The parameter-count note of the capacity text, or nothing.
QString sizeNote(const GgufInfo& m)
{
    const double total = double(m.fileSizeMb) * 8.0 / (bitsPerWeight(m.fileName) * 1024.0);
    const bool mixtureOfExperts = m.expertCount && *m.expertCount > 1;
    double active = total;
    if (mixtureOfExperts && m.expertUsedCount && *m.expertUsedCount >= 1)
        active = total * double(*m.expertUsedCount) / double(*m.expertCount);

    if (mixtureOfExperts && total > 0 && active > 0) {
        const QString all = parameterSizeLabel(total);
        const QString used = parameterSizeLabel(active);
        return QStringLiteral("\n\n\u26A0 MoE model: %1 total, only ~%2 active per token "
                              "\u2014 answers may be shallower than a dense %1 model. "
                              "Speed matches ~%2 though.")
            .arg(all, used);
    }
    if (active > 0 && active < 3.0)
        return QStringLiteral("\n\n\u26A0 Small model (<3B) \u2014 may hallucinate on factual questions");
    return {};
}

} // namespace

bool ModelInfo::isVisionProjector() const
{
    if (visionAdapterFile)
        return true;
    if (GgufMetadata::hasProjectorName(fileName.isEmpty() ? displayName : fileName))
        return true;
    if (!discoveredMetadata)
        return false;
    return GgufMetadata::projectorArchitectures().contains(discoveredMetadata->architecture.toLower());
}

QString ModelInfo::nameFamily() const
{
    static const std::pair<const char*, const char*> families[] = {
        {"llama", "llama"}, {"qwen", "qwen2"}, {"mistral", "mistral"},
        {"gemma", "gemma2"}, {"phi", "phi3"}, {"deepseek", "qwen2"},
    };
    const QString name = displayName.toLower();
    for (const auto& [word, family] : families) {
        if (name.contains(QLatin1String(word)))
            return QString::fromLatin1(family);
    }
    return QStringLiteral("llama");
}

ModelInfo::Shape ModelInfo::knownModelHints() const
{
    static const std::pair<const char*, Shape> hints[] = {
        {"llama 3.2 3b", {28, 3072, 24, 8, 128}},
        {"qwen2.5 7b", {28, 3584, 28, 4, 128}},
        {"mistral 7b", {32, 4096, 32, 8, 128}},
        {"phi-3.5 mini", {32, 3072, 32, 32, 96}},
        {"gemma 2 9b", {42, 3584, 16, 8, 256}},
        {"deepseek r1", {28, 3584, 28, 4, 128}},
    };
    const QString name = displayName.toLower();
    for (const auto& [key, shape] : hints) {
        if (name.contains(QLatin1String(key)))
            return shape;
    }
    return {32, 4096, 32, 8, 128};
}

GgufInfo ModelInfo::effectiveMetadata() const
{
    if (discoveredMetadata)
        return *discoveredMetadata;
    const Shape shape = knownModelHints();
    GgufInfo guess;
    guess.version = 3;
    guess.architecture = nameFamily();
    guess.nCtxTrain = trainedContext.value_or(0);
    guess.nLayers = shape.layers;
    guess.nEmbd = shape.embd;
    guess.nHead = shape.heads;
    guess.nHeadKv = shape.kvHeads;
    guess.ropeDim = shape.headDim;
    guess.fileSizeMb = fileSizeBytes / (1024 * 1024);
    guess.fileName = fileName.isEmpty() ? displayName + QStringLiteral(".gguf") : fileName;
    return guess;
}

QString ModelInfo::summaryLine() const
{
    return summaryLine(freeRamMb());
}

QString ModelInfo::summaryLine(uint64_t freeMb) const
{
    const AutoContext plan = autoContextForRam(effectiveMetadata(), freeMb);
    QString line = formatFixed(double(fileSizeBytes) / 1073741824.0, 1) + QStringLiteral(" GB");
    line += kSeparator + QStringLiteral("GGUF") + kSeparator + QStringLiteral("Context: ")
        + formatTokenCount(plan.contextSize);
    if (plan.trainedContext >= 1)
        line += QStringLiteral(" (of ") + formatTokenCount(plan.trainedContext) + QStringLiteral(" max)");
    return line;
}

QString ModelInfo::capacityTooltip() const
{
    return capacityTooltip(freeRamMb());
}

QString ModelInfo::capacityTooltip(uint64_t freeMb) const
{
    const GgufInfo metadata = effectiveMetadata();
    const AutoContext plan = autoContextForRam(metadata, freeMb);
    const int64_t ctx = plan.contextSize;
    const int64_t trained = plan.trainedContext;
    const bool limitedByRam = ctx < trained;

    const double words = double(ctx) * 0.75;
    QString text = QStringLiteral("Working memory: ") + formatGroupedNumber(ctx) + QStringLiteral(" tokens\n");
    text += QStringLiteral("Model's full capacity: ") + formatGroupedNumber(trained > 0 ? trained : ctx)
        + QStringLiteral(" tokens");
    if (limitedByRam)
        text += QStringLiteral(" (needs more RAM to unlock)");
    text += QStringLiteral("\n\n");
    text += QStringLiteral("\u2248 ") + formatGroupedNumber(roundHalfEven(words / 500.0)) + QStringLiteral(" pages")
        + kSeparator + QStringLiteral("\u2248 ") + formatGroupedNumber(int64_t(words))
        + QStringLiteral(" English words\n");
    text += QStringLiteral("Fits 5-15 Q&A exchanges before older messages get forgotten");
    if (trained >= 1) {
        text += QStringLiteral("\n\nFull model capacity: ") + formatGroupedNumber(trained)
            + QStringLiteral(" tokens (~") + formatGroupedNumber(roundHalfEven(double(trained) * 0.75 / 500.0))
            + QStringLiteral(" pages of text at once)");
        if (limitedByRam)
            text += QLatin1Char('\n')
                + QStringLiteral("Currently limited by RAM: you have ") + formatFixed(double(plan.freeMb) / 1024.0, 1)
                + QStringLiteral(" GB free \u2014 close apps to reach higher");
    }
    return text + sizeNote(metadata);
}

size_t qHash(const ModelInfo& model, size_t seed) noexcept
{
    seed = qHashMulti(seed, model.id, model.displayName, model.fileSizeBytes);
    seed = qHashOptional(model.actualContext, seed);
    seed = qHashOptional(model.trainedContext, seed);
    seed = qHashMulti(seed, model.fileName, model.contextMode);
    seed = qHashOptional(model.contextSizeManual, seed);
    seed = qHashOptional(model.chatTemplate, seed);
    const ModelSampling& sampling = model.sampling;
    seed = qHashMulti(seed, model.instructions, sampling.temperature, sampling.topK, sampling.topP, sampling.minP,
                      sampling.repeatPenalty);
    seed = qHashOptional(sampling.replyLimit, seed);
    seed = qHashOptional(sampling.seed, seed);
    seed = qHashOptional(model.discoveredMetadata, seed);
    seed = qHashMulti(seed, model.visionAdapterFile, model.projectorChoice);
    seed = qHashOptional(model.projectionWidth, seed);
    return qHashOptional(model.factsReadFrom, seed);
}

} // namespace cvn
