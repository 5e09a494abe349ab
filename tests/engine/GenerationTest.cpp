#include "engine/LlamaModel.h"

#include "TestModels.h"
#include "TestModelWriter.h"

#include <llama.h>

#include <QDir>
#include <QLoggingCategory>
#include <QMutex>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <unistd.h>

using namespace cvn;
using namespace cvn::test;
using namespace std::chrono_literals;

namespace {

const QString kHello = QStringLiteral(" Hello");
const QString kE = QStringLiteral(u"\u00E9");

std::shared_ptr<LlamaModel> load(const QString& path, int64_t context = 0)
{
    return LlamaModel::load(path, context, 0, 2);
}

SamplingParams withSeed(uint32_t seed)
{
    SamplingParams p = SamplingParams::defaults();
    p.seed = seed;
    return p;
}

// Counts a run's pieces and waits for its end. `onPiece`, when given, sees
// each count and decides whether the consumer is still there.
struct CountingSink {
    std::promise<void> finished;
    std::atomic<int> pieces{0};

    GenerationSink sink(std::function<bool(int)> onPiece = {})
    {
        GenerationSink s;
        s.onPiece = [this, onPiece](const QString&) {
            const int count = ++pieces;
            return onPiece ? onPiece(count) : true;
        };
        s.onFinished = [this] { finished.set_value(); };
        return s;
    }

    bool ended() { return finished.get_future().wait_for(10s) == std::future_status::ready; }
};

} // namespace

TEST(Generation, ScriptedReplyArrivesInWholeCharactersWithoutTheEndToken)
{
    auto model = load(helloModel());
    for (uint32_t seed : {1u, 2u, 4294967295u}) {
        const Reply reply = generateAll(*model, "Hi", withSeed(seed));
        EXPECT_EQ(reply.pieces, QStringList({kHello, kE, QStringLiteral("!")})) << "seed " << seed;
        EXPECT_EQ(reply.failure, std::nullopt);
    }
}

TEST(Generation, TokenLimitEndsTheReplyAndDropsAPendingHalfCharacter)
{
    auto model = load(helloModel());
    SamplingParams p = SamplingParams::defaults();
    p.maxTokens = 2; // " Hello" and the first byte of "é"
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({kHello}));
    p.maxTokens = 3;
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({kHello, kE}));
    p.maxTokens = 0;
    const Reply none = generateAll(*model, "Hi", p);
    EXPECT_TRUE(none.pieces.isEmpty());
    EXPECT_EQ(none.failure, std::nullopt);
}

// A stop string ends the reply before it, wherever the tokens split it, and
// no piece ever shows a part of it; a tail that only looked like the start
// of one comes once the next text shows it is not, or at the reply's end.
TEST(Generation, StopStringsCutTheReplyBeforeThemWhereverTheTokensSplitThem)
{
    auto model = load(helloModel());
    SamplingParams p = SamplingParams::defaults();
    p.stopSequences = {QStringLiteral("lo") + kE}; // spans two pieces
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({QStringLiteral(" Hel")}));
    p.stopSequences = {QStringLiteral("ll")}; // inside one piece
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({QStringLiteral(" He")}));
    p.stopSequences = {QStringLiteral("never"), QStringLiteral("!"), QStringLiteral("Hello")}; // the first match wins
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({QStringLiteral(" ")}));
    p.stopSequences = {QString()};
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({kHello, kE, QStringLiteral("!")}));
    p.stopSequences = {QStringLiteral("lox")};
    EXPECT_EQ(generateAll(*model, "Hi", p).pieces, QStringList({QStringLiteral(" Hel"), QStringLiteral("lo") + kE,
                                                                QStringLiteral("!")}));
    p.stopSequences = {QStringLiteral("!?")}; // held at the end token, then shown
    EXPECT_EQ(generateAll(*model, "Hi", p).text(), kHello + kE + QStringLiteral("!"));
}

TEST(Generation, InvalidBytesBecomeReplacementWithoutSilencingTheRest)
{
    auto model = load(scriptedModel({{"▁Hi", "<0xA9>", "!", "</s>"}}));
    const Reply reply = generateAll(*model, "Hi", SamplingParams::defaults());
    EXPECT_EQ(reply.pieces, QStringList({QStringLiteral(u"\uFFFD"), QStringLiteral("!")}));
}

