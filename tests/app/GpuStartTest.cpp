// The start's device check against drivers that fail as it lists them: the
// program itself is the child that lists, the fault comes from a driver the
// build makes (CVN_START_FAULT picks it), and the hardware page says what
// became of the GPU. Each case runs in a process of its own, as the check
// runs once per process; the real program meets a hanging driver in
// EndToEndTest.
#include "engine/LlamaModel.h"
#include "engine/TestModels.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "platform/SystemInfo.h"
#include "screens/HardwarePage.h"
#include "support/Wait.h"
#include "ui_kit/CvnCardToggle.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <ggml-backend.h>

#include <QThreadPool>

#include <gtest/gtest.h>

using namespace cvn;

#ifdef CVN_START_FAULT_ICD

namespace {

struct GpuStart : test::KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::setValue(AppSettings::metalOffload, true);
    }
    void TearDown() override
    {
        QThreadPool::globalInstance()->waitForDone();
        AppSettings::remove(AppSettings::metalOffload);
        KitTest::TearDown();
    }

    // The check with only the fault driver installed, `fault` in it.
    static GpuCheck checkWithFault(const QByteArray& fault)
    {
        qputenv("VK_DRIVER_FILES", CVN_START_FAULT_ICD);
        qputenv("VK_ICD_FILENAMES", CVN_START_FAULT_ICD);
        qputenv("CVN_START_FAULT", fault);
        return checkGpuDevicesApart(QStringLiteral(CVN_APP_PROGRAM), {QStringLiteral("--list-gpu-devices")});
    }

    // The words under the switch once the page has read the machine.
    QString pageSays()
    {
        HardwarePage page{{}};
        page.resize(800, 1000);
        test::showAndSettle(page);
        EXPECT_TRUE(test::waitUntil([&] { return page.facts().has_value(); }));
        EXPECT_FALSE(page.metalToggle()->isOn());
        return page.metalExplanation()->text();
    }
};

} // namespace

// The driver crashes in vkCreateInstance: only the child goes, this process
// asks Vulkan nothing more (it would crash here too) and answers on the CPU,
// and the page says why.
TEST_F(GpuStart, ADriverCrashTakesOnlyTheChildAndThePageSaysSo)
{
    const GpuCheck check = checkWithFault("crash-create");
    EXPECT_TRUE(check.driverFailed);
    EXPECT_EQ(check.outcome, QStringLiteral("crashed"));
    EXPECT_EQ(machineGpuAbsenceReason(), GpuAbsence::driverFailed);
    EXPECT_EQ(ggml_backend_reg_by_name("Vulkan"), nullptr);
    const std::shared_ptr<LlamaModel> model = LlamaModel::load(test::helloModel(), 1024, 999, 1);
    EXPECT_EQ(model->gpuLayersOffloaded(), 0);
    const test::Reply reply = test::generateAll(*model, "Hi", SamplingParams::defaults());
    EXPECT_EQ(reply.text(), QStringLiteral(" Hello\u00E9!")) << reply.failure.value_or(QString()).toStdString();
    EXPECT_EQ(pageSays(), QStringLiteral("The GPU driver failed when Corvanthelis started, so GPU offload is off "
                                         "until it works again. Corvanthelis tries it again at every start. "
                                         "Corvanthelis runs on your CPU."));
}

// A device index past Vulkan's list is a setting to fix, not a missing
// driver, and the page names it.
TEST_F(GpuStart, ABadVisibleDeviceIndexIsNamedOnThePage)
{
    qputenv("GGML_VK_VISIBLE_DEVICES", "7");
    const GpuCheck check = checkGpuDevicesApart(QStringLiteral(CVN_APP_PROGRAM), {QStringLiteral("--list-gpu-devices")});
    EXPECT_FALSE(check.driverFailed) << check.outcome.toStdString();
    EXPECT_EQ(machineGpuAbsenceReason(), GpuAbsence::badVisibleDevices);
    EXPECT_EQ(pageSays(), QStringLiteral("GGML_VK_VISIBLE_DEVICES is set to \u201C7\u201D, which names no device "
                                         "Vulkan has, so llama.cpp cannot reach a GPU. Unset it, or give the index "
                                         "of a listed device. Corvanthelis runs on your CPU."));
}

#endif
