// A loaded model's file replaced, rewritten or cut short between replies.
//
// The weights are mapped from the file, so a reply from a model whose file
// was cut short in place reads past the file's end and the process dies of a
// bus error. The cases that could die run in a child process of their own:
// a regression then fails the case (the child did not exit normally) instead
// of killing the whole suite.

#include "engine/LlamaSession.h"

#include "ChildWriter.h"
#include "QtPrinters.h"
#include "TestModels.h"
#include "models/ModelStore.h"
#include "platform/MainThread.h"
#include "support/Wait.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <poll.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <utility>

using namespace cvn;
using namespace cvn::test;

namespace {

const std::vector<std::string> kBefore = {kPromptEnd, "▁Hello", "</s>"};
const std::vector<std::string> kAfter = {kPromptEnd, "▁world", "</s>"};

// Models of the same shape with other scripts, outside any models folder,
// to put in place of a loaded model's file.
struct Spares {
    ModelsFolder folder;
    Spares()
    {
        folder.add(QStringLiteral("before"), {kBefore});
        folder.add(QStringLiteral("after"), {kAfter});
    }
    QString path(const char* name) const { return folder.path + QLatin1Char('/') + QLatin1String(name) + ".gguf"; }
};

// Writes to a model file as another program would, from a thread of its
// own: a write to a loaded model's file waits until the model lets go of it,
// which the main thread's event loop does meanwhile.
void writeAside(const std::function<void()>& write)
{
    std::future<void> written = std::async(std::launch::async, write);
    waitUntil([&] { return written.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60000);
    written.get();
}

// What copying over the same file in place does: same inode, new bytes.
void rewriteInPlace(const QString& source, const QString& target)
{
    writeAside([&] {
        QFile in(source);
        QFile out(target);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(out.write(in.readAll()), in.size());
    });
}

void cutShort(const QString& file, qint64 size)
{
    writeAside([&] { ASSERT_TRUE(QFile::resize(file, size)); });
}

// The last bubble and the model slot after a reply, as one line.
std::string outcome(const LlamaSession& session)
{
    const LlamaSession::Turn& last = session.turns().last();
    const QString bubble = last.state.isComplete() ? QStringLiteral("reply \"%1\"").arg(last.content)
                                                   : QStringLiteral("note \"%1\"").arg(last.state.failureMessage);
    return (bubble + QStringLiteral(", loaded ") + session.loadedModelName().value_or(QStringLiteral("nothing")))
        .toStdString();
}

// Runs `scenario` in a child process, which prints what it returns and exits
// normally; the parent expects that text. Steps print their names as they
// end, so a child that dies shows how far it came.
void expectInChild(const std::function<std::string()>& scenario, const std::string& expected)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string seen = scenario();
            std::fprintf(stderr, "[%s]\n", seen.c_str());
            std::fflush(stderr);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), ::testing::HasSubstr("[" + expected + "]"));
}

// "swap" (llama template, trained 8192) in a models folder, a store and a
// session on it, and files of other templates and trained contexts to put in
// its place, one of them of its size.
struct SwapFolder {
    ModelsFolder spares, folder;
    const QString file = folder.path + QStringLiteral("/swap.gguf");
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    SwapFolder()
    {
        spares.add(QStringLiteral("chatml"), {kAfter}, "llama-spm", 16384, "{{ '<|im_start|>' }}");
        spares.add(QStringLiteral("gemma"), {kBefore}, "llama-spm", 4096, "{{ '<start_of_turn>' }}");
        spares.add(QStringLiteral("sized"), {kAfter}, "llama-spm", 2048, "{{ '<|im_start|>' }}       ");
        folder.add(QStringLiteral("swap"), {kBefore}, "llama-spm", 8192, "{{ '<|start_header_id|>' }}");
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
    }
    ModelInfo swap() const { return modelNamed(store->models(), QStringLiteral("swap")); }
    void put(const char* spare) const { replaceByRename(spares.path + u'/' + QLatin1String(spare) + ".gguf", file); }
    // The slot's template and context size, and swap's trained context.
    std::string facts() const
    {
        return QStringLiteral("%1 ctx %2, trained %3")
            .arg(session->chatTemplate().rawValue())
            .arg(session->loadedContextSize())
            .arg(swap().trainedContext.value_or(0))
            .toStdString();
    }
};

