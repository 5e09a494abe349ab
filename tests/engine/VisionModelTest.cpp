// Random projectors of both layouts, loaded by llama.cpp's mtmd library beside
// a random text model: an image becomes the embeddings of a run of the
// model's positions, and the model reads them and goes on.
#include "TestModelWriter.h"
#include "support/TempEnv.h"

#include <llama.h>
#include <mtmd-helper.h>
#include <mtmd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace cvn;
using testmodel::ProjectorLayout;

namespace {

// mtmd's log, kept for the checks on why a load failed; nothing reaches the
// test's output.
std::mutex logLock;
std::string mtmdLog;

void keepLog(ggml_log_level, const char* text, void*)
{
    std::lock_guard lock(logLock);
    mtmdLog += text;
}

template <auto release>
struct Release {
    template <typename T>
    void operator()(T* p) const { release(p); }
};
using ModelFree = Release<llama_model_free>;
using ContextFree = Release<llama_free>;
using MtmdFree = Release<mtmd_free>;
using BitmapFree = Release<mtmd_bitmap_free>;
using ChunksFree = Release<mtmd_input_chunks_free>;

std::string writeFile(const std::string& stem, int64_t embd, const std::optional<ProjectorLayout>& layout,
                      testmodel::WeightType type = testmodel::WeightType::f32)
{
    static const QString folder = test::makeTempFolder(QStringLiteral("vision"));
    const std::string path = folder.toStdString() + "/" + stem + ".gguf";
    if (layout) {
        testmodel::ProjectorSpec spec;
        spec.layout = *layout;
        spec.textEmbd = embd;
        spec.type = type;
        EXPECT_EQ(testmodel::writeRandomProjector(path, spec), "");
    } else {
        testmodel::RandomSpec spec;
        spec.shape.embd = embd;
        EXPECT_EQ(testmodel::writeRandomModel(path, testmodel::vocabPath(), spec), "");
    }
    return path;
}

std::unique_ptr<llama_model, ModelFree> loadModel(const std::string& path)
{
    llama_backend_init();
    llama_model_params params = llama_model_default_params();
    params.n_gpu_layers = 0;
    return std::unique_ptr<llama_model, ModelFree>(llama_model_load_from_file(path.c_str(), params));
}

std::unique_ptr<mtmd_context, MtmdFree> loadProjector(const std::string& path, const llama_model* model)
{
    mtmd_helper_log_set(keepLog, nullptr);
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = false;
    params.print_timings = false;
    params.n_threads = 2;
    return std::unique_ptr<mtmd_context, MtmdFree>(mtmd_init_from_file(path.c_str(), model, params));
}

// A gradient of 40 x 30 pixels: neither square nor the encoder's size, so
// the projector's own resizing runs too.
std::unique_ptr<mtmd_bitmap, BitmapFree> gradient()
{
    const uint32_t nx = 40, ny = 30;
    std::vector<unsigned char> rgb(size_t(nx) * ny * 3);
    for (uint32_t y = 0; y < ny; ++y)
        for (uint32_t x = 0; x < nx; ++x) {
            unsigned char* p = &rgb[(size_t(y) * nx + x) * 3];
            p[0] = static_cast<unsigned char>(x * 6);
            p[1] = static_cast<unsigned char>(y * 8);
            p[2] = 128;
        }
    return std::unique_ptr<mtmd_bitmap, BitmapFree>(mtmd_bitmap_init(nx, ny, rgb.data()));
}

} // namespace

