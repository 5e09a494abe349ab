#pragma once

#include "models/GgufInfo.h"

#include <QSet>
#include <QString>

#include <optional>

// Reading the metadata of GGUF model files. Only the header is read, never
// tensor data; large arrays (the vocabulary) are stepped over. Every function
// is synchronous, runs on the caller's thread, opens its own handle and closes
// it before returning, and never throws: a file that cannot be read, is not a
// GGUF file of version 2 or later, or is malformed in any way gives nothing.
// Hostile files are expected (nesting is capped at 64 levels, every length is
// checked before anything is allocated or skipped, non-regular files are
// refused without blocking).
namespace cvn::GgufMetadata {

// The header's facts, or nothing when the file gives no positive context
// length or cannot be read.
std::optional<GgufInfo> read(const QString& path);

// What a header says about being a vision projector: its architecture, or,
// without one, whether any key starts with "clip."; and whether its
// "general.type" is "mmproj" (any case), which makes it one whatever its
// architecture.
struct ProjectorHint {
    std::optional<QString> architecture;
    bool hasClipKeys = false;
    bool projectorType = false;

    friend bool operator==(const ProjectorHint&, const ProjectorHint&) = default;
};

// A light scan that stops once the header says projector; nothing on a read
// failure before the architecture or the type was seen.
std::optional<ProjectorHint> headerSaysProjector(const QString& path);

// Whether the last component of `fileName` starts with "mmproj" (any case):
// such a file is a projector whatever its header says.
bool hasProjectorName(const QString& fileName);

// True when hasProjectorName(fileName) (the file is then not opened), or when
// the header's "general.type" is "mmproj", names a projector architecture,
// or has no architecture but "clip." keys. An unreadable file is not one.
bool isProjectorFile(const QString& path, const QString& fileName);

// read(path) and isProjectorFile(path, fileName) from one pass over the
// header, for the models folder scan.
struct ModelFileFacts {
    std::optional<GgufInfo> info;
    bool isProjector = false;
    std::optional<int64_t> projectionWidth; // "clip.vision.projection_dim"
};
ModelFileFacts readModelFile(const QString& path, const QString& fileName);

// "clip", "llava", "mllm_projector", "mmproj", "siglip".
const QSet<QString>& projectorArchitectures();

} // namespace cvn::GgufMetadata