// Runs `step` the first time a seam is reached; the session copies its
// seams for each load, so the flag is shared.
std::function<void()> once(std::function<void()> step)
{
    return [step = std::move(step), pending = std::make_shared<bool>(true)] {
        if (std::exchange(*pending, false))
            step();
    };
}

// What the log said of loads that found their file changed.
QStringList loggedLoads;

void keepLoadLines(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (message.startsWith(QLatin1String("Model file changed while it loaded")))
        loggedLoads << message.section(QLatin1Char(':'), 0, 0);
}

// Sets the file's trained context length to 0, which llama.cpp loads and
// our header reader refuses.
void zeroTrainedContext(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray key = "llama.context_length";
    const qsizetype at = file.readAll().indexOf(key);
    ASSERT_GE(at, 0);
    ASSERT_TRUE(file.seek(at + key.size() + 4)); // past the key and its type
    ASSERT_EQ(file.write(QByteArray(4, '\0')), 4);
}

const std::string kNoModelNote = "note \"No model loaded — pick one with SELECT A MODEL.\", loaded nothing";
const std::string kNotAModel =
    "llama.cpp could not load this file as a model (llama_model_load_from_file returned null)";

} // namespace

TEST(ModelFileChange, NextReplyComesFromTheFileAsItIsNowOrFailsWithoutAModel)
{
    expectInChild(
        [] {
            const Spares spares;
            ModelsFolder folder;
            folder.add(QStringLiteral("swap"), {kBefore});
            const QString file = folder.path + QStringLiteral("/swap.gguf");
            ModelStore store(folder.path);
            LlamaSession session(&store);
            QStringList failures;
            QObject::connect(&session, &LlamaSession::reloadFailed, [&](const QString& model, const QString& why) {
                failures << model + QStringLiteral(": ") + QString(why).replace(folder.path, QStringLiteral("~"));
            });
            const auto pick = [&] { finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("swap")))); };

            std::string seen;
            const auto reply = [&](const char* step) {
                failures.clear();
                finishes(session.send(QStringLiteral("Hi")));
                seen += std::string(step) + ": " + outcome(session);
                if (!failures.isEmpty())
                    seen += "; failed " + failures.join(QStringLiteral(" | ")).toStdString();
                seen += "\n";
                std::fprintf(stderr, "done: %s\n", step);
            };
            // In place first, while the file is the one mapped.
            pick();
            reply("first");
            rewriteInPlace(spares.path("after"), file);
            reply("rewritten");
            cutShort(file, 1 << 20);
            reply("cut short");
            const auto attempt = LlamaModel::lastLoadAttempt();
            seen += "last load: " + attempt->fileName.toStdString() + " "
                + (std::holds_alternative<LoadAttempt::Failed>(attempt->outcome) ? "failed" : "ok") + "\n";
            reply("no model");

            replaceByRename(spares.path("before"), file);
            pick();
            reply("picked again");
            replaceByRename(spares.path("after"), file);
            reply("replaced");
            QFile::remove(file);
            reply("removed");
            return seen;
        },
        "first: reply \" Hello\", loaded swap\n"
        "rewritten: reply \" world\", loaded swap\n"
        "cut short: " + kNoModelNote + "; failed swap: " + kNotAModel + "\n"
        "last load: swap.gguf failed\n"
        "no model: " + kNoModelNote + "\n"
        "picked again: reply \" Hello\", loaded swap\n"
        "replaced: reply \" world\", loaded swap\n"
        "removed: " + kNoModelNote + "; failed swap: the file could not be read: ~/swap.gguf\n");
}

