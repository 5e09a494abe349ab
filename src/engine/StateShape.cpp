// llama.cpp reserves what a state's cell count claims before it reads the
// cells (llama_kv_cache::state_read_meta, llama_memory_recurrent's): a file
// claiming two billion cells would take that much memory. Every part is
// walked here as llama.cpp writes it for one sequence (llama-context.cpp,
// llama-kv-cache.cpp, llama-memory-recurrent.cpp, and the sliding-window
// and hybrid memories that write those parts in turn), so no count is read
// that was not first bounded.

#include "engine/StateShape.h"

#include <ggml.h>
#include <llama.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace cvn {

namespace {

constexpr uint32_t kStateMagic = 0xaf143cd8;
// A cell's extra: its 2D position and its token.
constexpr uint64_t kCellExtraBytes = 12;
// Far more rows than any recurrent model has layers: a state that needs
// more to reach its end is not one llama.cpp wrote.
constexpr size_t kMostRecurrentRows = 1 << 14;

class Walk {
public:
    Walk(const uint8_t* data, size_t size, const StateShape& shape, uint32_t tokens, uint64_t cellExtra)
        : m_data(data), m_size(size), m_shape(shape), m_tokens(tokens), m_cellExtra(cellExtra)
    {
    }

    bool run() const
    {
        size_t at = 0;
        uint32_t magic = 0;
        if (!word(at, magic) || magic != kStateMagic || !skip(at, 1, 4))
            return false;
        for (int part = 0; part < m_shape.attentionParts; ++part) {
            if (!attention(at, part == 0))
                return false;
        }
        return m_shape.recurrent ? recurrentReachesEnd(at) : at == m_size;
    }

private:
    bool word(size_t& at, uint32_t& value) const
    {
        if (m_size - at < sizeof value)
            return false;
        std::memcpy(&value, m_data + at, sizeof value);
        at += sizeof value;
        return true;
    }

    bool wide(size_t& at, uint64_t& value) const
    {
        if (m_size - at < sizeof value)
            return false;
        std::memcpy(&value, m_data + at, sizeof value);
        at += sizeof value;
        return true;
    }

    // Moves past `count` items of `each` bytes, if they are there.
    bool skip(size_t& at, uint64_t count, uint64_t each) const
    {
        if (each != 0 && count > (m_size - at) / each)
            return false;
        at += size_t(count * each);
        return true;
    }

    // A tensor's type and row size, then a row per cell.
    bool rows(size_t& at, uint64_t cells) const
    {
        uint32_t type = 0;
        uint64_t row = 0;
        return word(at, type) && type < GGML_TYPE_COUNT && wide(at, row) && skip(at, cells, row);
    }

    // A value tensor laid out by element: its type, element size and width,
    // then an element per cell for each of its columns.
    bool columns(size_t& at, uint64_t cells) const
    {
        uint32_t type = 0;
        uint32_t element = 0;
        uint32_t width = 0;
        return word(at, type) && type < GGML_TYPE_COUNT && word(at, element) && word(at, width)
               && skip(at, uint64_t(width) * cells, element);
    }

    // Moves past an attention part.
    bool attention(size_t& at, bool first) const
    {
        uint32_t streams = 0;
        uint32_t cells = 0;
        if (!word(at, streams) || streams != 1 || !word(at, cells) || cells > m_tokens || (first && cells != m_tokens))
            return false;
        if (cells == 0)
            return true;
        for (uint32_t i = 0; i < cells; ++i) {
            uint32_t sequences = 0;
            if (!skip(at, 1, 4) || !word(at, sequences) || sequences != 1 || !skip(at, 1, m_cellExtra + 4))
                return false;
        }
        uint32_t transposed = 0;
        uint32_t layers = 0;
        if (!word(at, transposed) || transposed > 1 || !word(at, layers))
            return false;
        for (uint32_t i = 0; i < layers; ++i) {
            if (!rows(at, cells))
                return false;
        }
        for (uint32_t i = 0; i < layers && !m_shape.keysHoldValues; ++i) {
            if (!(transposed ? columns(at, cells) : rows(at, cells)))
                return false;
        }
        return true;
    }

    // The recurrent part: a cell's position and no sequences, then rows
    // for the layers that keep each kind of state. How many layers keep
    // them is not written, so the rows are taken as far as the state's
    // end, which they must reach exactly.
    bool recurrentReachesEnd(size_t at) const
    {
        uint32_t cells = 0;
        if (!word(at, cells) || cells > 1)
            return false;
        for (uint32_t i = 0; i < cells; ++i) {
            uint32_t sequences = 0;
            if (!skip(at, 1, 4) || !word(at, sequences) || sequences != 0)
                return false;
        }
        uint32_t transposed = 0;
        uint32_t layers = 0;
        if (!word(at, transposed) || transposed != 0 || !word(at, layers))
            return false;
        // A layer with a token hash follows its first rows with a second
        // row size and rows; either reading is followed, once per offset.
        const bool hashRows = m_shape.cellExtra == StateShape::CellExtra::unknown;
        std::vector<size_t> open{at};
        std::set<size_t> seen{at};
        while (!open.empty() && seen.size() < kMostRecurrentRows) {
            const size_t from = open.back();
            open.pop_back();
            if (from == m_size)
                return true;
            for (const bool hashed : {false, true}) {
                size_t next = from;
                uint64_t row = 0;
                const bool walked = hashed ? hashRows && wide(next, row) && skip(next, cells, row) : rows(next, cells);
                if (walked && seen.insert(next).second)
                    open.push_back(next);
            }
        }
        return false;
    }

    const uint8_t* m_data;
    size_t m_size;
    const StateShape& m_shape;
    uint32_t m_tokens;
    uint64_t m_cellExtra;
};

} // namespace

StateShape StateShape::of(const llama_model* model)
{
    StateShape shape;
    if (llama_model_is_recurrent(model)) {
        shape.attentionParts = 0;
        shape.recurrent = true;
        return shape;
    }
    shape.recurrent = llama_model_is_hybrid(model);
    shape.attentionParts = llama_model_n_swa(model) > 0 ? 2 : 1;
    // A model whose attention keeps a compressed latent writes no value rows.
    char architecture[64] = {};
    char latent[32] = {};
    if (llama_model_meta_val_str(model, "general.architecture", architecture, sizeof architecture) > 0) {
        const std::string key = std::string(architecture) + ".attention.key_length_mla";
        shape.keysHoldValues = llama_model_meta_val_str(model, key.c_str(), latent, sizeof latent) > 0
                               && std::string_view(latent) != "0";
    }
    const llama_rope_type rope = llama_model_rope_type(model);
    if (rope == LLAMA_ROPE_TYPE_MROPE || rope == LLAMA_ROPE_TYPE_IMROPE)
        shape.cellExtra = CellExtra::always;
    else if (shape.recurrent)
        shape.cellExtra = CellExtra::unknown;
    return shape;
}

bool stateHasShape(const uint8_t* data, size_t size, const StateShape& shape, uint32_t tokens)
{
    if (!data)
        return false;
    if (shape.cellExtra != StateShape::CellExtra::unknown)
        return Walk(data, size, shape, tokens, shape.cellExtra == StateShape::CellExtra::always ? kCellExtraBytes : 0)
            .run();
    // Both layouts walking would leave llama.cpp's own reading unchecked.
    return Walk(data, size, shape, tokens, 0).run() != Walk(data, size, shape, tokens, kCellExtraBytes).run();
}

} // namespace cvn
