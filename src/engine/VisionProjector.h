#pragma once

// A projector file read before llama.cpp's mtmd library sees it. mtmd ends
// the process, rather than failing, on some files it cannot use: a tensor
// whose shape disagrees with the clip.* keys fails an assertion while it
// builds its first graph, and a key of another type than it reads fails
// one as it reads it. So the keys and tensors that mtmd reads for the
// file's kind of projector are checked here first, against what is really
// in the file.

#include "models/ModelInfo.h"

#include <QList>
#include <QString>

#include <optional>
#include <string>

namespace cvn {

class ModelStore;

struct ProjectorCheck {
    // Why the file cannot be used, as the sentence the user sees; none when
    // it can be handed to mtmd.
    std::optional<QString> failure;
    std::string projectorType; // clip.projector_type, e.g. "mlp", "gemma3"
    int64_t projectionWidth = 0; // clip.vision.projection_dim
    // The side every image is resized to, for an encoder of one size; 0
    // for one that reads images at their own size.
    int64_t fixedImageSize = 0;
    // How many embeddings the encoder makes of one image, by its parts'
    // shapes; 0 where that depends on the image.
    int64_t imagePositions = 0;
};

ProjectorCheck checkProjectorFile(const QString& path);

// Whether the projector file at `path` may show a model images: no load
// beside a model failed on the file as it is now. Any thread.
bool projectorLoads(const QString& path);
// What a load beside a model made of the file as it is now, for
// projectorLoads. Any thread.
void rememberProjectorLoad(const QString& path, bool loaded);

// The store's records, less the projectors that cannot show a model images
// (projectorLoads): what a list of the models that see images pairs them
// with. The store's thread.
QList<ModelInfo> projectorsThatLoad(const ModelStore& store);

} // namespace cvn