// A member already in the slot is loaded again when its file changed, with
// the member's usual loading line, and a file that no longer loads gets the
// member's usual note while the next member still answers.
TEST(ModelFileChange, CouncilMemberWhoseFileChangedIsLoadedAgain)
{
    expectInChild(
        [] {
            const Spares spares;
            ModelsFolder folder;
            folder.add(QStringLiteral("alpha"), {kBefore});
            folder.add(QStringLiteral("beta"), {kBefore});
            const QString file = folder.path + QStringLiteral("/alpha.gguf");
            ModelStore store(folder.path);
            LlamaSession session(&store);
            const ModelInfo alpha = modelNamed(store.models(), QStringLiteral("alpha"));
            const ModelInfo beta = modelNamed(store.models(), QStringLiteral("beta"));
            QStringList statuses;
            QObject::connect(&session, &LlamaSession::statusTextChanged, [&] {
                if (session.statusText())
                    statuses << *session.statusText();
            });
            if (!finishes(session.loadModel(alpha)))
                return std::string("no first load");

            std::string seen;
            const auto ask = [&](const char* step, const QList<ModelInfo>& members) {
                statuses.clear();
                const qsizetype before = session.turns().size();
                finishes(session.sendCouncil(QStringLiteral("Hi"), QStringLiteral("Hi"), members, {}));
                seen += std::string(step) + ":";
                for (qsizetype i = before + 1; i < session.turns().size(); ++i) {
                    const LlamaSession::Turn& t = session.turns()[i];
                    seen += " [" + t.modelName.value_or(QString()).toStdString() + "] "
                        + (t.state.isComplete() ? t.content : t.state.failureMessage).toStdString();
                }
                seen += " (" + statuses.join(QStringLiteral(", ")).toStdString() + ")\n";
                std::fprintf(stderr, "done: %s\n", step);
            };
            // Cut short in place first, while the file is the one mapped.
            cutShort(file, 1 << 20);
            ask("cut short", {alpha, beta});
            replaceByRename(spares.path("before"), file);
            finishes(session.loadModel(alpha));
            replaceByRename(spares.path("after"), file);
            ask("replaced", {alpha});
            return seen;
        },
        "cut short: [] alpha couldn't respond — Model file corrupt or unreadable [beta]  Hello "
        "(Loading alpha... (0s), Loading beta... (0s))\n"
        "replaced: [alpha]  world (Loading alpha... (0s))\n");
}

// A reply that waits for its model to load again can be stopped at once; the
// load still fills the slot, and the next reply needs no other load.
TEST(ModelFileChange, StopWhileTheChangedFileLoadsEndsTheReplyAtOnce)
{
    const Spares spares;
    ModelsFolder folder;
    folder.add(QStringLiteral("swap"), {kBefore});
    ModelStore store(folder.path);
    LlamaSession session(&store);
    ASSERT_TRUE(finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("swap")))));
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
    const QUuid question = session.turns()[0].id;

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> loads = 0;
    session.setLoadHook([&loads, released] {
        ++loads;
        released.wait_for(std::chrono::seconds(20));
    });
    replaceByRename(spares.path("after"), folder.path + QStringLiteral("/swap.gguf"));
    const SessionTask waiting = session.regenerate(question);
    EXPECT_TRUE(session.isStreaming());
    EXPECT_EQ(session.loadedModelId(), std::nullopt);
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_TRUE(session.turns()[1].state.isStreaming());

    session.stop();
    EXPECT_TRUE(waiting.isFinished());
    EXPECT_FALSE(session.isStreaming());
    ASSERT_EQ(session.turns().size(), 1);
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return session.loadedModelName() == QStringLiteral("swap"); }, 20000));

    ASSERT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
    EXPECT_EQ(session.turns().last().content, QStringLiteral(" world"));
    EXPECT_EQ(loads.load(), 1);
}

