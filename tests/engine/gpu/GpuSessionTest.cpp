// A chat's replies when the GPU fails under them, on lavapipe: the session
// and its slot, not the model alone.

#include "../TestModels.h"

#include "engine/LlamaModelGpu.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>

namespace cvn {
namespace {

using namespace cvn::test;
using Turn = LlamaSession::Turn;

// A chat over a scripted model, offload switched on.
struct GpuChat {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;

    GpuChat()
    {
        AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), true);
        folder.add(QStringLiteral("hello"), {{kPromptEnd, "▁Hello", "▁there", "</s>"}});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
    }

    ~GpuChat()
    {
        session.reset();
        gpuload::setTestHooks({});
        LlamaModel::clearGpuStop();
    }

    ModelInfo model() const { return modelNamed(store->models(), QStringLiteral("hello")); }

    const Turn& ask(const QString& text)
    {
        EXPECT_TRUE(finishes(session->send(text)));
        return session->turns().last();
    }

    int64_t notes(const QString& text) const
    {
        return std::count_if(session->turns().begin(), session->turns().end(),
                             [&](const Turn& t) { return t.state == Turn::State::failed(text); });
    }
};

TEST(GpuOffload, AGpuFaultFailsTheReplyAndTheChatGoesOnOnTheCpuUntilARestart)
{
    GpuChat chat;
    ASSERT_TRUE(finishes(chat.session->loadModel(chat.model())));
    ASSERT_TRUE(chat.session->model());
    EXPECT_GT(chat.session->model()->gpuLayersOffloaded(), 0);
    int decodes = 0;
    LlamaModel::TestHooks hooks;
    hooks.beforeDecode = [&] {
        if (++decodes == 2) // the reply's first token, after the prompt
            throw std::runtime_error("vk::DeviceLostError: device lost");
    };
    chat.session->model()->setTestHooks(hooks);

    EXPECT_EQ(chat.ask(QStringLiteral("Hi")).state, Turn::State::failed(kGpuStoppedText));
    EXPECT_FALSE(chat.session->isStreaming());
    EXPECT_FALSE(chat.session->model());

    // Offload is still on, yet the next reply loads on the CPU.
    const Turn& next = chat.ask(QStringLiteral("Hi"));
    EXPECT_TRUE(next.state.isComplete());
    EXPECT_EQ(next.content, QStringLiteral(" Hello there"));
    ASSERT_TRUE(chat.session->model());
    EXPECT_EQ(chat.session->model()->gpuLayersOffloaded(), 0);
    EXPECT_EQ(decodes, 2);

    // Switched on again, offload still waits for a restart.
    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), false);
    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), true);
    ASSERT_TRUE(finishes(chat.session->loadModel(chat.model())));
    ASSERT_TRUE(chat.session->model());
    EXPECT_EQ(chat.session->model()->gpuLayersOffloaded(), 0);
    EXPECT_TRUE(chat.ask(QStringLiteral("Hi")).state.isComplete());
}

// A GPU's prompt slice hears no stop: the main thread lets the model go
// without waiting for the slice to end.
TEST(GpuOffload, AnUnloadDuringAPromptSliceReturnsBeforeTheSliceEnds)
{
    GpuChat chat;
    ASSERT_TRUE(finishes(chat.session->loadModel(chat.model())));
    std::promise<void> unloaded;
    std::shared_future<void> told = unloaded.get_future().share();
    std::atomic<bool> inSlice{false}, toldInSlice{false};
    LlamaModel::TestHooks hooks;
    hooks.afterPromptSlice = [&, told](int64_t) {
        inSlice = true;
        // Bounded, so that a main thread waiting for this slice is seen
        // failing rather than hanging.
        toldInSlice = told.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    };
    chat.session->model()->setTestHooks(hooks);
    const SessionTask reply = chat.session->send(QStringLiteral("Hi"));
    ASSERT_TRUE(waitUntil([&] { return inSlice.load(); }, 20000));
    chat.session->unloadModel();
    unloaded.set_value();
    EXPECT_TRUE(finishes(reply));
    EXPECT_TRUE(toldInSlice.load());
    EXPECT_FALSE(chat.session->model());
}

TEST(GpuOffload, AChatWhoseModelTheGpuCannotLoadIsToldOnceAndAnswered)
{
    GpuChat chat;
    gpuload::setTestHooks({std::nullopt, true});
    ASSERT_TRUE(finishes(chat.session->loadModel(chat.model())));
    const Turn& first = chat.ask(QStringLiteral("Hi"));
    EXPECT_TRUE(first.state.isComplete());
    EXPECT_EQ(first.content, QStringLiteral(" Hello there"));
    ASSERT_TRUE(chat.session->model());
    EXPECT_EQ(chat.session->model()->gpuLayersOffloaded(), 0);
    EXPECT_EQ(chat.notes(kCpuFallbackText), 1);

    EXPECT_TRUE(chat.ask(QStringLiteral("Hi")).state.isComplete());
    EXPECT_EQ(chat.notes(kCpuFallbackText), 1);
}

} // namespace
} // namespace cvn
