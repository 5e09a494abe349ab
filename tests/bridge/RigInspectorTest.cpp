#include "bridge/AppInfo.h"
#include "bridge/RigInspector.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace RigInspector = cvn::RigInspector;

TEST(RigInspector, FixedDocumentsAndVersionStrings)
{
    EXPECT_EQ(cvn::AppInfo::version(), QStringLiteral("1.0.0"));
    EXPECT_EQ(cvn::AppInfo::build(), QStringLiteral("1"));
    EXPECT_EQ(RigInspector::healthJson(), QByteArray(R"({"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1})"));
    EXPECT_EQ(RigInspector::staticNoGpu().render(), R"({"name":null,"vendor":null,"vram_total_gb":0,"vram_free_gb":0})");
    EXPECT_EQ(cvn::Json::gb(RigInspector::tenths(double(17179869184LL >> 20) / 1024)).render(), "16.0");
    EXPECT_EQ(RigInspector::tenths(0.25), 0.3); // halves away from zero
    EXPECT_EQ(RigInspector::tenths(-0.25), -0.3);
    EXPECT_EQ(RigInspector::tenths(7.34), 7.3);
}

TEST(RigInspector, SystemVersionAndArchitecture)
{
    EXPECT_EQ(RigInspector::versionText(14, 0, 0), QStringLiteral("14.0"));
    EXPECT_EQ(RigInspector::versionText(14, 2, 1), QStringLiteral("14.2.1"));
    EXPECT_EQ(RigInspector::versionFromRelease(QStringLiteral("6.1.0-18-amd64")), QStringLiteral("6.1"));
    EXPECT_EQ(RigInspector::versionFromRelease(QStringLiteral("5.15.167.4-microsoft-standard-WSL2")),
              QStringLiteral("5.15.167"));
    EXPECT_EQ(RigInspector::versionFromRelease(QStringLiteral("6")), QStringLiteral("6.0"));
    EXPECT_EQ(RigInspector::versionFromRelease(QString()), QStringLiteral("0.0"));
    EXPECT_EQ(RigInspector::archFromMachine(QStringLiteral("aarch64")), QStringLiteral("aarch64"));
    EXPECT_EQ(RigInspector::archFromMachine(QStringLiteral("arm64")), QStringLiteral("aarch64"));
    EXPECT_EQ(RigInspector::archFromMachine(QStringLiteral("x86_64")), QStringLiteral("x86_64"));
    EXPECT_EQ(RigInspector::archFromMachine(QString()), QStringLiteral("x86_64"));
}

TEST(RigInspector, CpuObjectFromBrandStrings)
{
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"), 6, 12).render(),
              R"({"model":"Intel Core i7-8700","vendor":"GenuineIntel","cores_physical":6,"cores_logical":12})");
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("12th Gen Intel(R) Core(TM) i7-12700H"), 14, 20).render(),
              R"({"model":"Intel Core i7-12700H","vendor":"GenuineIntel","cores_physical":14,"cores_logical":20})");
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("AMD Ryzen 7 5800X 8-Core Processor"), 8, 16).render(),
              R"({"model":"AMD Ryzen 7 5800X 8-Core","vendor":"AuthenticAMD","cores_physical":8,"cores_logical":16})");
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("Unknown CPU"), std::nullopt, 0).render(),
              R"({"model":null,"vendor":null,"cores_physical":null,"cores_logical":null})");
    // "ryzen" in any case counts as AMD; an Apple processor has no vendor.
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("ryzen thing"), -1, 1).render(),
              R"({"model":"ryzen thing","vendor":"AuthenticAMD","cores_physical":null,"cores_logical":1})");
    EXPECT_EQ(RigInspector::cpuObject(QStringLiteral("Apple M2"), 8, 8).render(),
              R"({"model":"Apple M2","vendor":null,"cores_physical":8,"cores_logical":8})");
}

TEST(RigInspector, GpuObjectFromTheDeviceThePageShows)
{
    using cvn::GpuDevice;
    const auto gpu = [](const char* name, uint64_t bytes, bool unified = false) {
        return RigInspector::gpuObject(GpuDevice{QString::fromUtf8(name), unified, false, bytes, true}).render();
    };
    EXPECT_EQ(gpu("NVIDIA GeForce(TM)  RTX 4090", 17179869184ULL),
              R"({"name":"NVIDIA GeForce RTX 4090","vendor":"NVIDIA","vram_total_gb":16.0,"vram_free_gb":null})");
    EXPECT_EQ(gpu("AMD Radeon(R) RX 7600 (RADV NAVI33)", 8ULL << 30),
              R"j({"name":"AMD Radeon RX 7600 (RADV NAVI33)","vendor":"AMD","vram_total_gb":8.0,"vram_free_gb":null})j");
    EXPECT_EQ(gpu("Intel(R) arc A770", 16ULL << 30),
              R"({"name":"Intel arc A770","vendor":"Intel","vram_total_gb":16.0,"vram_free_gb":null})");
    EXPECT_EQ(gpu("Mystery Accelerator", 4ULL << 30),
              R"({"name":"Mystery Accelerator","vendor":null,"vram_total_gb":4.0,"vram_free_gb":null})");
    // Under 2.0 GB, memory that is the RAM, a software renderer, no device.
    const std::string none = RigInspector::staticNoGpu().render();
    EXPECT_EQ(gpu("GeForce GT 710", 1900ULL << 20), none);
    EXPECT_EQ(gpu("AMD Radeon 780M", 16ULL << 30, true), none);
    EXPECT_EQ(gpu("llvmpipe (LLVM 15.0.6, 256 bits)", 64ULL << 30), none);
    EXPECT_EQ(RigInspector::gpuObject(std::nullopt).render(), none);
}

TEST(RigInspector, SnapshotHasTheServedShape)
{
    RigInspector::refreshSnapshot();
    const std::optional<QByteArray> snapshot = RigInspector::cachedSnapshot();
    ASSERT_TRUE(snapshot.has_value());
    static const QRegularExpression shape(QStringLiteral(
        R"re(^\{"schema":1,"app_version":"1\.0\.0","os":\{"name":"Linux","version":"[0-9.]+","arch":"(x86_64|aarch64)"\},)re"
        R"re("cpu":\{"model":(null|"[^"]*"),"vendor":(null|"GenuineIntel"|"AuthenticAMD"),"cores_physical":(null|[1-9][0-9]*),"cores_logical":(null|[1-9][0-9]*)\},)re"
        R"re("ram":\{"total_gb":[0-9]+\.[0-9],"free_gb":[0-9]+\.[0-9]\},"gpu":\{"name":null,"vendor":null,"vram_total_gb":0,"vram_free_gb":0\},)re"
        R"re("measured_at":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"\}$)re"));
    EXPECT_TRUE(shape.match(QString::fromUtf8(*snapshot)).hasMatch()) << snapshot->toStdString();
}