// A file replaced by one of another template and trained context is loaded
// with the new file's facts, for a reply (renamed over) and for a council
// member (copied over in place); the store's record follows under its id and
// the name the user gave it.
TEST(ModelFileChange, ReplacedFileIsLoadedWithTheNewFilesTemplateAndContext)
{
    expectInChild(
        [] {
            const ModelsFolder spares;
            spares.add(QStringLiteral("chatml"), {kAfter}, "llama-spm", 16384, "{{ '<|im_start|>' }}");
            spares.add(QStringLiteral("gemma"), {kBefore}, "llama-spm", 8192, "{{ '<start_of_turn>' }}");
            ModelsFolder folder;
            folder.add(QStringLiteral("swap"), {kBefore}, "llama-spm", 2048, "{{ '<|start_header_id|>' }}");
            const QString file = folder.path + QStringLiteral("/swap.gguf");
            ModelStore store(folder.path);
            const QUuid id = modelNamed(store.models(), QStringLiteral("swap")).id;
            store.rename(id, QStringLiteral("Mine"));
            LlamaSession session(&store);
            finishes(session.loadModel(*store.model(id)));

            std::string seen;
            const auto used = [&](const char* step) {
                const ModelInfo record = store.model(id).value_or(ModelInfo{});
                seen += QStringLiteral("%1: %2 ctx %3 %4 \"%5\"; record %6 trained %7\n")
                            .arg(QLatin1String(step), session.chatTemplate().rawValue())
                            .arg(session.loadedContextSize())
                            .arg(session.loadedArchitecture().value_or(QString()),
                                 session.turns().isEmpty() ? QString() : session.turns().last().content,
                                 record.displayName)
                            .arg(record.trainedContext.value_or(0))
                            .toStdString();
            };
            used("loaded");
            replaceByRename(spares.path + QStringLiteral("/chatml.gguf"), file);
            finishes(session.send(QStringLiteral("Hi")));
            used("renamed over");
            rewriteInPlace(spares.path + QStringLiteral("/gemma.gguf"), file);
            finishes(session.sendCouncil(QStringLiteral("Hi"), QStringLiteral("Hi"), {*store.model(id)}, {}));
            used("copied over");
            return seen;
        },
        "loaded: llama ctx 4096 llama \"\"; record Mine trained 2048\n"
        "renamed over: chatML ctx 16384 llama \" world\"; record Mine trained 16384\n"
        "copied over: gemma ctx 8192 llama \" Hello\"; record Mine trained 8192\n");
}

// A model out of the slot whose file was replaced since the scan is loaded
// with the new file's facts, by a pick and as a council member.
TEST(ModelFileChange, ModelOutOfTheSlotIsLoadedWithItsFilesFactsNow)
{
    SwapFolder f;
    f.put("chatml");
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    EXPECT_EQ(f.facts(), "chatML ctx 16384, trained 16384");
    f.session->unloadModel();
    f.put("gemma");
    ASSERT_TRUE(finishes(f.session->sendCouncil(QStringLiteral("Hi"), QStringLiteral("Hi"), {f.swap()}, {})));
    EXPECT_EQ(f.facts(), "gemma ctx 4096, trained 4096");
}

// A file cut short for a while: the record shows it has no header facts
// and the reload fails; the good file back under the name loads with its own.
TEST(ModelFileChange, BrokenFileInBetweenShowsNoFactsAndTheGoodFileLoadsAgain)
{
    SwapFolder f;
    const QString cut = f.spares.path + QStringLiteral("/cut.gguf");
    ASSERT_TRUE(QFile::copy(f.file, f.spares.path + QStringLiteral("/good.gguf")) && QFile::copy(f.file, cut));
    ASSERT_TRUE(QFile::resize(cut, 16) && finishes(f.session->loadModel(f.swap())));
    f.put("cut");
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    EXPECT_EQ(std::tuple(f.session->loadedModelName(), f.swap().trainedContext),
              std::tuple(std::nullopt, std::nullopt));
    f.put("good");
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    EXPECT_EQ(f.facts(), "llama ctx 8192, trained 8192");
}

// A copy over the loaded file in place, of the same size and with its
// modification time put back, still counts as another file.
TEST(ModelFileChange, RewrittenInPlaceWithItsTimePutBackIsLoadedAgain)
{
    SwapFolder f;
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    const std::filesystem::path native = QFile::encodeName(f.file).toStdString();
    const auto written = std::filesystem::last_write_time(native);
    rewriteInPlace(f.spares.path + QStringLiteral("/sized.gguf"), f.file);
    std::filesystem::last_write_time(native, written);
    ASSERT_EQ(QFileInfo(f.file).size(), f.swap().fileSizeBytes);
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    EXPECT_EQ(f.facts(), "chatML ctx 4096, trained 2048");
}

