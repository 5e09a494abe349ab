#include "models/HardwareInfo.h"
#include "models/SystemFacts.h"
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

#include <thread>

using namespace cvn;
using Run = HardwareInfo::Run;
using Tone = HardwareInfo::Run::Tone;

namespace {

QString joined(const HardwareInfo::Line& line)
{
    QString text;
    for (const Run& run : line)
        text += run.text;
    return text;
}

RigInfo rig(int64_t free, int64_t total)
{
    RigInfo r;
    r.ramFreeMb = free;
    r.ramTotalMb = total;
    r.cpuShortName = "Intel Xeon";
    return r;
}

Run plain(const char* text)
{
    return {QString::fromUtf8(text), std::nullopt};
}

Run toned(const char* text, Tone tone)
{
    return {QString::fromUtf8(text), tone};
}

} // namespace

TEST(HardwareInfo, CleanCpuNames)
{
    EXPECT_EQ(cleanCpuName("Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz"), "Intel Core i7-9750H");
    EXPECT_EQ(cleanCpuName("12th Gen Intel(R) Core(TM) i7-12700H"), "Intel Core i7-12700H");
    EXPECT_EQ(cleanCpuName("AMD Ryzen 7 5800X 8-Core Processor"), "AMD Ryzen 7 5800X 8-Core");
    EXPECT_EQ(cleanCpuName("AMD Ryzen 5 PRO 4650U w/ Radeon Graphics"), "AMD Ryzen 5 PRO 4650U");
    EXPECT_EQ(cleanCpuName("Intel(R) Xeon(R) Processor"), "Intel Xeon");
    EXPECT_EQ(cleanCpuName("Apple M2 Pro"), "Apple M2 Pro");
    EXPECT_EQ(cleanCpuName("Unknown CPU"), "Unknown CPU");
    // Unicode whitespace counts: a no-break space and an em space collapse.
    EXPECT_EQ(collapseWhitespace(QStringLiteral("\t AMD\u00A0\u00A0Ryzen\u2003 9 \n")), "AMD Ryzen 9");
}

TEST(HardwareInfo, RunnableSizes)
{
    const HardwareInfo::Line mixed = HardwareInfo::runnableSizesRuns(rig(8000, 16384));
    const HardwareInfo::Line expected{
        toned("You can run: ", Tone::label), toned("3B", Tone::good), plain(" (now)"), plain(", "),
        toned("7B", Tone::good), plain(" (now)"), plain(", "), toned("13B", Tone::warning), plain(" (close apps)"),
        plain("."), plain(" "), toned("30B", Tone::critical), plain(", "), toned("70B", Tone::critical),
        plain(" won't fit."),
    };
    EXPECT_EQ(mixed, expected);
    EXPECT_EQ(joined(mixed), "You can run: 3B (now), 7B (now), 13B (close apps). 30B, 70B won't fit.");

    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(60000, 65536))),
              QStringLiteral("You can run: 3B, 7B, 13B, 30B, 70B \u2014 all fit now."));
    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(3000, 8192))),
              "Nothing fits right now. Close apps to run: 3B. 7B, 13B, 30B, 70B won't fit.");
    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(100, 4000))),
              "Nothing fits right now. 3B, 7B, 13B, 30B, 70B won't fit.");
    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(100, 100000))),
              "Nothing fits right now. Close apps to run: 3B, 7B, 13B, 30B, 70B.");
    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(6999, 10000))), "You can run: 3B (now), 7B (close apps). "
                                                                         "13B, 30B, 70B won't fit.");
    EXPECT_EQ(joined(HardwareInfo::runnableSizesRuns(rig(6999, 9999))), "You can run: 3B (now). "
                                                                        "7B, 13B, 30B, 70B won't fit.");
    EXPECT_TRUE(HardwareInfo::labelRuns({}, Tone::good).isEmpty());
}

