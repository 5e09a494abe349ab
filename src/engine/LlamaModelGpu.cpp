#include "engine/LlamaModelGpu.h"

#include "platform/Logging.h"

#include <fit.h>
#include <ggml-backend.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace cvn::gpuload {

namespace {

// Room left on the device for the driver, the desktop and other programs:
// what llama.cpp's own tools leave by default.
constexpr size_t kMarginBytes = size_t(1024) * 1024 * 1024;

thread_local LoadReport* current = nullptr;

std::mutex hooksLock;
TestHooks& hooks() // guarded by hooksLock
{
    static TestHooks installed;
    return installed;
}

bool isGpu(ggml_backend_dev_t dev)
{
    const enum ggml_backend_dev_type type = ggml_backend_dev_type(dev);
    return type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
}

// The GPU the hardware page names (GpuDevices.cpp): the first of type GPU,
// else the first integrated one, as llama.cpp itself would fill them.
std::optional<ggml_backend_dev_t> namedGpu()
{
    std::optional<ggml_backend_dev_t> integrated;
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t dev = ggml_backend_dev_get(i);
        const enum ggml_backend_dev_type type = ggml_backend_dev_type(dev);
        if (type == GGML_BACKEND_DEVICE_TYPE_GPU)
            return dev;
        if (type == GGML_BACKEND_DEVICE_TYPE_IGPU && !integrated)
            integrated = dev;
    }
    return integrated;
}

std::optional<ggml_backend_dev_t> gpuNamed(const std::string& name)
{
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t dev = ggml_backend_dev_get(i);
        if (isGpu(dev) && name == ggml_backend_dev_name(dev))
            return dev;
    }
    return std::nullopt;
}

} // namespace

void keepOnCpu(llama_model_params& model, llama_context_params& context)
{
    static ggml_backend_dev_t none[] = {nullptr};
    model.devices = none;
    model.n_gpu_layers = 0;
    model.tensor_split = nullptr;
    model.tensor_buft_overrides = nullptr;
    context.op_offload = false;
}

Placement offload(const char* path, uint64_t besideBytes, llama_model_params& model, llama_context_params& context,
                  OffloadPlan& plan)
{
    const std::optional<ggml_backend_dev_t> gpu = namedGpu();
    if (!gpu || !llama_supports_gpu_offload()) {
        keepOnCpu(model, context);
        return Placement::noGpu;
    }
    // Layers go to the device the user is shown, never to a second GPU
    // that llama.cpp would otherwise split them over.
    plan.devices = {*gpu, nullptr};
    model.devices = plan.devices.data();
    plan.tensorSplit.assign(llama_max_devices(), 0.0f);
    plan.overrides.assign(llama_max_tensor_buft_overrides(), llama_model_tensor_buft_override{nullptr, nullptr});
    plan.margins.assign(llama_max_devices(), kMarginBytes);
    if (const TestHooks seams = testHooks(); seams.deviceBudgetBytes) {
        size_t free = 0, total = 0;
        ggml_backend_dev_memory(*gpu, &free, &total);
        plan.margins[0] = free > *seams.deviceBudgetBytes ? free - *seams.deviceBudgetBytes : 0;
    }
    // The fit knows the model and its context only: what loads beside them
    // on the same device is room it must leave.
    plan.margins[0] += size_t(besideBytes);
    // All layers unless the fit finds they do not fit; then it lowers the
    // count (and may leave parts of one layer on the CPU).
    model.n_gpu_layers = -1;
    common_params_fit_status status = COMMON_PARAMS_FIT_STATUS_ERROR;
    try {
        status = common_fit_params(path, &model, &context, plan.tensorSplit.data(), plan.overrides.data(),
                                   plan.margins.data(), context.n_ctx > 0 ? context.n_ctx : 512, nullptr,
                                   GGML_LOG_LEVEL_WARN);
    } catch (const std::exception& error) {
        qCWarning(lcRuntime, "Fitting the model to the GPU's memory failed: %s", error.what());
    }
    if (status == COMMON_PARAMS_FIT_STATUS_ERROR) {
        // Nothing known of what fits: the load tries all, and a failure
        // there loads again on the CPU.
        model.n_gpu_layers = -1;
        model.tensor_split = nullptr;
        model.tensor_buft_overrides = nullptr;
    } else if (model.n_gpu_layers == 0) {
        // Not a layer: a GPU load would still put the batches' compute
        // buffer on the device and send every prompt through it.
        qCInfo(lcRuntime, "GPU offload: the GPU has no room for a layer; the model loads on the CPU");
        keepOnCpu(model, context);
        return Placement::noRoom;
    }
    // llama.cpp reads a negative count as every layer.
    const QByteArray asked = model.n_gpu_layers < 0 ? QByteArray("every layer") : QByteArray::number(model.n_gpu_layers) + " layers";
    qCInfo(lcRuntime, "GPU offload: %s asked for after the fit to free device memory%s", asked.constData(),
           status == COMMON_PARAMS_FIT_STATUS_FAILURE ? " (projected not to fit)" : "");
    return Placement::onGpu;
}

bool hasRoomFor(const OffloadPlan& plan, uint64_t bytes, uint64_t madeBytes)
{
    if (plan.devices.empty() || !plan.devices.front())
        return false;
    if (const TestHooks seams = testHooks(); seams.deviceBudgetBytes)
        return *seams.deviceBudgetBytes >= madeBytes && *seams.deviceBudgetBytes - madeBytes >= bytes;
    size_t free = 0, total = 0;
    ggml_backend_dev_memory(plan.devices.front(), &free, &total);
    return free >= kMarginBytes && free - kMarginBytes >= bytes;
}

LoadReport::LoadReport()
    : m_outer(current)
{
    current = this;
}

LoadReport::~LoadReport()
{
    current = m_outer;
}

void LoadReport::take(const char* line)
{
    if (current && line)
        current->read(line);
}

void LoadReport::read(const std::string& line)
{
    // "load_tensors: layer   3 assigned to device Vulkan0, is_swa = 0"
    int layer = -1;
    char device[64] = {};
    if (std::sscanf(line.c_str(), "load_tensors: layer %d assigned to device %63[^,]", &layer, device) == 2) {
        const bool onGpu = gpuNamed(device).has_value();
        const auto at = std::find(m_gpuLayers.begin(), m_gpuLayers.end(), layer);
        if (onGpu && at == m_gpuLayers.end())
            m_gpuLayers.push_back(layer);
        else if (!onGpu && at != m_gpuLayers.end())
            m_gpuLayers.erase(at);
        return;
    }
    // "<where>: <buffer> model buffer size = 12.00 MiB", and the same for
    // the KV cache, the outputs and the compute buffers.
    const size_t size = line.find(" buffer size = ");
    const size_t colon = line.find(": ");
    if (size == std::string::npos || colon == std::string::npos || colon > size)
        return;
    char name[64] = {};
    double mib = 0.0;
    if (std::sscanf(line.c_str() + colon + 2, "%63s", name) != 1
        || std::sscanf(line.c_str() + size, " buffer size = %lf", &mib) != 1)
        return;
    if (gpuNamed(name))
        m_deviceBytes += uint64_t(std::max(0.0, mib) * 1048576.0);
}

void setTestHooks(TestHooks installed)
{
    std::lock_guard lock(hooksLock);
    hooks() = std::move(installed);
}

TestHooks testHooks()
{
    std::lock_guard lock(hooksLock);
    return hooks();
}

} // namespace cvn::gpuload