// A file replaced after its header was read and before llama.cpp opens it:
// the load counts as changed and the file is loaded again with its facts.
TEST(ModelFileChange, FileReplacedWhileItLoadsCountsAsChanged)
{
    SwapFolder f;
    f.session->setLoadHook(once([&f] { f.put("chatml"); }));
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    f.session->setLoadHook({});
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    EXPECT_EQ(f.facts(), "chatML ctx 16384, trained 16384");
}

// llama.cpp opens a file twice as it loads it, for its metadata and for the
// weights it maps: a file replaced in between answers with one file's
// template and vocabulary and the other's weights. Here the file is
// replaced before a reply's reload opens it, and after a council member's
// load returns; each answers from the file there in the end, with its
// facts, after a second load that the log tells.
TEST(ModelFileChange, FileReplacedDuringALoadIsLoadedAgainBeforeItAnswers)
{
    SwapFolder f;
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    const QUuid question = f.session->turns()[0].id;
    int loads = 0;
    const auto answered = [&] {
        return f.facts() + " \"" + f.session->turns().last().content.toStdString() + "\", loads "
            + std::to_string(std::exchange(loads, 0));
    };
    loggedLoads.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepLoadLines);

    f.put("gemma");
    f.session->setLoadHook([&, put = once([&] { f.put("chatml"); })] {
        ++loads;
        put();
    });
    ASSERT_TRUE(finishes(f.session->regenerate(question)));
    EXPECT_EQ(answered(), "chatML ctx 16384, trained 16384 \" world\", loads 2");

    f.session->unloadModel();
    f.session->setLoadHook([&] { ++loads; });
    f.session->setLoadedHook(once([&] { f.put("gemma"); }));
    ASSERT_TRUE(finishes(f.session->sendCouncil(QStringLiteral("Hi"), QStringLiteral("Hi"), {f.swap()}, {})));
    EXPECT_EQ(answered(), "gemma ctx 4096, trained 4096 \" Hello\", loads 2");
    qInstallMessageHandler(previous);
    EXPECT_EQ(loggedLoads, QStringList(2, QStringLiteral("Model file changed while it loaded, loading it again")));
}

// A copy over the loaded model's file in place while it answers (which cuts
// the mapped file short first): the reply stops as the user's stop stops it,
// keeping its text; the writer goes on once the model let go of the file,
// and the next reply comes from the new file.
TEST(ModelFileChange, FileRewrittenInPlaceDuringAReplyStopsItAndTheNextReplyLoadsIt)
{
    expectInChild(
        [] {
            const Spares spares;
            ModelsFolder folder;
            folder.add(QStringLiteral("loop"), {{kPromptEnd, "▁The", "▁sea", "▁is", "▁calm", ".", "▁The"}},
                       "llama-spm", 8192);
            const QString file = folder.path + QStringLiteral("/loop.gguf");
            ModelStore store(folder.path);
            LlamaSession session(&store);
            if (!finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("loop")))))
                return std::string("no load");
            const SessionTask reply = session.send(QStringLiteral("Hi"));
            waitUntil([&] { return !session.turns().last().content.isEmpty(); }, 30000);
            const bool streamed = !reply.isFinished();
            rewriteInPlace(spares.path("after"), file);
            std::fprintf(stderr, "done: rewrite\n");
            finishes(reply);
            const LlamaSession::Turn stopped = session.turns().last();
            std::string seen = QStringLiteral("streamed %1, stopped %2, kept \"%3\"\n")
                                   .arg(streamed)
                                   .arg(stopped.state.isComplete() && stopped.cancelledByUser)
                                   .arg(stopped.content.left(4))
                                   .toStdString();
            finishes(session.send(QStringLiteral("Hi")));
            return seen + "next: " + outcome(session);
        },
        "streamed 1, stopped 1, kept \" The\"\n"
        "next: reply \" world\", loaded loop");
}

