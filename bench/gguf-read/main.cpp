// Reading the header of a ~1B-parameter llama model with a full 32k-token
// vocabulary: our GgufMetadata::read against llama.cpp's gguf_init_from_file
// with no_alloc, on the same file, with a warm page cache.
//
// bench-gguf-read [iterations] [folder]
//
// The model is written to the folder (an existing one; by default a new
// temporary folder) from llama.cpp's SentencePiece vocabulary file plus the
// tensor infos of a TinyLlama-like shape (22 layers, width 2048, Q4_K
// weights); the tensor data is left as a hole, so the 600 MB file takes almost
// no disk. It is removed at the end, the temporary folder with it. Prints the
// median time of each reader and, last, "ratio <ours/theirs>".
//
// --help prints the usage; an unknown option, a count that is not a whole
// number of at least 1 or a folder that is not there is one line on stderr
// and exit status 2 or 1.

#include "BenchTiming.h"
#include "models/GgufMetadata.h"

#include "ggml.h"
#include "gguf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using cvn::bench::medianMs;

namespace {

constexpr int kLayers = 22;
constexpr int64_t kEmbd = 2048;
constexpr int64_t kFeedForward = 5632;
constexpr int64_t kHeads = 32;
constexpr int64_t kKvHeads = 4;
constexpr int64_t kVocab = 32000;

void addTensor(ggml_context* tensors, gguf_context* gguf, const std::string& name, ggml_type type, int64_t ne0,
               int64_t ne1 = 1)
{
    ggml_tensor* t = ne1 == 1 ? ggml_new_tensor_1d(tensors, type, ne0) : ggml_new_tensor_2d(tensors, type, ne0, ne1);
    ggml_set_name(t, name.c_str());
    gguf_add_tensor(gguf, t);
}

const char* const kUsage = "usage: bench-gguf-read [iterations] [folder]\n";

int fail(int status, const std::string& line)
{
    std::fprintf(stderr, "bench-gguf-read: %s\n", line.c_str());
    return status;
}

// Writes the benchmark model and returns its size in bytes, or -1 after
// saying on stderr what failed.
int64_t writeModel(const std::string& path)
{
    gguf_init_params params{true, nullptr};
    gguf_context* vocab = gguf_init_from_file(CVN_VOCAB_FILE, params);
    if (!vocab)
        return fail(-1, std::string("cannot read ") + CVN_VOCAB_FILE);
    gguf_context* model = gguf_init_empty();
    gguf_set_kv(model, vocab);
    gguf_free(vocab);
    gguf_set_val_str(model, "general.architecture", "llama");
    gguf_set_val_str(model, "general.name", "bench-1b");
    gguf_set_val_u32(model, "general.file_type", 15);
    gguf_set_val_u32(model, "llama.context_length", 2048);
    gguf_set_val_u32(model, "llama.embedding_length", kEmbd);
    gguf_set_val_u32(model, "llama.block_count", kLayers);
    gguf_set_val_u32(model, "llama.feed_forward_length", kFeedForward);
    gguf_set_val_u32(model, "llama.attention.head_count", kHeads);
    gguf_set_val_u32(model, "llama.attention.head_count_kv", kKvHeads);
    gguf_set_val_u32(model, "llama.rope.dimension_count", kEmbd / kHeads);
    gguf_set_val_f32(model, "llama.attention.layer_norm_rms_epsilon", 1e-5f);

    ggml_init_params tensorParams{ggml_tensor_overhead() * (16 * kLayers + 8), nullptr, true};
    ggml_context* tensors = ggml_init(tensorParams);
    const int64_t kvWidth = kEmbd / kHeads * kKvHeads;
    addTensor(tensors, model, "token_embd.weight", GGML_TYPE_Q4_K, kEmbd, kVocab);
    for (int i = 0; i < kLayers; ++i) {
        const std::string blk = "blk." + std::to_string(i) + ".";
        addTensor(tensors, model, blk + "attn_norm.weight", GGML_TYPE_F32, kEmbd);
        addTensor(tensors, model, blk + "attn_q.weight", GGML_TYPE_Q4_K, kEmbd, kEmbd);
        addTensor(tensors, model, blk + "attn_k.weight", GGML_TYPE_Q4_K, kEmbd, kvWidth);
        addTensor(tensors, model, blk + "attn_v.weight", GGML_TYPE_Q6_K, kEmbd, kvWidth);
        addTensor(tensors, model, blk + "attn_output.weight", GGML_TYPE_Q4_K, kEmbd, kEmbd);
        addTensor(tensors, model, blk + "ffn_norm.weight", GGML_TYPE_F32, kEmbd);
        addTensor(tensors, model, blk + "ffn_gate.weight", GGML_TYPE_Q4_K, kEmbd, kFeedForward);
        addTensor(tensors, model, blk + "ffn_up.weight", GGML_TYPE_Q4_K, kEmbd, kFeedForward);
        addTensor(tensors, model, blk + "ffn_down.weight", GGML_TYPE_Q6_K, kFeedForward, kEmbd);
    }
    addTensor(tensors, model, "output_norm.weight", GGML_TYPE_F32, kEmbd);
    addTensor(tensors, model, "output.weight", GGML_TYPE_Q6_K, kEmbd, kVocab);

    const bool written = gguf_write_to_file(model, path.c_str(), true);
    if (!written) {
        gguf_free(model);
        ggml_free(tensors);
        return fail(-1, "cannot write " + path);
    }
    const int64_t last = gguf_get_n_tensors(model) - 1;
    const int64_t dataBytes = int64_t(gguf_get_tensor_offset(model, last) + gguf_get_tensor_size(model, last));
    const int64_t total = int64_t(gguf_get_meta_size(model)) + dataBytes;
    gguf_free(model);
    ggml_free(tensors);

    QFile file(QString::fromStdString(path));
    if (!file.resize(total))
        return fail(-1, "cannot extend " + path);
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return fail(2, std::string("unknown option ") + argv[i] + " (see --help)");
    }
    if (argc > 3)
        return fail(2, "takes at most a count and a folder (see --help)");
    int iterations = 200;
    if (argc > 1) {
        char* end = nullptr;
        const long value = std::strtol(argv[1], &end, 10);
        if (end == argv[1] || *end || value < 1 || value > 1000000)
            return fail(2, first + ": not a whole number of iterations from 1 to 1000000");
        iterations = int(value);
    }
    QTemporaryDir temporary;
    if (argc > 2 && !QFileInfo(QString::fromLocal8Bit(argv[2])).isDir())
        return fail(1, std::string(argv[2]) + ": no such folder");
    if (argc <= 2 && !temporary.isValid())
        return fail(1, "cannot make a temporary folder");
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporary.path();
    const std::string path = (folder + QStringLiteral("/cvn-bench-1b.gguf")).toStdString();
    const QString qpath = QString::fromStdString(path);
    // Removed on every way out, in a folder given by the caller too.
    const auto removeModel = qScopeGuard([&] { QFile::remove(qpath); });
    const int64_t size = writeModel(path);
    if (size < 0)
        return 1;