TEST(HardwareInfo, SummaryLines)
{
    RigInfo usable{16384, 9000, "Apple M1 Pro", QStringLiteral("Apple M1 Pro"), 10922, true, false};
    const QList<HardwareInfo::Line> lines = HardwareInfo::summaryRuns(usable);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], (HardwareInfo::Line{toned("Your computer: ", Tone::label), plain("Apple M1 Pro, 16 GB RAM, "),
                                            toned("Apple M1 Pro (11 GB GPU memory)", Tone::good)}));
    EXPECT_EQ(lines[1], (HardwareInfo::Line{toned("Free right now: ", Tone::label), toned("8.8 GB", Tone::warning)}));
    EXPECT_EQ(joined(lines[2]), "You can run: 3B (now), 7B (now), 13B (close apps). 30B, 70B won't fit.");

    RigInfo cpuOnly{14848, 2000, "Intel Xeon", std::nullopt, 0, false, false};
    QList<HardwareInfo::Line> cpu = HardwareInfo::summaryRuns(cpuOnly);
    ASSERT_EQ(cpu.size(), 4);
    EXPECT_EQ(cpu[0][1], plain("Intel Xeon, 15 GB RAM, "));
    EXPECT_EQ(cpu[0][2], toned("No GPU detected", Tone::warning));
    EXPECT_EQ(cpu[1][1], toned("2.0 GB", Tone::critical));
    EXPECT_EQ(cpu[3], (HardwareInfo::Line{toned(
                          "GPU acceleration is not available on this computer. Corvanthelis runs on your CPU.",
                          Tone::label)}));

    RigInfo switchedOff = usable;
    switchedOff.isUsableForInference = false;
    switchedOff.accelerationSwitchedOff = true;
    const QList<HardwareInfo::Line> off = HardwareInfo::summaryRuns(switchedOff);
    ASSERT_EQ(off.size(), 4);
    EXPECT_EQ(off[0][2], toned("Apple M1 Pro", Tone::warning));
    EXPECT_EQ(off[3][0].text, "GPU acceleration is switched off. Corvanthelis runs on your CPU.");

    // 1.25 and 7.25 GB are exact binary ties: to even, as printf rounds.
    for (auto [free, text] : {std::pair{1280, "1.2 GB"}, {7424, "7.2 GB"}, {2560, "2.5 GB"}}) {
        cpuOnly.ramFreeMb = free;
        EXPECT_EQ(HardwareInfo::summaryRuns(cpuOnly)[1][1].text, text) << free;
    }
    for (auto [free, tone] : {std::pair{2001, Tone::warning}, {10000, Tone::warning}, {10001, Tone::good}}) {
        cpuOnly.ramFreeMb = free;
        EXPECT_EQ(HardwareInfo::summaryRuns(cpuOnly)[1][1].tone, tone) << free;
    }
}

TEST(HardwareInfo, ThisMachineHasNoUsableGpu)
{
    EXPECT_FALSE(metalGpuUsable());
    EXPECT_EQ(HardwareInfo::metalUnavailableText(),
              QStringLiteral("No GPU detected. Vulkan reports no GPU here, at most a software renderer, which is "
                             "no faster than the CPU."));
    const RigInfo now = RigInfo::current();
    EXPECT_FALSE(now.gpuName);
    EXPECT_EQ(now.gpuVramMb, 0);
    EXPECT_FALSE(now.isUsableForInference);
    EXPECT_FALSE(now.accelerationSwitchedOff);
    const std::optional<MemoryFigures> memory = readMemoryFigures();
    ASSERT_TRUE(memory);
    EXPECT_EQ(now.ramTotalMb, int64_t(memory->totalMb));
    EXPECT_LE(now.ramFreeMb, now.ramTotalMb);
    EXPECT_FALSE(now.cpuShortName.isEmpty());
    EXPECT_EQ(HardwareInfo::summaryRuns(now).size(), 4);
}

TEST(SystemFacts, OverridesNestAndRestoreTheMachine)
{
    const SystemFacts machine = SystemFacts::read();
    EXPECT_EQ(machine.processorCount, int(std::max(1u, std::thread::hardware_concurrency())));
    EXPECT_FALSE(machine.gpuUsable); // lavapipe alone, which llama.cpp does not pick
    EXPECT_GT(machine.rig.ramTotalMb, 0);
    {
        const SystemFacts::Override outer(SystemFacts{rig(60000, 65536), 8, false});
        EXPECT_EQ(SystemFacts::read().rig.ramFreeMb, 60000);
        {
            const SystemFacts::Override inner(SystemFacts{rig(4000, 16384), 2, false});
            EXPECT_EQ(SystemFacts::read().rig.ramTotalMb, 16384);
            EXPECT_EQ(SystemFacts::read().processorCount, 2);
        }
        EXPECT_EQ(SystemFacts::read().processorCount, 8);
        EXPECT_EQ(SystemFacts::readMachine().rig.ramTotalMb, machine.rig.ramTotalMb);
    }
    EXPECT_EQ(SystemFacts::read().rig.ramTotalMb, machine.rig.ramTotalMb);
}

TEST(HardwareInfo, ReadsTheGpuThatTheGpuLayerReports)
{
    {
        const GpuDevice::Override gpu(GpuDevice{QStringLiteral("Intel(R) Iris(R)  Plus Graphics"), false, true,
                                                1536ull * 1048576, false});
        EXPECT_FALSE(metalGpuUsable());
        EXPECT_EQ(HardwareInfo::metalUnavailableText(),
                  QStringLiteral("Not available on Intel Iris Plus Graphics. Vulkan reports no GPU here, at most a "
                                 "software renderer, which is no faster than the CPU."));
        const RigInfo rig = RigInfo::current();
        EXPECT_EQ(rig.gpuName, QStringLiteral("Intel Iris Plus Graphics"));
        EXPECT_EQ(rig.gpuVramMb, 1536);
        EXPECT_FALSE(rig.isUsableForInference);
    }
    {
        const GpuDevice::Override gpu(GpuDevice{QStringLiteral("Apple M2"), true, false, 0, true});
        EXPECT_TRUE(metalGpuUsable());
        EXPECT_FALSE(HardwareInfo::metalUnavailableText());
    }
    EXPECT_FALSE(metalGpuUsable());
}
