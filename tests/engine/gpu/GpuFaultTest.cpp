// A device that fails under a run as a real one does: lavapipe behind the
// tests' own driver (faultdriver/), which fails once the file CVN_FAULT_FILE
// names exists, where CVN_FAULT_AT says. A lost device stays lost for the
// process, so each entry of tests/engine/CMakeLists.txt runs one test.

#include "../TestModels.h"
#include "TestModelWriter.h"
#include "support/TempEnv.h"

#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"

#include <QFile>

#include <gtest/gtest.h>

#include <future>

namespace cvn {
namespace {

using namespace cvn::test;
using Turn = LlamaSession::Turn;

QString faultFile()
{
    return qEnvironmentVariable("CVN_FAULT_FILE");
}

// From now on the driver fails.
void arm()
{
    QFile file(faultFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

void switchOffload(bool on)
{
    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), on);
}

// A chat over a scripted model, offload on, the driver not yet failing.
class GpuFault : public ::testing::Test {
protected:
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;

    void SetUp() override
    {
        if (faultFile().isEmpty())
            GTEST_SKIP() << "runs under the fault driver, from ctest's engine.GpuFault entries";
        QFile::remove(faultFile());
        switchOffload(true);
        folder.add(QStringLiteral("hello"), {{kPromptEnd, "▁Hello", "▁there", "</s>"}});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        ASSERT_TRUE(finishes(session->loadModel(model()), 180000));
        ASSERT_TRUE(session->model());
        ASSERT_GT(session->model()->gpuLayersOffloaded(), 0);
    }

    void TearDown() override
    {
        session.reset();
        if (!faultFile().isEmpty())
            QFile::remove(faultFile());
    }

    ModelInfo model() const { return modelNamed(store->models(), QStringLiteral("hello")); }

    // The driver fails once the prompt's first slice is on its way.
    void failAfterThePrompt()
    {
        LlamaModel::TestHooks hooks;
        hooks.afterPromptSlice = [](int64_t) { arm(); };
        session->model()->setTestHooks(hooks);
    }

    // lavapipe builds its kernels at their first use, slowly on a busy machine.
    const Turn& ask(const QString& text)
    {
        EXPECT_TRUE(finishes(session->send(text), 180000));
        return session->turns().last();
    }
};

using GpuLoss = GpuFault;
using GpuMemory = GpuFault;

TEST_F(GpuLoss, TheReplyEndsWithTheNoteAndTheNextRunsOnTheCpuUntilARestart)
{
    failAfterThePrompt();
    EXPECT_EQ(ask(QStringLiteral("Hi")).state, Turn::State::failed(kGpuStoppedText));
    EXPECT_FALSE(session->model()); // dropped, and its handles with it, alive
    EXPECT_TRUE(LlamaModel::gpuStopped());

    const Turn& next = ask(QStringLiteral("Hi"));
    EXPECT_TRUE(next.state.isComplete());
    EXPECT_EQ(next.content, QStringLiteral(" Hello there"));
    ASSERT_TRUE(session->model());
    EXPECT_EQ(session->model()->gpuLayersOffloaded(), 0);

    // Offload switched off and on again does not try the lost device.
    switchOffload(false);
    switchOffload(true);
    ASSERT_TRUE(finishes(session->loadModel(model()), 180000));
    ASSERT_TRUE(session->model());
    EXPECT_EQ(session->model()->gpuLayersOffloaded(), 0);
}

TEST_F(GpuLoss, AGrammarRunTellsTheLostDeviceNotTheGrammar)
{
    std::shared_ptr<LlamaModel> model = session->model();
    failAfterThePrompt();
    SamplingParams params = SamplingParams::defaults();
    params.grammar.gbnf = R"(root ::= " Hello" [^!]* "!")";
    const Reply reply = generateAll(*model, "Hi", params);
    EXPECT_EQ(reply.failure, kGpuStoppedText);
    EXPECT_FALSE(model->lastRunGrammarStuck());
    EXPECT_TRUE(model->gpuFaulted());
}

TEST_F(GpuMemory, AReplyTheDeviceRefusesMemoryIsToldSoAndTheGpuGoesOn)
{
    failAfterThePrompt();
    EXPECT_EQ(ask(QStringLiteral("Hi")).state, Turn::State::failed(kGpuOutOfMemoryText));
    EXPECT_FALSE(LlamaModel::gpuStopped());

    QFile::remove(faultFile());
    session->model()->setTestHooks({});
    const Turn& next = ask(QStringLiteral("Hi"));
    EXPECT_TRUE(next.state.isComplete());
    ASSERT_TRUE(session->model());
    EXPECT_GT(session->model()->gpuLayersOffloaded(), 0);
}

// A vision model loaded with offload on while the device makes nothing
// larger than the text model's own buffers: the projector's weights are
// refused although the fit left them room. Gemma 3's layout, whose image
// positions the text model reads all at once (non-causal). Written and
// loaded once for the suite, as lavapipe builds its kernels slowly.
class GpuProjector : public ::testing::Test {
protected:
    // Above every buffer of the text model (its output matrix, 8 MB in
    // f32, is the largest), below the projector's weights (about 19 MB).
    static constexpr int64_t kLargestAllowed = 12LL << 20;

