#include "platform/HostFacts.h"
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

using namespace cvn;

TEST(SystemInfo, ParsesMeminfo)
{
    const QByteArray modern = "MemTotal:       16318412 kB\nMemFree:         1000000 kB\n"
                              "MemAvailable:    9216000 kB\nBuffers:          204800 kB\nCached:          4096000 kB\n";
    EXPECT_EQ(parseMeminfo(modern), (MemoryFigures{15935, 9000}));
    // Older kernels without MemAvailable: free + buffers + cached.
    EXPECT_EQ(parseMeminfo("MemTotal: 16318412 kB\nMemFree: 1024000 kB\nBuffers: 1024 kB\nCached: 1023 kB\n"),
              (MemoryFigures{15935, 1001}));
    // A total of 0 reads as 8192; free never above the total.
    EXPECT_EQ(parseMeminfo("MemTotal: 0 kB\nMemAvailable: 99999999 kB\n"), (MemoryFigures{8192, 8192}));
    EXPECT_EQ(parseMeminfo("MemTotalX: 5 kB\nMemAvailable: 2048 kB"), (MemoryFigures{8192, 2}));
    EXPECT_FALSE(parseMeminfo(""));
    EXPECT_FALSE(parseMeminfo("MemTotal: 16318412 kB\nMemAvailable: lots\n"));
}

TEST(SystemInfo, ParsesCpuModelName)
{
    EXPECT_EQ(parseCpuModelName("processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) "
                                "Processor  \nmodel name\t: second\n"),
              "Intel(R) Xeon(R) Processor");
    EXPECT_EQ(parseCpuModelName("processor\t: 0\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\n"), "");
    EXPECT_EQ(parseCpuModelName(""), "");
}

TEST(SystemInfo, PhysicalCoresCountDistinctPackageCorePairs)
{
    // Two packages, two cores each, two threads per core.
    QByteArray cpuinfo;
    int processor = 0;
    for (int package = 0; package < 2; ++package) {
        for (int thread = 0; thread < 2; ++thread) {
            for (int core = 0; core < 2; ++core) {
                cpuinfo += "processor\t: " + QByteArray::number(processor++) + "\nmodel name\t: X\n"
                    + "physical id\t: " + QByteArray::number(package) + "\ncore id\t\t: "
                    + QByteArray::number(core) + "\n\n";
            }
        }
    }
    EXPECT_EQ(parsePhysicalCoreCount(cpuinfo), 4);
    EXPECT_EQ(parsePhysicalCoreCount("processor\t: 0\nBogoMIPS\t: 48.00\n\nprocessor\t: 1\n"), std::nullopt);
    EXPECT_EQ(parsePhysicalCoreCount(""), std::nullopt);
    // No blank line between blocks still separates them.
    EXPECT_EQ(parsePhysicalCoreCount("processor: 0\ncore id: 0\nprocessor: 1\ncore id: 1"), 2);
}

TEST(SystemInfo, TheGpuReadingIsReplaceableAndNests)
{
    EXPECT_EQ(machineGpuDevice(), std::nullopt); // no Metal device on Linux
    EXPECT_EQ(defaultGpuDevice(), std::nullopt);
    const GpuDevice m2{QStringLiteral("Apple M2"), true, false, 11ull << 30, true};
    {
        const GpuDevice::Override outer(m2);
        EXPECT_EQ(defaultGpuDevice(), m2);
        int reads = 0;
        {
            const GpuDevice::Override inner([&]() -> std::optional<GpuDevice> {
                ++reads;
                return std::nullopt;
            });
            EXPECT_EQ(defaultGpuDevice(), std::nullopt);
            EXPECT_EQ(defaultGpuDevice(), std::nullopt);
            EXPECT_EQ(reads, 2); // read afresh every time
        }
        EXPECT_EQ(defaultGpuDevice(), m2);
        EXPECT_EQ(machineGpuDevice(), std::nullopt);
    }
    EXPECT_EQ(defaultGpuDevice(), std::nullopt);
}