    // Both readers must see the file as a model before timing means anything.
    const auto ours = cvn::GgufMetadata::read(qpath);
    gguf_context* theirs = gguf_init_from_file(path.c_str(), {true, nullptr});
    if (!ours || !theirs) {
        std::fprintf(stderr, "a reader refused the benchmark file\n");
        return 1;
    }
    std::printf("file: %s, %lld bytes, %lld keys, %lld tensors, %zu vocabulary tokens\n", path.c_str(),
                static_cast<long long>(size), static_cast<long long>(gguf_get_n_kv(theirs)),
                static_cast<long long>(gguf_get_n_tensors(theirs)),
                gguf_get_arr_n(theirs, gguf_find_key(theirs, "tokenizer.ggml.tokens")));
    gguf_free(theirs);

    // Two rounds of both; the first warms the page cache and the allocator,
    // the second is reported.
    double oursUs = 0, theirsUs = 0;
    for (int round = 0; round < 2; ++round) {
        oursUs = 1000 * medianMs(iterations, [&] {
            if (!cvn::GgufMetadata::read(qpath))
                std::abort();
        });
        theirsUs = 1000 * medianMs(iterations, [&] {
            gguf_context* ctx = gguf_init_from_file(path.c_str(), {true, nullptr});
            if (!ctx)
                std::abort();
            gguf_free(ctx);
        });
    }
    std::printf("GgufMetadata::read             median %10.1f us over %d runs\n", oursUs, iterations);
    std::printf("gguf_init_from_file(no_alloc)  median %10.1f us over %d runs\n", theirsUs, iterations);
    std::printf("ratio %.3f\n", oursUs / theirsUs);
    return 0;
}