    static void SetUpTestSuite()
    {
        if (faultFile().isEmpty())
            return;
        const QString folder = test::makeTempFolder(QStringLiteral("gpu-projector"));
        const QString modelPath = folder + QStringLiteral("/model.gguf");
        const QString projectorPath = folder + QStringLiteral("/mmproj.gguf");
        ASSERT_EQ(testmodel::writeRandomModel(modelPath.toStdString(), testmodel::vocabPath(), {}), "");
        testmodel::ProjectorSpec projector;
        projector.layout = testmodel::ProjectorLayout::gemma3;
        projector.width = 256;
        projector.ff = 4096;
        ASSERT_EQ(testmodel::writeRandomProjector(projectorPath.toStdString(), projector), "");
        QFile file(faultFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(kLargestAllowed));
        file.close();
        LogCapture log;
        LlamaModel::LoadExtras extras;
        extras.projectorPath = projectorPath;
        model = LlamaModel::load(modelPath, 512, 999, 2, std::nullopt, extras);
        loadLog = log.taken();
    }

    static void TearDownTestSuite()
    {
        model.reset();
        if (!faultFile().isEmpty())
            QFile::remove(faultFile());
    }

    void SetUp() override
    {
        if (faultFile().isEmpty())
            GTEST_SKIP() << "runs under the fault driver, from ctest's engine.GpuFault entries";
        ASSERT_TRUE(model);
    }

    static inline std::shared_ptr<LlamaModel> model;
    static inline QStringList loadLog;
};

TEST_F(GpuProjector, AProjectorTheDeviceRefusesOpensOnTheCpu)
{
    EXPECT_GT(model->gpuLayersOffloaded(), 0);
    EXPECT_FALSE(model->fellBackToCpu());
    EXPECT_TRUE(model->seesImages());
    EXPECT_FALSE(model->projectorOnGpu());
    EXPECT_EQ(model->projectorFailure(), std::nullopt);
    EXPECT_EQ(loadLog.filter(QStringLiteral("The projector could not be opened on the GPU; opening it on the CPU"))
                  .size(),
              1);
}

// Text after the image's positions (as Gemma 3's image end marker always
// is): their decode on the device asks for an output all the same.
TEST_F(GpuProjector, AnImageBetweenTextIsReadOnTheDevice)
{
    const QList<ChatImage> images{test::png(QStringLiteral("gray.png"), 40, 30, qRgb(120, 120, 120))};
    const std::string text = "Look at" + LlamaModel::imageMarker(0).toStdString() + " and tell me what you see.";
    SamplingParams params = SamplingParams::defaults();
    params.temperature = 0;
    params.maxTokens = 2;
    Reply reply;
    std::promise<void> finished;
    GenerationSink sink;
    sink.onPiece = [&](const QString& piece) {
        reply.pieces << piece;
        return true;
    };
    sink.onFinished = [&] { finished.set_value(); };
    GenerationHandle handle = model->generate(
        [&](const LlamaModel& m, SamplingParams&) { return m.tokenize(text, images); }, params, std::move(sink));
    finished.get_future().wait();
    model->queue().sync([] {});
    EXPECT_EQ(model->lastStreamFailure(), std::nullopt);
    EXPECT_FALSE(reply.pieces.isEmpty());
}

} // namespace
} // namespace cvn
