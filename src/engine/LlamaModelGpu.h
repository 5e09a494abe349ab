#pragma once

// Where a load puts the model: on the GPU, partly, or on the CPU alone, and
// what llama.cpp's own report of the load says it did. Used by
// LlamaModel::load on the loading thread.

#include <llama.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cvn::gpuload {

// The buffers that common_fit_params writes into and the load then reads:
// they live until the load is done.
struct OffloadPlan {
    std::vector<ggml_backend_dev_t> devices; // the one GPU, then the list's end
    std::vector<float> tensorSplit;
    std::vector<llama_model_tensor_buft_override> overrides;
    std::vector<size_t> margins;
};

// Nothing on the device: no device for the weights and none for the
// prompt's batches, which llama.cpp otherwise sends to a GPU even with no
// layer there.
void keepOnCpu(llama_model_params& model, llama_context_params& context);

// Where offload put the model.
enum class Placement {
    noGpu,  // llama.cpp has no GPU to offload to
    noRoom, // the GPU has no room for a single layer
    onGpu,  // some or all of the layers go to the GPU
};

// Every layer on the GPU when the model, its context and `besideBytes` (a
// projector that loads beside it) fit in the device's free memory less a
// margin; else as many as fit. Only the GPU that the hardware page names
// takes layers. Unless the result is onGpu, the parameters are those of
// keepOnCpu.
Placement offload(const char* path, uint64_t besideBytes, llama_model_params& model, llama_context_params& context,
                  OffloadPlan& plan);

// Whether the GPU of `plan` still has `bytes` free beside the margin, now
// that the load has made `madeBytes` there.
bool hasRoomFor(const OffloadPlan& plan, uint64_t bytes, uint64_t madeBytes);

// What the load reported of itself, gathered from llama.cpp's log on the
// thread that loads, from construction to destruction.
class LoadReport {
public:
    LoadReport();
    ~LoadReport();
    LoadReport(const LoadReport&) = delete;
    LoadReport& operator=(const LoadReport&) = delete;

    // Layers llama.cpp assigned to a device other than the CPU.
    int64_t layersOnGpu() const { return int64_t(m_gpuLayers.size()); }
    // The model, cache and compute buffers it made on a GPU device.
    uint64_t deviceBytes() const { return m_deviceBytes; }

    // Hands a line of llama.cpp's log to the report in progress on this
    // thread, if any.
    static void take(const char* line);

private:
    void read(const std::string& line);

    std::vector<int> m_gpuLayers;
    uint64_t m_deviceBytes = 0;
    LoadReport* m_outer = nullptr;
};

// Test seams, process-wide: the device memory a fit may use (in place of
// its free memory less the margin), and a GPU load that fails as one out of
// device memory does.
struct TestHooks {
    std::optional<uint64_t> deviceBudgetBytes;
    bool failOnGpu = false;
};
void setTestHooks(TestHooks hooks);
TestHooks testHooks();

} // namespace cvn::gpuload