// A file that llama.cpp loads but whose header our reader refuses (a
// trained context of 0) in place of a good one: the reply uses the facts
// the loaded model gives, and they are kept with that file, so the next
// reply loads nothing.
TEST(ModelFileChange, FileOurReaderRefusesTakesTheLoadedModelsFactsOnce)
{
    SwapFolder f;
    f.spares.add(QStringLiteral("zero"), {kAfter}, "llama-spm", 4096, "{{ '<start_of_turn>' }}");
    zeroTrainedContext(f.spares.path + QStringLiteral("/zero.gguf"));
    ASSERT_TRUE(finishes(f.session->loadModel(f.swap())));
    int loads = 0;
    f.session->setLoadHook([&] { ++loads; });
    f.put("zero");
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    const GgufInfo facts = f.swap().discoveredMetadata.value_or(GgufInfo{});
    EXPECT_EQ(QStringLiteral("%1 \"%2\", loads %3; record %4 %5 trained %6")
                  .arg(f.session->chatTemplate().rawValue(), f.session->turns().last().content)
                  .arg(loads)
                  .arg(facts.architecture, facts.embeddedChatTemplate.value_or(QString()))
                  .arg(f.swap().trainedContext.value_or(-1))
                  .toStdString(),
              "gemma \" world\", loads 1; record llama {{ '<start_of_turn>' }} trained -1");
}

// A rescan finds a file replaced by another of the same size (or filled in
// place): its record takes the new file's facts, keeping its id and the
// user's name and choices.
TEST(ModelFileChange, RescanShowsTheFactsOfTheFileThatIsThere)
{
    SwapFolder f;
    QList<ModelInfo> models = f.store->models();
    models[0].displayName = QStringLiteral("Mine");
    models[0].contextMode = QStringLiteral("manual");
    models[0].contextSizeManual = 1024;
    f.store->setModels(models);
    f.put("sized");
    int published = 0;
    QObject::connect(f.store.get(), &ModelStore::modelsChanged, [&] { ++published; });
    f.store->reload();
    const ModelInfo record = f.store->model(models[0].id).value_or(ModelInfo{});
    EXPECT_EQ(QStringLiteral("%1 %2 %3 trained %4 %5, published %6")
                  .arg(record.displayName, record.contextMode)
                  .arg(record.contextSizeManual.value_or(0))
                  .arg(record.trainedContext.value_or(0))
                  .arg(ChatTemplate::detect(record).rawValue())
                  .arg(published)
                  .toStdString(),
              "Mine manual 1024 trained 2048 chatML, published 1");
}

// --- a file that another program is writing -------------------------------------

namespace {

const QString kWaitingForSwap = QStringLiteral("Waiting for another program to finish writing swap…");

// "swap" (answering " Hello") in a models folder, with a session on it, and
// the bytes of a model of the same size that answers " world".
struct WrittenFolder {
    const Spares spares;
    ModelsFolder folder;
    const QString file = folder.path + QStringLiteral("/swap.gguf");
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QByteArray after;
    std::optional<LoadError::Kind> failed; // the last load's error
    WrittenFolder()
    {
        folder.add(QStringLiteral("swap"), {kBefore});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        QFile source(spares.path("after"));
        if (source.open(QIODevice::ReadOnly))
            after = source.readAll();
    }
    SessionTask load()
    {
        failed.reset();
        return session->loadModel(modelNamed(store->models(), QStringLiteral("swap")),
                                  [this](const std::optional<LoadError>& error) {
                                      if (error)
                                          failed = error->kind();
                                  });
    }
    bool waiting() const { return session->statusText() == kWaitingForSwap && session->isStreaming(); }
};

} // namespace