TEST(VisionModelTest, EachLayoutEncodesAnImageThatItsModelThenReads)
{
    struct Case {
        ProjectorLayout layout;
        const char* name;
        int64_t embd;
        testmodel::WeightType type;
    };
    // Real projectors come in f16, whose tensors the encoder adds to its
    // activations must stay f32.
    for (const Case& c : {Case{ProjectorLayout::mlp, "mlp", 64, testmodel::WeightType::f32},
                          Case{ProjectorLayout::gemma3, "gemma3", 96, testmodel::WeightType::f16}}) {
        SCOPED_TRACE(c.name);
        const auto model = loadModel(writeFile(std::string("text-") + c.name, c.embd, std::nullopt));
        ASSERT_TRUE(model);
        const auto vision = loadProjector(writeFile(std::string("mmproj-") + c.name, c.embd, c.layout, c.type), model.get());
        ASSERT_TRUE(vision) << mtmdLog;
        EXPECT_TRUE(mtmd_support_vision(vision.get()));
        // Gemma 3 reads an image's positions all at once.
        EXPECT_EQ(mtmd_decode_use_non_causal(vision.get(), nullptr), c.layout == ProjectorLayout::gemma3);

        const auto bitmap = gradient();
        const std::string prompt = std::string("Look: ") + mtmd_default_marker() + " What is it?";
        mtmd_input_text text{prompt.c_str(), prompt.size(), /*add_special =*/true, /*parse_special =*/true};
        std::unique_ptr<mtmd_input_chunks, ChunksFree> chunks(mtmd_input_chunks_init());
        const mtmd_bitmap* bitmaps[] = {bitmap.get()};
        ASSERT_EQ(mtmd_tokenize(vision.get(), chunks.get(), &text, bitmaps, 1), 0) << mtmdLog;

        const mtmd_input_chunk* image = nullptr;
        size_t textTokens = 0;
        for (size_t i = 0; i < mtmd_input_chunks_size(chunks.get()); ++i) {
            const mtmd_input_chunk* chunk = mtmd_input_chunks_get(chunks.get(), i);
            if (mtmd_input_chunk_get_type(chunk) == MTMD_INPUT_CHUNK_TYPE_IMAGE) {
                EXPECT_FALSE(image) << "a second image chunk";
                image = chunk;
            } else {
                textTokens += mtmd_input_chunk_get_n_tokens(chunk);
            }
        }
        ASSERT_TRUE(image);
        EXPECT_GT(textTokens, 5u); // the text on both sides of the marker is kept
        const size_t imageTokens = mtmd_input_chunk_get_n_tokens(image);
        EXPECT_EQ(imageTokens, 4u);

        ASSERT_EQ(mtmd_encode_chunk(vision.get(), image), 0) << mtmdLog;
        const float* embd = mtmd_get_output_embd(vision.get());
        ASSERT_TRUE(embd);
        size_t finite = 0, nonZero = 0;
        for (size_t i = 0; i < imageTokens * size_t(c.embd); ++i) {
            finite += std::isfinite(embd[i]) ? 1 : 0;
            nonZero += embd[i] != 0.0f ? 1 : 0;
        }
        EXPECT_EQ(finite, imageTokens * size_t(c.embd));
        EXPECT_GT(nonZero, imageTokens * size_t(c.embd) / 2);

        llama_context_params params = llama_context_default_params();
        params.n_ctx = 256;
        params.n_batch = 64;
        params.n_ubatch = 64;
        params.n_threads = 2;
        const std::unique_ptr<llama_context, ContextFree> context(llama_init_from_model(model.get(), params));
        ASSERT_TRUE(context);
        llama_pos past = 0;
        ASSERT_EQ(mtmd_helper_eval_chunks(vision.get(), context.get(), chunks.get(), 0, 0, 64, true, &past), 0)
            << mtmdLog;
        EXPECT_EQ(past, llama_pos(textTokens + imageTokens));
        EXPECT_EQ(past, mtmd_helper_get_n_pos(chunks.get()));

        llama_sampler* greedy = llama_sampler_init_greedy();
        const llama_token next = llama_sampler_sample(greedy, context.get(), -1);
        llama_sampler_free(greedy);
        EXPECT_GE(next, 0);
        EXPECT_LT(next, llama_vocab_n_tokens(llama_model_get_vocab(model.get())));
    }
}

TEST(VisionModelTest, AProjectorOfAnotherWidthIsRefusedBesideTheModel)
{
    const auto model = loadModel(writeFile("text-64", 64, std::nullopt));
    ASSERT_TRUE(model);
    for (const ProjectorLayout layout : {ProjectorLayout::mlp, ProjectorLayout::gemma3}) {
        {
            std::lock_guard lock(logLock);
            mtmdLog.clear();
        }
        const auto vision = loadProjector(writeFile("mmproj-48", 48, layout), model.get());
        EXPECT_FALSE(vision);
        std::lock_guard lock(logLock);
        EXPECT_NE(mtmdLog.find("mismatch between text model (n_embd = 64) and mmproj (n_embd = 48)"),
                  std::string::npos)
            << mtmdLog;
    }
}