TEST(Generation, ContextWithoutRoomForAReplyFailsWithItsText)
{
    auto model = load(helloModel(), 256);
    const Reply reply = generateAll(*model, "Hi", SamplingParams::defaults());
    EXPECT_TRUE(reply.pieces.isEmpty());
    EXPECT_EQ(reply.failure, QStringLiteral("The model's context (256 tokens) has no room left for a reply. "
                                            "Load it with a larger context."));
}

TEST(Generation, LongPromptKeepsItsFirstTokenAndMostRecentTokens)
{
    auto model = load(helloModel(), 512);
    std::string prompt;
    for (int i = 0; i < 400; ++i)
        prompt += "Hi ";
    prompt += "Hi";
    const auto tokens = model->tokenize(prompt);
    const int total = int(tokens.size());
    ASSERT_GT(total, 256);

    LogCapture log;
    const Reply reply = generateAll(*model, prompt, SamplingParams::defaults());
    // The reply still follows the script from the last prompt token.
    EXPECT_EQ(reply.pieces, QStringList({kHello, kE, QStringLiteral("!")}));
    EXPECT_EQ(reply.failure, std::nullopt);
    EXPECT_TRUE(log.taken().contains(QStringLiteral("Prompt truncated to fit the context: dropped %1 of %2 tokens")
                                         .arg(total - 256)
                                         .arg(total)))
        << log.taken().join(QLatin1Char('\n')).toStdString();
}

TEST(Generation, DoubledBeginMarkerIsDroppedFromThePrompt)
{
    auto model = load(helloModel());
    const auto plain = model->tokenize("Hi");
    const auto marked = model->tokenize("<s>Hi");
    ASSERT_GE(plain.size(), 2u);
    EXPECT_EQ(marked, plain);
    EXPECT_NE(marked[1], marked[0]);
}

TEST(Generation, FixedSeedRepeatsAcrossRunsAndReloads)
{
    SamplingParams p = withSeed(1234);
    p.maxTokens = 40;
    auto first = load(randomModel());
    const Reply a = generateAll(*first, "Once upon a time", p);
    const Reply b = generateAll(*first, "Once upon a time", p);
    auto second = load(randomModel());
    const Reply c = generateAll(*second, "Once upon a time", p);
    EXPECT_FALSE(a.text().isEmpty());
    EXPECT_EQ(a.pieces, b.pieces);
    EXPECT_EQ(a.pieces, c.pieces);
    p.seed = 1235;
    EXPECT_NE(generateAll(*first, "Once upon a time", p).pieces, a.pieces);
}

// The names of a sampler chain's links, in order.
static QStringList chainNames(const SamplingParams& params)
{
    llama_sampler* chain = newSamplerChain(params);
    QStringList names;
    for (int i = 0; chain && i < llama_sampler_chain_n(chain); ++i)
        names << QString::fromUtf8(llama_sampler_name(llama_sampler_chain_get(chain, i)));
    if (chain)
        llama_sampler_free(chain);
    return names;
}

TEST(Sampling, TheChainFollowsTheSettingsAndTheLogLineShowsThem)
{
    SamplingParams p = SamplingParams::defaults();
    EXPECT_EQ(chainNames(p), QStringList({"cvn-repeat-penalty", "top-k", "top-p", "temp", "dist"}));
    EXPECT_EQ(samplingLogLine(p), "Sampling: temperature 0.8, top-k 40, top-p 0.95, min-p 0, repeat penalty 1.1, "
                                  "limit 2048 tokens, seed random");
    p.topK = 0;
    p.minP = 0.05f;
    p.repeatPenalty = 1.0f;
    p.maxTokens = 300;
    p.seed = 42;
    EXPECT_EQ(chainNames(p), QStringList({"top-p", "min-p", "temp", "dist"}));
    EXPECT_EQ(samplingLogLine(p), "Sampling: temperature 0.8, top-k 0, top-p 0.95, min-p 0.05, repeat penalty 1, "
                                  "limit 300 tokens, seed 42");
    p.temperature = 0;
    EXPECT_EQ(chainNames(p), QStringList({"greedy"}));
}

