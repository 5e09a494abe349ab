#include "TestModels.h"

#include "TestModelWriter.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>

namespace cvn::test {

namespace {
std::mutex cacheLock;
std::map<std::vector<std::vector<std::string>>, QString> scriptedCache;
int modelCounter = 0;

QString newModelPath(const char* stem)
{
    static const QString folder = makeTempFolder(QStringLiteral("models"));
    return QStringLiteral("%1/%2-%3.gguf").arg(folder, QLatin1String(stem)).arg(++modelCounter);
}

void writeScripted(const QString& path, const std::vector<std::vector<std::string>>& chains,
                   const std::string& vocab, int64_t ctx, const std::string& chatTemplate = {})
{
    testmodel::ScriptSpec spec;
    spec.shape.ctx = ctx;
    spec.chains = chains;
    std::vector<testmodel::ExtraString> extra;
    if (!chatTemplate.empty())
        extra.push_back({"tokenizer.chat_template", chatTemplate});
    EXPECT_EQ(testmodel::writeScriptedModel(path.toStdString(), testmodel::vocabPath(vocab), spec, extra), "");
}
} // namespace

QString scriptedModel(const std::vector<std::vector<std::string>>& chains, int64_t ctx)
{
    std::lock_guard lock(cacheLock);
    auto key = chains;
    key.push_back({std::to_string(ctx)});
    if (auto it = scriptedCache.find(key); it != scriptedCache.end())
        return it->second;
    const QString path = newModelPath("scripted");
    writeScripted(path, chains, "llama-spm", ctx);
    scriptedCache.emplace(key, path);
    return path;
}

QString helloModel()
{
    return scriptedModel({{"▁Hi", "▁Hello", "<0xC3>", "<0xA9>", "!", "</s>"}});
}

QString randomModel()
{
    static const QString path = [] {
        std::lock_guard lock(cacheLock);
        const QString p = newModelPath("random");
        EXPECT_EQ(testmodel::writeRandomModel(p.toStdString(), testmodel::vocabPath(), {}), "");
        return p;
    }();
    return path;
}

QString randomModelWith(const std::string& key, const std::string& value)
{
    std::lock_guard lock(cacheLock);
    const QString p = newModelPath("meta");
    EXPECT_EQ(testmodel::writeRandomModel(p.toStdString(), testmodel::vocabPath(), {}, {{key, value}}), "");
    return p;
}

Reply generateAll(LlamaModel& model, const std::string& prompt, const SamplingParams& params)
{
    Reply reply;
    std::mutex lock;
    std::promise<void> finished;
    GenerationSink sink;
    sink.onPiece = [&](const QString& piece) {
        std::lock_guard guard(lock);
        reply.pieces << piece;
        return true;
    };
    sink.onFinished = [&] { finished.set_value(); };
    GenerationHandle handle = model.generate(prompt, params, std::move(sink));
    finished.get_future().wait();
    reply.failure = model.lastStreamFailure();
    return reply;
}

std::vector<float> fullDecodeLogits(const QString& path, int64_t context, const std::vector<int32_t>& tokens)
{
    auto model = LlamaModel::load(path, context, 0, 2);
    std::vector<float> logits;
    LlamaModel::TestHooks hooks;
    hooks.afterPrompt = [&](const float* l, int32_t n) { logits.assign(l, l + n); };
    model->setTestHooks(hooks);
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 1;
    std::promise<void> done;
    GenerationSink sink;
    sink.onFinished = [&] { done.set_value(); };
    GenerationHandle handle = model->generate([&](const LlamaModel&, SamplingParams&) { return tokens; }, params, std::move(sink));
    done.get_future().wait();
    return logits;
}

::testing::AssertionResult sameUpToRounding(const std::vector<float>& kept, const std::vector<float>& full)
{
    if (kept.empty() || kept.size() != full.size())
        return ::testing::AssertionFailure() << kept.size() << " logits against " << full.size();
    const auto [low, high] = std::minmax_element(full.begin(), full.end());
    float most = 0;
    for (size_t i = 0; i < kept.size(); ++i)
        most = std::max(most, std::abs(kept[i] - full[i]));
    if (most < 0.005f * (*high - *low))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "logits differ by " << most << " of a spread of " << *high - *low;
}

ModelsFolder::ModelsFolder()
    : path(makeTempFolder(QStringLiteral("models")))
{
}

void ModelsFolder::add(const QString& name, const std::vector<std::vector<std::string>>& chains,
                       const std::string& vocab, int64_t ctx, const std::string& chatTemplate) const
{
    writeScripted(path + QLatin1Char('/') + name + QStringLiteral(".gguf"), chains, vocab, ctx, chatTemplate);
}

void ModelsFolder::addRandom(const QString& name, int64_t ctx) const
{
    testmodel::RandomSpec spec;
    spec.shape.ctx = ctx;
    const std::string file = (path + QLatin1Char('/') + name + QStringLiteral(".gguf")).toStdString();
    EXPECT_EQ(testmodel::writeRandomModel(file, testmodel::vocabPath(), spec), "");
}

void replaceByRename(const QString& source, const QString& target)
{
    const QString staged = target + QStringLiteral(".part");
    QFile::remove(staged);
    ASSERT_TRUE(QFile::copy(source, staged));
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(staged).toStdString(), QFile::encodeName(target).toStdString(), error);
    ASSERT_FALSE(error) << error.message();
}

ModelInfo modelNamed(const QList<ModelInfo>& models, const QString& name)
{
    for (const ModelInfo& m : models)
        if (m.displayName == name)
            return m;
    ADD_FAILURE() << "no model " << name.toStdString();
    return {};
}

bool finishes(const SessionTask& task, int ms)
{
    return waitUntil([&] { return task.isFinished(); }, ms);
}

ChatImage png(const QString& name, int width, int height, QRgb color)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {name, bytes};
}

} // namespace cvn::test
