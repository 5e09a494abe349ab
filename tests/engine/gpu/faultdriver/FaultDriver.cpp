// A Vulkan driver for the tests: Mesa's lavapipe, which fails as a GPU that
// is lost or out of memory does once the file named by CVN_FAULT_FILE exists.
// CVN_FAULT_AT says where the fault shows first:
//   submit  vkQueueSubmit returns VK_ERROR_DEVICE_LOST;
//   fence   submissions go through, and waiting for a fence or asking its
//           state returns VK_ERROR_DEVICE_LOST (the loss seen later, where
//           the caller waits for the device);
//   memory  vkAllocateMemory returns VK_ERROR_OUT_OF_DEVICE_MEMORY while the
//           file exists; nothing is lost. A file that holds a byte count
//           refuses only the allocations larger than that, as a device
//           with that much left in one piece does: a small model's
//           buffers are made and a large projector's weights are not.
// A lost device stays lost: once one call has said so, every submission and
// wait says so too, the file removed or not.
//
// lavapipe's own handles pass through unchanged (they carry the loader's
// dispatch pointer already); only the entry points below are ours, handed
// out by the two GetProcAddr functions the loader asks.

#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using Negotiate = VkResult(VKAPI_PTR*)(uint32_t*);
using PhysicalProcAddr = PFN_vkVoidFunction(VKAPI_PTR*)(VkInstance, const char*);

struct Lavapipe {
    void* library = nullptr;
    PFN_vkGetInstanceProcAddr instanceProcAddr = nullptr;
    PhysicalProcAddr physicalProcAddr = nullptr;
    Negotiate negotiate = nullptr;

    Lavapipe()
    {
        library = dlopen(CVN_LAVAPIPE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return;
        instanceProcAddr = reinterpret_cast<PFN_vkGetInstanceProcAddr>(dlsym(library, "vk_icdGetInstanceProcAddr"));
        physicalProcAddr = reinterpret_cast<PhysicalProcAddr>(dlsym(library, "vk_icdGetPhysicalDeviceProcAddr"));
        negotiate = reinterpret_cast<Negotiate>(dlsym(library, "vk_icdNegotiateLoaderICDInterfaceVersion"));
    }
};

Lavapipe& lavapipe()
{
    static Lavapipe loaded;
    return loaded;
}

// lavapipe's functions behind ours, one device's worth (lavapipe has one).
PFN_vkGetDeviceProcAddr realDeviceProcAddr = nullptr;
PFN_vkQueueSubmit realSubmit = nullptr;
PFN_vkWaitForFences realWaitForFences = nullptr;
PFN_vkGetFenceStatus realFenceStatus = nullptr;
PFN_vkAllocateMemory realAllocate = nullptr;

std::atomic<bool> lost{false};

bool armed()
{
    const char* file = std::getenv("CVN_FAULT_FILE");
    return file && *file && access(file, F_OK) == 0;
}

bool faultAt(const char* where)
{
    const char* at = std::getenv("CVN_FAULT_AT");
    return at && std::strcmp(at, where) == 0;
}

// The largest allocation the armed device still makes: the byte count the
// fault file holds, or 0 (none) when it holds no count.
VkDeviceSize largestAllowed()
{
    const char* name = std::getenv("CVN_FAULT_FILE");
    FILE* file = name ? std::fopen(name, "r") : nullptr;
    if (!file)
        return 0;
    unsigned long long bytes = 0;
    if (std::fscanf(file, "%llu", &bytes) != 1)
        bytes = 0;
    std::fclose(file);
    return VkDeviceSize(bytes);
}

// Whether the device is lost by now, a call of kind `where` being the one
// that may find it so.
bool lostAt(const char* where)
{
    if (!lost.load() && faultAt(where) && armed())
        lost = true;
    return lost.load();
}

VKAPI_ATTR VkResult VKAPI_CALL queueSubmit(VkQueue queue, uint32_t count, const VkSubmitInfo* submits, VkFence fence)
{
    if (lostAt("submit"))
        return VK_ERROR_DEVICE_LOST;
    return realSubmit(queue, count, submits, fence);
}

VKAPI_ATTR VkResult VKAPI_CALL waitForFences(VkDevice device, uint32_t count, const VkFence* fences, VkBool32 all,
                                             uint64_t timeout)
{
    if (lostAt("fence"))
        return VK_ERROR_DEVICE_LOST;
    return realWaitForFences(device, count, fences, all, timeout);
}

VKAPI_ATTR VkResult VKAPI_CALL getFenceStatus(VkDevice device, VkFence fence)
{
    if (lostAt("fence"))
        return VK_ERROR_DEVICE_LOST;
    return realFenceStatus(device, fence);
}

VKAPI_ATTR VkResult VKAPI_CALL allocateMemory(VkDevice device, const VkMemoryAllocateInfo* info,
                                              const VkAllocationCallbacks* allocator, VkDeviceMemory* memory)
{
    if (faultAt("memory") && armed()) {
        const VkDeviceSize allowed = largestAllowed();
        if (allowed == 0 || !info || info->allocationSize > allowed)
            return VK_ERROR_OUT_OF_DEVICE_MEMORY;
    }
    return realAllocate(device, info, allocator, memory);
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL deviceProcAddr(VkDevice device, const char* name);

// Ours in place of lavapipe's `real`, for the names we fail; `real` itself
// otherwise.
PFN_vkVoidFunction intercept(const char* name, PFN_vkVoidFunction real)
{
    if (!real)
        return nullptr;
    const auto is = [name](const char* other) { return std::strcmp(name, other) == 0; };
    if (is("vkGetDeviceProcAddr")) {
        realDeviceProcAddr = reinterpret_cast<PFN_vkGetDeviceProcAddr>(real);
        return reinterpret_cast<PFN_vkVoidFunction>(&deviceProcAddr);
    }
    if (is("vkQueueSubmit")) {
        realSubmit = reinterpret_cast<PFN_vkQueueSubmit>(real);
        return reinterpret_cast<PFN_vkVoidFunction>(&queueSubmit);
    }
    if (is("vkWaitForFences")) {
        realWaitForFences = reinterpret_cast<PFN_vkWaitForFences>(real);
        return reinterpret_cast<PFN_vkVoidFunction>(&waitForFences);
    }
    if (is("vkGetFenceStatus")) {
        realFenceStatus = reinterpret_cast<PFN_vkGetFenceStatus>(real);
        return reinterpret_cast<PFN_vkVoidFunction>(&getFenceStatus);
    }
    if (is("vkAllocateMemory")) {
        realAllocate = reinterpret_cast<PFN_vkAllocateMemory>(real);
        return reinterpret_cast<PFN_vkVoidFunction>(&allocateMemory);
    }
    return real;
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL deviceProcAddr(VkDevice device, const char* name)
{
    return intercept(name, realDeviceProcAddr(device, name));
}

} // namespace

extern "C" {

VKAPI_ATTR VkResult VKAPI_CALL vk_icdNegotiateLoaderICDInterfaceVersion(uint32_t* version)
{
    if (!lavapipe().negotiate)
        return VK_ERROR_INCOMPATIBLE_DRIVER;
    return lavapipe().negotiate(version);
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vk_icdGetInstanceProcAddr(VkInstance instance, const char* name)
{
    if (!lavapipe().instanceProcAddr)
        return nullptr;
    return intercept(name, lavapipe().instanceProcAddr(instance, name));
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vk_icdGetPhysicalDeviceProcAddr(VkInstance instance, const char* name)
{
    if (!lavapipe().physicalProcAddr)
        return nullptr;
    return lavapipe().physicalProcAddr(instance, name);
}

} // extern "C"