TEST(Sampling, TemperatureZeroGivesTheSameReplyTwiceAndLogsItsLine)
{
    LogCapture log;
    SamplingParams p = SamplingParams::defaults();
    p.temperature = 0;
    p.maxTokens = 40;
    auto model = load(randomModel());
    const Reply a = generateAll(*model, "Once upon a time", p);
    const Reply b = generateAll(*model, "Once upon a time", p);
    EXPECT_FALSE(a.text().isEmpty());
    EXPECT_EQ(a.pieces, b.pieces);
    EXPECT_EQ(log.taken().filter("Sampling: ").value(0),
              "Sampling: temperature 0, top-k 40, top-p 0.95, min-p 0, repeat penalty 1.1, limit 40 tokens, "
              "seed random");
}

// The most common download is a K-quant. Processors with AMX once crashed on
// the first such multiplication (the library's AMX kernels); the model must
// answer, and answer the same way twice.
TEST(Generation, KQuantModelAnswersRepeatably)
{
    const QString folder = QString::fromStdString(testing::TempDir()) + QStringLiteral("/kquant-%1").arg(getpid());
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::string f32 = (folder + QStringLiteral("/f32.gguf")).toStdString();
    const std::string q4 = (folder + QStringLiteral("/q4km.gguf")).toStdString();
    testmodel::RandomSpec spec;
    spec.shape = {.embd = 512, .layers = 2, .ff = 1024, .heads = 8, .headsKv = 8, .ctx = 2048};
    ASSERT_EQ(testmodel::writeRandomModel(f32, testmodel::vocabPath(), spec), "");
    ASSERT_EQ(testmodel::quantizeModel(f32, q4, "Q4_K_M"), "");
    SamplingParams p = withSeed(7);
    p.maxTokens = 24;
    auto model = load(QString::fromStdString(q4));
    ASSERT_NE(model, nullptr);
    const Reply a = generateAll(*model, "Once upon a time", p);
    const Reply b = generateAll(*model, "Once upon a time", p);
    EXPECT_EQ(a.failure, std::nullopt);
    EXPECT_FALSE(a.text().isEmpty());
    EXPECT_EQ(a.pieces, b.pieces);
    QDir(folder).removeRecursively();
}

// A run stopped before it starts gives nothing; one stopped while its piece
// is with the consumer ends at its next check, right after that piece.
TEST(GenerationStop, CancelDropOrGoneConsumerEndsTheRunAtItsNextCheck)
{
    enum class How { cancel, dropHandle, consumerGone };
    struct Case {
        const char* name;
        How how;
        int atPiece; // 0: before the run reaches the queue
        int pieces;
    };
    const Case cases[] = {{"cancel before start", How::cancel, 0, 0},
                          {"drop before start", How::dropHandle, 0, 0},
                          {"cancel mid-reply", How::cancel, 1, 1},
                          {"drop mid-reply", How::dropHandle, 1, 1},
                          {"consumer gone", How::consumerGone, 3, 3}};
    auto model = load(scriptedModel({{"▁A", "▁B", "▁A"}}));
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        if (k.atPiece == 0)
            model->queue().async([gate] { gate.wait(); }); // keeps the run waiting
        std::promise<void> reached;
        CountingSink run;
        auto handle = std::make_unique<GenerationHandle>(
            model->generate("A", SamplingParams::defaults(), run.sink([&](int count) {
                if (count != k.atPiece)
                    return true;
                if (k.how == How::consumerGone)
                    return false;
                reached.set_value();
                gate.wait(); // the run holds here until the stop is in
                return true;
            })));
        if (k.atPiece > 0 && k.how != How::consumerGone)
            reached.get_future().wait();
        if (k.how == How::cancel)
            handle->cancel();
        else if (k.how == How::dropHandle)
            handle.reset();
        release.set_value();
        ASSERT_TRUE(run.ended());
        EXPECT_EQ(run.pieces.load(), k.pieces);
        EXPECT_EQ(model->lastStreamFailure(), std::nullopt); // a stop is not a failure
    }
}

