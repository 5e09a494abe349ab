// A Vulkan driver that fails the way broken ones do at a program's start:
// CVN_START_FAULT names the call ("create" for vkCreateInstance, "enumerate"
// for vkEnumeratePhysicalDevices) and what happens in it ("crash" raises
// SIGSEGV, "hang" sleeps for good), e.g. "crash-create". Until then it
// answers as a driver with no extensions and no devices would. Chosen with
// VK_DRIVER_FILES pointing at the manifest the build writes beside it.

#include <vulkan/vulkan.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void faultIf(const char* call)
{
    const char* fault = std::getenv("CVN_START_FAULT");
    const char* dash = fault ? std::strchr(fault, '-') : nullptr;
    if (!dash || std::strcmp(dash + 1, call) != 0)
        return;
    if (std::strncmp(fault, "crash", size_t(dash - fault)) == 0)
        std::raise(SIGSEGV);
    while (std::strncmp(fault, "hang", size_t(dash - fault)) == 0)
        ::pause();
}

struct Instance {
    void* loaderData; // the loader's word at the front of a dispatchable handle
};

VKAPI_ATTR VkResult VKAPI_CALL enumerateExtensions(const char*, uint32_t* count, VkExtensionProperties*)
{
    *count = 0;
    return VK_SUCCESS;
}

VKAPI_ATTR VkResult VKAPI_CALL createInstance(const VkInstanceCreateInfo*, const VkAllocationCallbacks*,
                                              VkInstance* instance)
{
    faultIf("create");
    *instance = reinterpret_cast<VkInstance>(new Instance{});
    return VK_SUCCESS;
}

VKAPI_ATTR void VKAPI_CALL destroyInstance(VkInstance instance, const VkAllocationCallbacks*)
{
    delete reinterpret_cast<Instance*>(instance);
}

VKAPI_ATTR VkResult VKAPI_CALL enumeratePhysicalDevices(VkInstance, uint32_t* count, VkPhysicalDevice*)
{
    faultIf("enumerate");
    *count = 0;
    return VK_SUCCESS;
}

// The loader insists on an instance's core entry points; with no device
// listed, none of them is ever called.
VKAPI_ATTR void VKAPI_CALL neverCalled()
{
    std::abort();
}

} // namespace

extern "C" {

VKAPI_ATTR VkResult VKAPI_CALL vk_icdNegotiateLoaderICDInterfaceVersion(uint32_t* version)
{
    if (*version > 5)
        *version = 5;
    return VK_SUCCESS;
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vk_icdGetInstanceProcAddr(VkInstance instance, const char* name)
{
    const struct {
        const char* name;
        PFN_vkVoidFunction function;
    } known[] = {
        {"vkEnumerateInstanceExtensionProperties", reinterpret_cast<PFN_vkVoidFunction>(enumerateExtensions)},
        {"vkCreateInstance", reinterpret_cast<PFN_vkVoidFunction>(createInstance)},
        {"vkDestroyInstance", reinterpret_cast<PFN_vkVoidFunction>(destroyInstance)},
        {"vkEnumeratePhysicalDevices", reinterpret_cast<PFN_vkVoidFunction>(enumeratePhysicalDevices)},
    };
    for (const auto& entry : known) {
        if (std::strcmp(name, entry.name) == 0)
            return entry.function;
    }
    return instance ? reinterpret_cast<PFN_vkVoidFunction>(neverCalled) : nullptr;
}

} // extern "C"
