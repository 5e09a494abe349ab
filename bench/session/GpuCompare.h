#pragma once

#include <QString>

namespace cvn::bench {

// Loads the model on the GPU and on the CPU, decodes the same prompt on both
// and prints "gpu/cpu logits nmse: X" with the layers the GPU took; 0 when
// it ran, 1 when there is no GPU or a load failed (said on stderr). Speed on
// a software device means nothing, so none is printed.
int compareGpuLogits(const QString& path, long threads, long ctx);

} // namespace cvn::bench