// A decode that fails (here: aborted by llama.cpp's own abort hook, with no
// stop requested) ends the run. On the prompt it leaves the user a reason;
// mid-reply the pieces so far stand and only the log says why.
TEST(Generation, DecodeFailureEndsTheRunWithItsReasonOrThePiecesSoFar)
{
    struct Case {
        const char* name;
        bool midReply;
        QStringList pieces;
        std::optional<QString> failure;
        QString logLine;
    };
    const Case cases[] = {
        {"prompt", false, {}, QStringLiteral("The model could not process the message. Try again or restart the app."),
         QStringLiteral("llama_decode failed on the prompt")},
        {"mid-reply", true, {kHello}, std::nullopt, QStringLiteral("llama_decode failed mid-generation at token 1")}};
    const ggml_abort_callback alwaysAbort = [](void*) { return true; };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto model = load(helloModel());
        LogCapture log;
        Reply reply;
        std::promise<void> finished;
        GenerationSink sink;
        sink.onPiece = [&](const QString& piece) {
            reply.pieces << piece;
            // On the queue, between the sample and the decode of this token.
            llama_set_abort_callback(model->contextHandle(), alwaysAbort, nullptr);
            return true;
        };
        sink.onFinished = [&] { finished.set_value(); };
        if (!k.midReply)
            llama_set_abort_callback(model->contextHandle(), alwaysAbort, nullptr);
        GenerationHandle handle = model->generate("Hi", SamplingParams::defaults(), std::move(sink));
        finished.get_future().wait();
        EXPECT_EQ(reply.pieces, k.pieces);
        EXPECT_EQ(model->lastStreamFailure(), k.failure);
        EXPECT_TRUE(log.taken().contains(k.logLine)) << log.taken().join(QLatin1Char('\n')).toStdString();
    }
}

TEST(GenerationStop, LateCancelOfAFinishedRunDoesNotStopTheNextOne)
{
    auto model = load(helloModel());
    std::promise<void> firstDone;
    GenerationSink first;
    first.onFinished = [&] { firstDone.set_value(); };
    GenerationHandle old = model->generate("Hi", SamplingParams::defaults(), std::move(first));
    firstDone.get_future().wait();

    // The next run is queued behind a gate; the old handle is cancelled while
    // it waits and again once it runs.
    std::promise<void> release;
    auto gate = release.get_future().share();
    model->queue().async([gate] { gate.wait(); });
    Reply next;
    std::promise<void> nextDone;
    GenerationSink sink;
    sink.onPiece = [&](const QString& piece) {
        next.pieces << piece;
        old.cancel();
        return true;
    };
    sink.onFinished = [&] { nextDone.set_value(); };
    GenerationHandle handle = model->generate("Hi", SamplingParams::defaults(), std::move(sink));
    old.cancel();
    release.set_value();
    nextDone.get_future().wait();
    EXPECT_EQ(next.pieces, QStringList({kHello, kE, QStringLiteral("!")}));
}

TEST(GenerationStop, RunQueuedAfterFreeFinishesEmpty)
{
    auto model = load(helloModel());
    std::promise<void> release;
    auto gate = release.get_future().share();
    model->queue().async([gate] { gate.wait(); });

    CountingSink run;
    GenerationHandle handle = model->generate("Hi", SamplingParams::defaults(), run.sink());

    // free() from another thread: it raises the stop at once, then waits for
    // the queue.
    std::thread freer([&] { model->free(); });
    while (!model->stopRequested())
        std::this_thread::yield();
    release.set_value();
    freer.join();
    ASSERT_TRUE(run.ended());
    EXPECT_TRUE(model->isFreed());
    EXPECT_EQ(run.pieces.load(), 0);

    // A run started after free() never touches the handles.
    CountingSink late;
    GenerationHandle lateHandle = model->generate("Hi", SamplingParams::defaults(), late.sink());
    ASSERT_TRUE(late.ended());
    EXPECT_EQ(late.pieces.load(), 0);
}

// --- the context kept between runs ------------------------------------------------

