#include "engine/LlamaModel.h"

#include "TestModelWriter.h"
#include "TestModels.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cvn;
using namespace cvn::test;

namespace {

LoadError loadError(const QString& path, int64_t contextSize = 0)
{
    try {
        LlamaModel::load(path, contextSize, 0, 2);
    } catch (const LoadError& error) {
        return error;
    }
    ADD_FAILURE() << "load of " << path.toStdString() << " did not fail";
    return LoadError::runtimeUnavailable();
}

// Caps this process's address space a little above what it uses now, so an
// allocation for an absurd context fails at once instead of eating the
// machine's memory first. Each test runs in its own process under ctest.
struct AddressSpaceLimit {
    rlimit saved{};
    explicit AddressSpaceLimit(rlim_t headroom)
    {
        getrlimit(RLIMIT_AS, &saved);
        QFile status(QStringLiteral("/proc/self/status"));
        rlim_t used = 0;
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmSize:"))
                    used = rlim_t(line.mid(7).trimmed().split(' ').value(0).toULongLong()) * 1024;
        }
        rlimit capped = saved;
        capped.rlim_cur = used + headroom;
        setrlimit(RLIMIT_AS, &capped);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved); }
};

} // namespace

TEST(LlamaModelLoad, ContextTooLargeForMemoryFreesTheModelAndSaysWhy)
{
    const QString path = randomModel();
    const size_t liveBefore = LlamaModel::liveModels().size();
    LoadError error = LoadError::runtimeUnavailable();
    {
        AddressSpaceLimit limit(rlim_t(2) << 30);
        error = loadError(path, 4'000'000'000LL);
    }
    EXPECT_EQ(error.kind(), LoadError::Kind::contextInitFailed);
    EXPECT_EQ(error.description(),
              QStringLiteral("the model loaded, but its context could not be created - usually not enough memory "
                             "for the context size (llama_init_from_model returned null)"));
    EXPECT_EQ(LlamaModel::liveModels().size(), liveBefore);
    // The same file still loads with a sane context afterwards.
    EXPECT_EQ(LlamaModel::load(path, 512, 0, 1)->contextSize(), 512);
}

TEST(LlamaModelLoad, FailuresCarryTheirKindAndExactText)
{
    const size_t liveBefore = LlamaModel::liveModels().size();

    const LoadError missing = loadError(QStringLiteral("/no/such/model.gguf"));
    EXPECT_EQ(missing.kind(), LoadError::Kind::fileNotReadable);
    EXPECT_EQ(missing.description(), QStringLiteral("the file could not be read: /no/such/model.gguf"));
    EXPECT_STREQ(missing.what(), "the file could not be read: /no/such/model.gguf");

    const LoadError folder = loadError(makeTempFolder());
    EXPECT_EQ(folder.kind(), LoadError::Kind::fileNotReadable);

    const QString text = makeTempFolder() + QStringLiteral("/notes.gguf");
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is not a model\n");
    file.close();
    const QString loadFailed = QStringLiteral(
        "llama.cpp could not load this file as a model (llama_model_load_from_file returned null)");
    EXPECT_EQ(loadError(text).kind(), LoadError::Kind::modelLoadFailed);
    EXPECT_EQ(loadError(text).description(), loadFailed);

    // A vocabulary-only file is a valid GGUF file without any tensor.
    const LoadError vocabOnly = loadError(QString::fromStdString(testmodel::vocabPath()));
    EXPECT_EQ(vocabOnly.kind(), LoadError::Kind::modelLoadFailed);

    EXPECT_EQ(LlamaModel::liveModels().size(), liveBefore);
}

TEST(LlamaModelLoad, OnlyRegularFilesOrLinksToThemAreRead)
{
    const QString folder = makeTempFolder();
    const QString pipe = folder + QStringLiteral("/pipe.gguf");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString pipeLink = folder + QStringLiteral("/pipe-link.gguf");
    const QString modelLink = folder + QStringLiteral("/model-link.gguf");
    ASSERT_TRUE(QFile::link(pipe, pipeLink));
    ASSERT_TRUE(QFile::link(randomModel(), modelLink));

    for (const QString& path : {pipe, pipeLink}) {
        SCOPED_TRACE(path.toStdString());
        auto load = std::async(std::launch::async, [path] { return loadError(path); });
        // A reader of a pipe waits in open() for a writer: should the load get
        // that far, writers that come and go let it end instead of hanging.
        if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the load is waiting on the pipe";
            const QByteArray native = QFile::encodeName(pipe);
            do {
                if (const int fd = ::open(native.constData(), O_WRONLY | O_NONBLOCK); fd >= 0)
                    ::close(fd);
            } while (load.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready);
        }
        const LoadError error = load.get();
        EXPECT_EQ(error.kind(), LoadError::Kind::fileNotReadable);
        EXPECT_EQ(error.description(), QStringLiteral("the file could not be read: ") + path);
    }
    EXPECT_EQ(LlamaModel::load(modelLink, 256, 0, 1)->contextSize(), 256);
}

