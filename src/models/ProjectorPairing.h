#pragma once

// Which image projector a model sees through. A projector fits a model when
// its projection width is the model's embedding width; among the projectors
// that fit, the one whose name shares the most words with the model's file
// name is taken (the files come in pairs such as "gemma-3-4b-it-Q4_K_M.gguf"
// and "mmproj-gemma-3-4b-it-f16.gguf"), the first by file name on a tie.
// Plain functions of the models folder's records.

#include "models/ModelInfo.h"

#include <QList>

#include <optional>

namespace cvn {

namespace ProjectorPairing {

// The projectors in `all` that fit `model`, in the order of `all`. None for a
// projector itself or a model whose embedding width is unknown.
QList<ModelInfo> fitting(const ModelInfo& model, const QList<ModelInfo>& all);

// The projector `model` sees through: none when it chose none or nothing
// fits; the one it chose while that one is there and fits; else the best
// named of those that fit.
std::optional<ModelInfo> projectorFor(const ModelInfo& model, const QList<ModelInfo>& all);

// How many words of the two file names agree, leaving out "mmproj", the
// extension and the words of a weight type ("f16", "q4", "k", "m", ...).
int sharedNameWords(const QString& modelFile, const QString& projectorFile);

} // namespace ProjectorPairing

} // namespace cvn