namespace {

constexpr int64_t kKeptContext = 4096;

std::shared_ptr<LlamaModel> loadRandom()
{
    return LlamaModel::load(randomModel(), kKeptContext, 0, 2);
}

SamplingParams greedy()
{
    SamplingParams p = SamplingParams::defaults();
    p.topK = 1;
    p.maxTokens = 12;
    return p;
}

// What a freshly loaded copy of the same file computes for the prompt's last
// token: a full decode.
std::vector<float> freshLogits(LlamaModel& model, const std::string& prompt)
{
    return fullDecodeLogits(randomModel(), kKeptContext, model.tokenize(prompt));
}

size_t commonPrefix(const std::vector<int32_t>& a, const std::vector<int32_t>& b)
{
    return size_t(std::mismatch(a.begin(), a.begin() + std::ptrdiff_t(std::min(a.size(), b.size())), b.begin())
                      .first
                  - a.begin());
}

// One run on a model that keeps its context: the reply, the prompt's tokens
// and how many of them the run kept (from its log line) and decoded.
struct KeptRun {
    QString reply;
    std::vector<float> logits; // of the reply's first token
    int64_t promptTokens = -1;
    int64_t kept = -1;
    int64_t decoded = 0;
};

KeptRun runKept(LlamaModel& model, const std::string& prompt, LlamaModel::TestHooks hooks = {})
{
    KeptRun run;
    int64_t held = -1;
    hooks.afterPromptSlice = [&](int64_t h) { held = h; };
    hooks.afterPrompt = [&](const float* l, int32_t n) { run.logits.assign(l, l + n); };
    model.setTestHooks(hooks);
    LogCapture log;
    run.reply = generateAll(model, prompt, greedy()).text();
    static const QRegularExpression line(QStringLiteral("^Prompt: (\\d+) tokens, (\\d+) kept from the last run$"));
    for (const QString& message : log.taken()) {
        if (const auto match = line.match(message); match.hasMatch()) {
            run.promptTokens = match.captured(1).toLongLong();
            run.kept = match.captured(2).toLongLong();
        }
    }
    run.decoded = held < 0 ? 0 : held - run.kept;
    return run;
}

} // namespace

// A conversation on one model: each reply is the one a full decode gives (up
// to floating-point rounding), and each run after the first decodes what is
// new since the last one.
TEST(KeptContext, AConversationDecodesOnlyWhatIsNewAndAnswersAsAFullDecode)
{
    auto model = loadRandom();
    std::string prompt = "User: Tell me about the sea and the ships on it.\nAssistant:";
    std::vector<int32_t> previous;
    for (const char* next : {"\nUser: And the sky above it?\nAssistant:", "\nUser: Why is it blue?\nAssistant:", ""}) {
        SCOPED_TRACE(prompt);
        const std::vector<int32_t> tokens = model->tokenize(prompt);
        const KeptRun run = runKept(*model, prompt);
        EXPECT_TRUE(sameUpToRounding(run.logits, freshLogits(*model, prompt)));
        EXPECT_EQ(run.promptTokens, int64_t(tokens.size()));
        if (previous.empty()) {
            EXPECT_EQ(run.kept, 0);
        } else {
            ASSERT_EQ(commonPrefix(previous, tokens), previous.size()) << "the last prompt is not a prefix";
            // The last prompt, and at most the reply tokens that were decoded.
            EXPECT_GT(run.kept, int64_t(previous.size()));
            EXPECT_LT(run.kept, int64_t(previous.size() + greedy().maxTokens));
        }
        EXPECT_EQ(run.kept + run.decoded, int64_t(tokens.size()));
        previous = tokens;
        prompt += run.reply.toStdString() + next;
    }
}

// An edit, a regenerate and an older, shorter prompt: decoding starts at the
// first token that differs, and always takes in the last one.
TEST(KeptContext, AnEditOrAShorterPromptDecodesFromItsFirstChangedToken)
{
    auto model = loadRandom();
    const std::string head = "User: Tell me about the sea and the ships on it.\nAssistant:";
    const std::string first = head + " The ships sail on.\nUser: And the sky above it?\nAssistant:";
    const std::string edited = head + " The boats sail on.\nUser: And the sky above it?\nAssistant:";
    runKept(*model, first);
    const std::vector<int32_t> firstTokens = model->tokenize(first);
    struct Case {
        const std::string& prompt;
        size_t kept;
    };
    const std::vector<int32_t> editedTokens = model->tokenize(edited);
    const size_t firstChange = commonPrefix(firstTokens, editedTokens);
    ASSERT_LT(firstChange, editedTokens.size() - 1);
    const Case cases[] = {{edited, firstChange},
                          {edited, editedTokens.size() - 1},
                          {head, model->tokenize(head).size() - 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.prompt);
        const KeptRun run = runKept(*model, k.prompt);
        EXPECT_TRUE(sameUpToRounding(run.logits, freshLogits(*model, k.prompt)));
        EXPECT_EQ(run.kept, int64_t(k.kept));
        EXPECT_EQ(run.decoded, int64_t(model->tokenize(k.prompt).size() - k.kept));
    }
}