// A pick of a file that another program has open for writing waits,
// saying so with a stop button, and loads the file with its lease once the
// writer closes it; past the wait's limit it fails as a file still changing.
TEST(ModelFileWriter, LoadWaitsForTheWriterAndLoadsWithALeaseOrFailsPastTheLimit)
{
    WrittenFolder f;
    auto writer = std::make_unique<ChildWriter>(f.file, O_WRONLY | O_APPEND);
    ASSERT_TRUE(writer->opened(20000));
    const SessionTask load = f.load();
    ASSERT_TRUE(waitUntil([&] { return f.waiting(); }, 20000));
    EXPECT_FALSE(load.isFinished());
    EXPECT_EQ(f.session->loadedModelId(), std::nullopt);
    writer->close();
    ASSERT_TRUE(finishes(load));
    EXPECT_EQ(std::tuple(f.failed, f.session->loadedModelName(), f.session->statusText(), f.session->isStreaming()),
              std::tuple(std::nullopt, std::optional(QStringLiteral("swap")), std::nullopt, false));
    EXPECT_TRUE(leaseHeldOn(f.file));
    writer.reset();

    f.session->unloadModel();
    f.session->setWriterWaitLimit(std::chrono::milliseconds(300));
    ChildWriter stays(f.file, O_WRONLY | O_APPEND);
    ASSERT_TRUE(stays.opened(20000));
    ASSERT_TRUE(finishes(f.load()));
    EXPECT_EQ(std::tuple(f.failed, f.session->loadedModelName(), f.session->statusText(), f.session->isStreaming()),
              std::tuple(LoadError::Kind::fileChanging, std::nullopt, std::nullopt, false));
}

// The stop button ends the wait at once, and nothing loads afterwards.
TEST(ModelFileWriter, StopEndsTheWait)
{
    WrittenFolder f;
    ChildWriter writer(f.file, O_WRONLY | O_APPEND);
    ASSERT_TRUE(writer.opened(20000));
    const SessionTask load = f.load();
    ASSERT_TRUE(waitUntil([&] { return f.waiting(); }, 20000));
    f.session->stop();
    EXPECT_TRUE(load.isFinished());
    EXPECT_EQ(std::tuple(f.failed, f.session->statusText(), f.session->isStreaming()),
              std::tuple(LoadError::Kind::stopped, std::nullopt, false));
    writer.close();
    waitUntil([&] { return writer.finished(); }, 5000);
    waitUntil([] { return false; }, 600); // past the next look at the file
    EXPECT_EQ(f.session->loadedModelId(), std::nullopt);
}

// The user's pick holds the slot while it waits for another program to
// finish writing: a request that comes meanwhile waits behind it, and once
// the pick has loaded the finished file, is answered; nothing stays waiting.
TEST(ModelFileWriter, ARequestWaitsBehindAPickWaitingForAWriter)
{
    WrittenFolder f;
    f.folder.add(QStringLiteral("other"), {kBefore});
    f.store->reload();
    ChildWriter writer(f.file, O_WRONLY | O_APPEND);
    ASSERT_TRUE(writer.opened(20000));
    const SessionTask load = f.load();
    ASSERT_TRUE(waitUntil([&] { return f.waiting(); }, 20000));

    std::atomic<bool> answered = false;
    ServedRequest request;
    request.messages = {ChatMessage{ChatMessage::Role::user, QStringLiteral("Hi")}};
    request.model = modelNamed(f.store->models(), QStringLiteral("other"));
    request.onFinished = [&](const ServedRequest::Outcome&) { answered = true; };
    f.session->serveRequest(std::move(request));
    EXPECT_FALSE(waitUntil([&] { return answered.load(); }, 600)) << "the pick keeps the slot";
    EXPECT_TRUE(f.waiting());

    writer.close();
    ASSERT_TRUE(finishes(load, 20000));
    EXPECT_EQ(f.failed, std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return answered.load(); }, 20000));
    EXPECT_EQ(std::tuple(f.session->statusText(), f.session->isStreaming(), f.session->loadedModelName()),
              std::tuple(std::nullopt, false, std::optional(QStringLiteral("other"))));
}

// Another program that opens the file just as the load ends, then writes
// the other model over it in pieces: the half-written file is never
// loaded, and the finished one answers.
TEST(ModelFileWriter, AWriteDuringALoadLoadsTheFinishedFile)
{
    WrittenFolder f;
    std::unique_ptr<ChildWriter> writer;
    f.session->setLoadedHook(once([&] {
        writer = std::make_unique<ChildWriter>(f.file, O_WRONLY | O_TRUNC, f.after, 6, 150);
        writer->opened(20000, false); // the model lets go of the file first
    }));
    ASSERT_TRUE(finishes(f.load()));
    EXPECT_EQ(std::tuple(f.failed, f.session->loadedModelName()),
              std::tuple(std::nullopt, std::optional(QStringLiteral("swap"))));
    ASSERT_TRUE(finishes(f.session->send(QStringLiteral("Hi"))));
    EXPECT_EQ(outcome(*f.session), "reply \" world\", loaded swap");
}

