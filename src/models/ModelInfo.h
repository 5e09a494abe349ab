#pragma once

#include "models/GgufInfo.h"
#include "platform/FileIdentity.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace cvn {

// One model file in the models folder: what the user calls it, its size, the
// user's context and template choices, what its GGUF header said and which
// version of the file said it. A plain value; the models folder scan makes
// it and the model form edits it in memory. Equality and qHash cover all
// twelve fields, `id` included, so two scans of one file give records that
// differ.
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
    std::optional<GgufInfo> discoveredMetadata;
    bool visionAdapterFile = false;
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
