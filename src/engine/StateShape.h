// What a model's memory writes when llama.cpp saves one sequence, and the
// check that a kept state has that form before llama.cpp reads it.

#pragma once

#include <cstddef>
#include <cstdint>

struct llama_model;

namespace cvn {

struct StateShape {
    // Attention caches come first: the whole context's, then, for a model
    // with a sliding window, the window's.
    int attentionParts = 1;
    // A recurrent memory's part, always last.
    bool recurrent = false;
    // Whether attention writes key rows alone, its values being read from
    // them.
    bool keysHoldValues = false;
    // Whether each attention cell carries its extra (2D position, token).
    // Some hybrid models write it for their token hashes, which nothing
    // public tells: their states are taken in whichever layout walks.
    enum class CellExtra { none, always, unknown };
    CellExtra cellExtra = CellExtra::none;

    static StateShape of(const llama_model* model);
};

// True when `size` bytes are one sequence's state of that shape for
// `tokens` tokens: each attention part of one stream and one sequence per
// cell, the first with a cell per token and the others no more, the
// recurrent part with at most one cell, and nothing past the last part.
// Every length is checked against the bytes there.
bool stateHasShape(const uint8_t* data, size_t size, const StateShape& shape, uint32_t tokens);

} // namespace cvn
