#pragma once

#include <QString>

namespace cvn::bench {

// Loads the model on the GPU and on the CPU, decodes the same prompt on both
// and prints "gpu/cpu logits nmse: X" with the layers the GPU took; 0 when
// it ran, 1 when there is no GPU or a load failed (said on stderr). Then
// prints stopOnGpu's figures.
int compareGpuLogits(const QString& path, long threads, long ctx);

// Loads the model on the GPU with a context of at least 2,048 tokens and
// prints its prompt speed with and without the slices a stop is heard
// between, then "stop during a GPU prompt: X s", the seconds from a stop to
// the end of a run whose prompt of 1,200 tokens decodes. 1 when the load
// failed (said on stderr).
int stopOnGpu(const QString& path, long threads, long ctx);

} // namespace cvn::bench