TEST(LlamaModelLoad, FactsOfTheLoadedModel)
{
    auto model = LlamaModel::load(randomModel(), 0, 999, 2);
    EXPECT_EQ(model->contextSize(), 2048); // the trained length
    EXPECT_EQ(model->architecture(), QStringLiteral("llama"));
    EXPECT_EQ(model->layerCount(), 3);
    EXPECT_EQ(model->gpuLayersOffloaded(), 0); // a CPU-only build offloads nothing
    EXPECT_FALSE(model->isFreed());
    EXPECT_EQ(model->metaValue("general.name"), QStringLiteral("cvn test model"));
    EXPECT_EQ(model->metaValue("no.such.key"), std::nullopt);

    auto withEmpty = LlamaModel::load(randomModelWith("general.basename", ""), 256, 0, 1);
    EXPECT_EQ(withEmpty->metaValue("general.basename"), std::nullopt);

    // The granted context is what the runtime gives.
    const QString path = randomModel();
    EXPECT_EQ(LlamaModel::load(path, -5, 0, 1)->contextSize(), 2048);
    EXPECT_EQ(LlamaModel::load(path, 256, 0, 1)->contextSize(), 256);
    // llama.cpp pads to a multiple of 256.
    EXPECT_EQ(LlamaModel::load(path, 257, 0, 1)->contextSize(), 512);
    EXPECT_EQ(LlamaModel::load(path, 300, 0, 1)->contextSize(), 512);
}

TEST(LlamaModelLoad, OffloadedLayersAskForSupportOnlyWhenOffloading)
{
    int asked = 0;
    const auto supported = [&] { ++asked; return true; };
    const auto unsupported = [&] { ++asked; return false; };
    EXPECT_EQ(LlamaModel::offloadedLayers(999, 33, supported), 33);
    EXPECT_EQ(LlamaModel::offloadedLayers(10, 33, supported), 10);
    EXPECT_EQ(LlamaModel::offloadedLayers(999, 33, unsupported), 0);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(LlamaModel::offloadedLayers(0, 33, supported), 0);
    EXPECT_EQ(LlamaModel::offloadedLayers(-1, 33, supported), 0);
    EXPECT_EQ(asked, 3);
}

TEST(LlamaModelLifecycle, FreeReleasesOnceAndLeavesTheRegistry)
{
    auto model = LlamaModel::load(randomModel(), 512, 0, 1);
    const size_t before = LlamaModel::liveModels().size();
    model->registerLive();
    const auto rows = LlamaModel::liveModels();
    ASSERT_EQ(rows.size(), before + 1);
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const LoadedModelSnapshot& r) { return r.id == quintptr(model.get()); });
    ASSERT_NE(row, rows.end());
    EXPECT_TRUE(row->name.startsWith(QStringLiteral("random-")));
    EXPECT_EQ(row->contextSize, 512);
    EXPECT_EQ(row->layerCount, 3);

    model->free();
    EXPECT_TRUE(model->isFreed());
    EXPECT_TRUE(model->stopRequested());
    EXPECT_EQ(model->modelHandle(), nullptr);
    EXPECT_EQ(LlamaModel::liveModels().size(), before);
    model->free();
    model.reset(); // the destructor frees again: nothing left to do
    EXPECT_EQ(LlamaModel::liveModels().size(), before);
}

TEST(LlamaModelLifecycle, FreeFromItsOwnQueueAndLastReferenceDroppedThere)
{
    auto model = LlamaModel::load(randomModel(), 512, 0, 1);
    model->registerLive();
    const size_t live = LlamaModel::liveModels().size();

    std::promise<void> freed;
    model->queue().async([&] {
        model->free();
        freed.set_value();
    });
    ASSERT_EQ(freed.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(model->isFreed());
    EXPECT_EQ(LlamaModel::liveModels().size(), live - 1);

    // The only reference goes away inside a work item: the destructor runs on
    // the queue's own worker and must not wait for itself.
    auto other = LlamaModel::load(randomModel(), 512, 0, 1);
    std::promise<void> dropped;
    auto* queue = &other->queue();
    queue->async([owner = std::move(other), &dropped]() mutable {
        owner.reset();
        dropped.set_value();
    });
    EXPECT_EQ(dropped.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
}
