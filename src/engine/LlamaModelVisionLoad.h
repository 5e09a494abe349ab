#pragma once

// The projector's side of a model's load (LlamaModelVision.cpp).

#include "engine/VisionProjector.h"

#include <QString>

#include <cstdint>
#include <optional>

struct llama_model;
struct mtmd_context;

namespace cvn::vision {

// mtmd's context for the projector at `path` beside `model`, or null with
// `failure` set to the sentence the user sees. The file is checked before
// mtmd reads it; `gate` is the callback data of LlamaModel::encodeGate.
// `mostImageTokens` is the largest run of positions one image takes,
// `chunkBytes` the most its preprocessed pixels take. `onGpu` says whether
// to try the GPU and then where it opened: a projector the device cannot
// take after all (its driver refuses the buffer that the fit left room
// for) opens on the CPU.
mtmd_context* open(const QString& path, const llama_model* model, bool& onGpu, int32_t threads, void* gate,
                   std::optional<QString>& failure, int64_t& mostImageTokens, int64_t& chunkBytes);

} // namespace cvn::vision