// A download into the file in place, in pieces over two seconds, while
// messages go out: every reply waits for the finished file.
TEST(ModelFileWriter, ASlowWriterInPlaceNeverGetsAReplyFromTheHalfWrittenFile)
{
    expectInChild(
        [] {
            WrittenFolder f;
            if (f.after.size() != QFileInfo(f.file).size())
                return std::string("the spare is not of the same size");
            finishes(f.load());
            ChildWriter writer(f.file, O_WRONLY, f.after, 8, 250);
            if (!writer.opened(20000))
                return std::string("the writer never got in");
            QSet<QString> replies;
            for (int i = 0; i < 20 && !writer.finished(); ++i) {
                finishes(f.session->send(QStringLiteral("Hi")));
                replies << QString::fromStdString(outcome(*f.session));
            }
            finishes(f.session->send(QStringLiteral("Hi")));
            replies << QString::fromStdString(outcome(*f.session));
            QStringList seen = replies.values();
            seen.sort();
            return seen.join(QStringLiteral(" | ")).toStdString();
        },
        "reply \" world\", loaded swap");
}

// A break while the main thread is busy: the model lets go of its file on
// a thread of its own, so the writer gets in long before the main thread is
// free again, and the reply stops.
TEST(ModelFileWriter, ABreakWhileTheMainThreadIsBlockedStopsTheReplyAndReleases)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("loop"), {{kPromptEnd, "▁The", "▁sea", "▁is", "▁calm", ".", "▁The"}}, "llama-spm", 8192);
    ModelStore store(folder.path);
    LlamaSession session(&store);
    ASSERT_TRUE(finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("loop")))));
    const SessionTask reply = session.send(QStringLiteral("Hi"));
    ASSERT_TRUE(waitUntil([&] { return !session.turns().last().content.isEmpty(); }, 30000));
    ASSERT_FALSE(reply.isFinished());

    ChildWriter writer(folder.path + QStringLiteral("/loop.gguf"), O_WRONLY);
    EXPECT_TRUE(writer.opened(3000, false)); // no event loop runs meanwhile
    EXPECT_TRUE(session.model()->isFreed());
    ASSERT_TRUE(finishes(reply));
    const LlamaSession::Turn& stopped = session.turns().last();
    EXPECT_TRUE(stopped.state.isComplete() && stopped.cancelledByUser);
}

// The same break under another program's request: its reply ends as a
// stopped one, never as a finished one.
TEST(ModelFileWriter, ABreakUnderARequestEndsItAsStopped)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("loop"), {{kPromptEnd, "▁The", "▁sea", "▁is", "▁calm", ".", "▁The"}}, "llama-spm", 8192);
    ModelStore store(folder.path);
    LlamaSession session(&store);
    ASSERT_TRUE(finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("loop")))));
    std::atomic<bool> piece = false;
    std::optional<ServedRequest::Outcome> heard;
    ServedRequest request;
    request.messages = {ChatMessage{ChatMessage::Role::user, QStringLiteral("Hi")}};
    request.onPiece = [&](const QString&) { return piece = true; };
    request.onFinished = [&](const ServedRequest::Outcome& outcome) {
        runOnMain([&heard, outcome] { heard = outcome; });
    };
    session.serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return piece.load(); }, 30000));

    ChildWriter writer(folder.path + QStringLiteral("/loop.gguf"), O_WRONLY);
    EXPECT_TRUE(writer.opened(3000, false));
    ASSERT_TRUE(waitUntil([&] { return heard.has_value(); }, 30000));
    EXPECT_GT(heard->completionTokens, 0);
    EXPECT_TRUE(heard->cancelled);
}
