#pragma once

#include "models/GgufInfo.h"
#include "platform/FileIdentity.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace cvn {

// How the user wants a model's replies sampled. Each default is the engine's
// own, so a model nobody touched samples as it always did.
struct ModelSampling {
    static constexpr float defaultTemperature = 0.8f;
    static constexpr int64_t defaultTopK = 40;
    static constexpr float defaultTopP = 0.95f;
    static constexpr float defaultMinP = 0.0f;
    static constexpr float defaultRepeatPenalty = 1.1f;

    float temperature = defaultTemperature; // 0 to 2; 0 always takes the most likely token
    int64_t topK = defaultTopK;             // 0 to 200; 0 is off
    float topP = defaultTopP;               // 0.05 to 1
    float minP = defaultMinP;               // 0 to 1; 0 is off
    float repeatPenalty = defaultRepeatPenalty; // 1 to 2, over the last 64 tokens
    std::optional<int64_t> replyLimit;      // 1 to 32768 tokens; none: the limit the context gives
    std::optional<uint32_t> seed;           // 0 to 4294967294; none: random

    // The closed range each setting takes.
    struct Range {
        double low, high;
    };
    static constexpr Range temperatureRange{0, 2};
    static constexpr Range topKRange{0, 200};
    static constexpr Range topPRange{0.05, 1};
    static constexpr Range minPRange{0, 1};
    static constexpr Range repeatPenaltyRange{1, 2};
    static constexpr Range replyLimitRange{1, 32768};
    // The seed one above is llama.cpp's "random".
    static constexpr Range seedRange{0, 4294967294.0};

    friend bool operator==(const ModelSampling&, const ModelSampling&) = default;
};

// One model file in the models folder: what the user calls it, its size, the
// user's context, template, instructions and sampling choices, what its GGUF
// header said and which version of the file said it. A plain value; the
// models folder scan makes it and the model form edits it in memory.
// Equality and qHash cover all sixteen fields, `id` included, so two scans
// of one file give records that differ.
struct ModelInfo {
    QUuid id = QUuid::createUuid();
    QString displayName;
    int64_t fileSizeBytes = 0;
    std::optional<int64_t> actualContext;
    std::optional<int64_t> trainedContext;
    QString fileName; // path below the models folder; may contain "/" or be empty
    QString contextMode = QStringLiteral("auto"); // "auto" or "manual"
    std::optional<int64_t> contextSizeManual;
    std::optional<QString> chatTemplate; // absent: detect from the model
    QString instructions; // the system message of its replies; empty: none
    // The most user-perceived characters the instructions of a model or a chat hold.
    static constexpr int maxInstructions = 20'000;
    ModelSampling sampling;
    std::optional<GgufInfo> discoveredMetadata;
    bool visionAdapterFile = false;
    // A projector's "clip.vision.projection_dim": the embedding width of the
    // text models it fits. None for models and for projectors without it.
    std::optional<int64_t> projectionWidth;
    // Which projector a model sees images through (models/ProjectorPairing.h):
    // empty picks the best fitting one, "none" takes none, anything else is
    // the file name of the projector chosen.
    QString projectorChoice;
    static inline const QString noProjector = QStringLiteral("none");
    // The file as it was just before the header facts (size, metadata,
    // trained context, adapter flag) were read from it; none for a record
    // not read from a file. A file that differs from it now may hold another
    // model (ModelStore::upToDate).
    std::optional<FileIdentity> factsReadFrom;

    // A vision projector is an adapter, never loaded as a model: the flag, a
    // name starting with "mmproj" (any case), or a projector architecture.
    bool isVisionProjector() const;

    // The header's facts, or, when the header was unreadable, facts guessed
    // from the display name (family and a known shape). Every estimate works
    // on this.
    GgufInfo effectiveMetadata() const;

    // "4.2 GB  ·  GGUF  ·  Context: 32K (of 128K max)". The overload without
    // a figure samples free memory now, so two calls may differ.
    QString summaryLine() const;
    QString summaryLine(uint64_t freeMb) const;

    // The capacity text of several lines: working memory and the model's full
    // capacity, pages and words, the RAM limit, and notes on mixture-of-experts
    // and small models. Samples free memory like summaryLine().
    QString capacityTooltip() const;
    QString capacityTooltip(uint64_t freeMb) const;

    friend bool operator==(const ModelInfo&, const ModelInfo&) = default;

private:
    QString nameFamily() const;
    struct Shape {
        int64_t layers, embd, heads, kvHeads, headDim;
    };
    Shape knownModelHints() const;
};

size_t qHash(const ModelInfo& model, size_t seed = 0) noexcept;

} // namespace cvn