// A run stopped after its first prompt slice keeps that slice; the same
// prompt again decodes only the rest.
TEST(KeptContext, AStopDuringThePromptKeepsWhatWasDecoded)
{
    auto model = loadRandom();
    std::string prompt = "User:";
    for (int i = 0; i < 1100; ++i)
        prompt += " the sea";
    prompt += "\nAssistant:";
    const auto total = int64_t(model->tokenize(prompt).size());
    const auto slice = int64_t(llama_n_batch(model->contextHandle()));
    ASSERT_GT(total, slice);
    ASSERT_LT(total, kKeptContext - 256);

    LlamaModel::TestHooks stopAfterOneSlice;
    stopAfterOneSlice.afterPromptSlice = [&](int64_t) { model->requestStop(); };
    model->setTestHooks(stopAfterOneSlice);
    const Reply stopped = generateAll(*model, prompt, greedy());
    EXPECT_TRUE(stopped.pieces.isEmpty());
    EXPECT_EQ(stopped.failure, std::nullopt);

    const KeptRun again = runKept(*model, prompt);
    EXPECT_EQ(again.kept, slice);
    EXPECT_EQ(again.decoded, total - slice);
    EXPECT_TRUE(sameUpToRounding(again.logits, freshLogits(*model, prompt)));
}

// A stop that lands while llama.cpp decodes the prompt aborts the decode,
// which llama.cpp reports as errors: the runtime log says it was the user's
// stop, and warns of nothing.
TEST(KeptContext, AStopInsideAPromptDecodeIsLoggedAsTheUsersStop)
{
    auto model = loadRandom();
    llama_set_abort_callback(model->contextHandle(), [](void* stopped) {
        static_cast<LlamaModel*>(stopped)->requestStop();
        return true;
    }, model.get());
    LogCapture log;
    const Reply stopped = generateAll(*model, "User: Tell me about the sea.\nAssistant:", greedy());
    EXPECT_TRUE(stopped.pieces.isEmpty());
    EXPECT_EQ(stopped.failure, std::nullopt);
    EXPECT_TRUE(log.taken().filter(QStringLiteral("Stopped by the user during the prompt: 0 of")).size() == 1)
        << log.taken().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(LogCapture::warnings, QStringList());
}

// Whenever the memory cannot be trusted to hold what was kept, the whole
// prompt is decoded again: a memory that refuses to drop its tail, one
// emptied behind the model's back, and one that a failed decode left behind.
TEST(KeptContext, AMemoryThatCannotKeepItsPrefixIsDecodedInFull)
{
    const std::string first = "User: Tell me about the sea.\nAssistant:";
    const std::string second = first + " It is wide.\nUser: And the sky?\nAssistant:";
    const auto expectFullDecode = [&](LlamaModel& model, const char* what, const LlamaModel::TestHooks& hooks = {}) {
        SCOPED_TRACE(what);
        const KeptRun run = runKept(model, second, hooks);
        EXPECT_EQ(run.kept, 0);
        EXPECT_EQ(run.decoded, int64_t(model.tokenize(second).size()));
        EXPECT_TRUE(sameUpToRounding(run.logits, freshLogits(model, second)));
    };

    auto refusing = loadRandom();
    LlamaModel::TestHooks refuse;
    refuse.refuseMemoryTrim = true;
    runKept(*refusing, first, refuse);
    expectFullDecode(*refusing, "refused", refuse);

    auto emptied = loadRandom();
    generateAll(*emptied, first, greedy());
    emptied->queue().sync([&] { llama_memory_clear(llama_get_memory(emptied->contextHandle()), true); });
    expectFullDecode(*emptied, "emptied");

    auto failed = loadRandom();
    generateAll(*failed, first, greedy());
    llama_set_abort_callback(failed->contextHandle(), [](void*) { return true; }, nullptr);
    EXPECT_TRUE(generateAll(*failed, second, greedy()).failure.has_value());
    llama_set_abort_callback(failed->contextHandle(), nullptr, nullptr);
    expectFullDecode(*failed, "after a failed decode");
}
