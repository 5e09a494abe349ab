#include "engine/LlamaSession.h"
#include "engine/PromptCache.h"
#include "engine/PromptStore.h"

#include "TestModels.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "TestModelWriter.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "support/WriteFailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

using namespace cvn;
using namespace cvn::test;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Budgets set for one test and removed after it.
struct Budgets {
    Budgets(qlonglong memoryMb, qlonglong diskMb)
    {
        AppSettings::setValue(QString::fromLatin1(AppSettings::promptCacheMemoryMb), memoryMb);
        AppSettings::setValue(QString::fromLatin1(AppSettings::promptCacheDiskMb), diskMb);
    }
    ~Budgets()
    {
        AppSettings::remove(QString::fromLatin1(AppSettings::promptCacheMemoryMb));
        AppSettings::remove(QString::fromLatin1(AppSettings::promptCacheDiskMb));
    }
};

} // namespace

TEST(PromptCacheTest, BudgetsFollowTheSettingsAndClearEmptiesTheFolder)
{
    LlamaSession session;
    PromptCache& cache = session.promptCache();
    EXPECT_EQ(cache.folder(), QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                                  + QStringLiteral("/corvanthelis/decoded"));
    EXPECT_TRUE(cache.folder().startsWith(tempRoot())) << "tests keep their cache in their own folder";
    // Unset: the defaults.
    PromptCache::Usage usage = cache.usage();
    EXPECT_EQ(usage.memoryBytes, 0);
    EXPECT_GT(usage.memoryBudgetBytes, 0);
    EXPECT_LE(usage.memoryBudgetBytes, 2048 * kMiB);
    EXPECT_EQ(usage.diskBudgetBytes, 4096 * kMiB);

    int changes = 0;
    QObject::connect(&cache, &PromptCache::usageChanged, [&] { ++changes; });
    {
        Budgets budgets(5, 0);
        ASSERT_TRUE(waitUntil([&] { return cache.usage().memoryBudgetBytes == 5 * kMiB; }));
        EXPECT_EQ(cache.usage().diskBudgetBytes, 0);
        EXPECT_GE(changes, 1);
    }
    ASSERT_TRUE(waitUntil([&] { return cache.usage().diskBudgetBytes == 4096 * kMiB; }));

    // Files of entries (and only they) go with a clear.
    ASSERT_TRUE(QDir().mkpath(cache.folder()));
    QFile entry(cache.folder() + QStringLiteral("/0123.kv"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("not a state");
    entry.close();
    changes = 0;
    cache.clear();
    cache.store()->flush();
    EXPECT_TRUE(waitUntil([&] { return changes >= 1; }));
    EXPECT_FALSE(QFile::exists(entry.fileName()));
    EXPECT_EQ(cache.usage().diskBytes, 0);
}

namespace {

using Turn = LlamaSession::Turn;
using Role = ChatMessage::Role;
using namespace std::chrono_literals;

constexpr int64_t kContext = 1024;

// Words picked by a fixed generator: each seed makes its own conversation.
QString words(uint32_t seed, int count)
{
    static const char* const kWords[] = {"the", "sea", "ships", "sail", "under", "a", "grey", "sky",
                                         "while", "sailors", "sing", "old", "songs", "about", "home", "and"};
    QStringList out;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out << QString::fromLatin1(kWords[(seed >> 16) % std::size(kWords)]);
    }
    return out.join(QLatin1Char(' ')) + QLatin1Char('.');
}

// A chat on a random model (f32, or quantised) in a models folder of its
// own, whose replies stop after a few tokens. Each reply's prompt line and
// first-token logits are kept.
struct CachedChat {
    struct Sent {
        QString prompt;
        int64_t tokens = -1;
        int64_t kept = -1;
        QString from; // "kept from the last run", "restored from memory" or "restored from disk"
        std::vector<float> logits;
    };

    QString modelsPath;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QString path;
    QString prompt;
    std::vector<float> logits;
    LogCapture log;

    // A folder with "random" (f32) and "other" (another model), and
    // "quant" (Q4_K_M) when asked.
    static QString makeModels(bool quantised)
    {
        static QString f32Folder, quantFolder;
        QString& made = quantised ? quantFolder : f32Folder;
        if (!made.isEmpty())
            return made;
        ModelsFolder folder;
        folder.addRandom(QStringLiteral("other"), kContext);
        testmodel::RandomSpec spec;
        spec.shape.ctx = kContext;
        spec.shape.embd = 256; // whole blocks of the k-quants
        spec.shape.ff = 512;
        const std::string f32 = (folder.path + QStringLiteral("/random.gguf")).toStdString();
        EXPECT_EQ(testmodel::writeRandomModel(f32, testmodel::vocabPath(), spec), "");
        if (quantised) {
            const std::string quant = (folder.path + QStringLiteral("/quant.bin")).toStdString();
            EXPECT_EQ(testmodel::quantizeModel(f32, quant, "Q4_K_M"), "");
            EXPECT_TRUE(QFile::remove(QString::fromStdString(f32)));
            EXPECT_TRUE(QFile::rename(QString::fromStdString(quant), QString::fromStdString(f32)));
        }
        return made = folder.path;
    }

    explicit CachedChat(bool quantised = false, QString folder = {})
        : modelsPath(folder.isEmpty() ? makeModels(quantised) : folder)
        , path(modelsPath + QStringLiteral("/random.gguf"))
    {
        start();
    }

    // A new session and model, as after a restart of the app.
    void start(int64_t context = kContext)
    {
        session.reset();
        store = std::make_unique<ModelStore>(modelsPath);
        // Greedy replies of a few tokens: the same chat makes the same state.
        QList<ModelInfo> models = store->models();
        for (ModelInfo& m : models) {
            m.sampling.temperature = 0;
            m.sampling.replyLimit = 6;
            m.contextMode = QStringLiteral("manual");
            m.contextSizeManual = context;
        }
        store->setModels(models);
        session = std::make_unique<LlamaSession>(store.get());
        // Whichever model answers (another model, a file loaded again) gets
        // the hook that keeps the first token's logits.
        QObject::connect(session.get(), &LlamaSession::loadedModelChanged, [this] {
            LlamaModel::TestHooks hooks;
            hooks.afterPrompt = [this](const float* l, int32_t n) { logits.assign(l, l + n); };
            if (session->model())
                session->model()->setTestHooks(hooks);
        });
        EXPECT_TRUE(finishes(session->loadModel(model(QStringLiteral("random"), context))));
        session->setPieceInterval(0ms);
        session->setPromptObserver([this](const QString& p) { prompt = p; });
    }

    ModelInfo model(const QString& name, int64_t context = kContext) const
    {
        ModelInfo info = modelNamed(store->models(), name);
        info.contextMode = QStringLiteral("manual");
        info.contextSizeManual = context;
        return info;
    }

    // Opens a chat of its own: a system message and `turns` exchanges.
    void open(uint32_t seed, int turns = 3)
    {
        QList<Turn> list;
        Turn system;
        system.role = Role::system;
        system.content = QStringLiteral("You answer about ") + words(seed, 3);
        list << system;
        for (int i = 0; i < turns; ++i) {
            Turn user, assistant;
            user.role = Role::user;
            user.content = words(seed + 10 * i + 1, 40);
            assistant.role = Role::assistant;
            assistant.content = words(seed + 10 * i + 2, 30);
            list << user << assistant;
        }
        session->replaceTurns(list);
    }

    Sent send(const QString& text)
    {
        return reply([&] { return session->send(text); });
    }

    Sent reply(const std::function<SessionTask()>& start)
    {
        log.clear();
        prompt.clear();
        logits.clear();
        EXPECT_TRUE(finishes(start()));
        // The state is kept on the model's queue after the end is told.
        if (const std::shared_ptr<LlamaModel> model = session->model())
            model->queue().sync([] {});
        Sent sent;
        sent.prompt = prompt;
        sent.logits = logits;
        static const QRegularExpression line(QStringLiteral(
            "^Prompt: (\\d+) tokens, (\\d+) (kept from the last run|restored from memory|restored from disk)$"));
        for (const QString& text : log.taken()) {
            if (const auto m = line.match(text); m.hasMatch()) {
                sent.tokens = m.captured(1).toLongLong();
                sent.kept = m.captured(2).toLongLong();
                sent.from = m.captured(3);
            }
        }
        return sent;
    }

    // The first token's logits are those of a full decode of the same
    // prompt, up to floating-point rounding.
    ::testing::AssertionResult likeAFullDecode(const Sent& sent) const
    {
        if (sent.logits.empty())
            return ::testing::AssertionFailure() << "no logits";
        const std::vector<int32_t> tokens = session->model()->tokenize(sent.prompt.toStdString());
        return sameUpToRounding(sent.logits, fullDecodeLogits(path, kContext, tokens));
    }

    PromptCache& cache() { return session->promptCache(); }
    // What the runs so far keep, in memory and on disk: the saves come on the
    // model's queue after each run's end.
    void flush()
    {
        if (session->model())
            session->model()->queue().sync([] {});
        cache().store()->flush();
    }
    QStringList files() const
    {
        return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/corvanthelis/decoded")).entryList({QStringLiteral("*.kv")}, QDir::Files);
    }
};

const QString kLastRun = QStringLiteral("kept from the last run");
const QString kMemory = QStringLiteral("restored from memory");
const QString kDisk = QStringLiteral("restored from disk");

} // namespace

// A → B → A, then a restart: A's next reply starts from its kept state,
// from memory and then from disk, and chooses its first token as a full
// decode would.
class PromptCacheRestore : public ::testing::TestWithParam<bool> {};

TEST_P(PromptCacheRestore, RestoredStateGivesTheLogitsOfAFullDecode)
{
    const bool quantised = GetParam();
    CachedChat chat(quantised);
    const QString folder = chat.cache().folder();
    const auto restart = [&](const QStringList& keep = {}) {
        chat.cache().clear();
        chat.flush();
        for (const QString& file : keep)
            ASSERT_TRUE(QFile::copy(file, folder + QLatin1Char('/') + QFileInfo(file).fileName()));
        chat.start();
    };
    restart();

    // Chat A's next reply with its state still in the context: the
    // reference. The quantised kernels round by batch shape, so a reply
    // that starts from a kept state matches a full decode less closely;
    // one restored from the same state matches this one exactly.
    chat.open(1);
    const CachedChat::Sent a1 = chat.send(QStringLiteral("First question about ships."));
    ASSERT_GT(a1.tokens, 300);
    const QList<Turn> chatA = chat.session->turns();
    chat.flush();
    const QString saved = makeTempFolder(QStringLiteral("saved"));
    for (const QString& file : chat.files())
        ASSERT_TRUE(QFile::copy(folder + QLatin1Char('/') + file, saved + QLatin1Char('/') + file));
    const CachedChat::Sent live = chat.send(QStringLiteral("Second question."));
    EXPECT_EQ(live.from, kLastRun);
    EXPECT_GT(live.kept, a1.tokens);
    if (!quantised)
        EXPECT_TRUE(chat.likeAFullDecode(live));

    // A → B → A.
    restart();
    chat.open(1);
    chat.send(QStringLiteral("First question about ships."));
    chat.open(2);
    const CachedChat::Sent b = chat.send(QStringLiteral("Another question."));
    EXPECT_LT(b.kept, 20) << "another chat shares only the template's start";
    chat.session->replaceTurns(chatA);
    const CachedChat::Sent memory = chat.send(QStringLiteral("Second question."));
    EXPECT_EQ(memory.from, kMemory);
    EXPECT_EQ(memory.kept, live.kept);
    EXPECT_EQ(memory.prompt, live.prompt);
    EXPECT_EQ(memory.logits, live.logits);
    if (!quantised)
        EXPECT_TRUE(chat.likeAFullDecode(memory));

    // A restart with A's state on disk, after another chat.
    QStringList files;
    for (const QString& file : QDir(saved).entryList(QDir::Files))
        files << saved + QLatin1Char('/') + file;
    ASSERT_EQ(files.size(), 1);
    restart(files);
    chat.open(2);
    chat.send(QStringLiteral("Another question."));
    chat.session->replaceTurns(chatA);
    const CachedChat::Sent disk = chat.send(QStringLiteral("Second question."));
    EXPECT_EQ(disk.from, kDisk);
    EXPECT_EQ(disk.kept, live.kept);
    EXPECT_EQ(disk.logits, live.logits);
    if (!quantised)
        EXPECT_TRUE(chat.likeAFullDecode(disk));
}

INSTANTIATE_TEST_SUITE_P(F32AndQuantised, PromptCacheRestore, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Q4_K_M" : "f32"; });

TEST(PromptCacheTest, ARequestOrACouncilMemberBetweenTwoRepliesKeepsTheChatsPrefix)
{
    CachedChat chat;
    chat.open(3);
    const CachedChat::Sent first = chat.send(QStringLiteral("A question."));

    // Another program asks the same model something else.
    ServedRequest request;
    request.messages = {ChatMessage{Role::user, words(77, 60)}};
    std::atomic<bool> answered{false};
    request.onPiece = [](const QString&) { return true; };
    request.onFinished = [&](const ServedRequest::Outcome&) { answered = true; };
    chat.session->serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return answered.load() && chat.session->slot().isIdle(); }, 30000));
    const CachedChat::Sent second = chat.send(QStringLiteral("A second question."));
    EXPECT_EQ(second.from, kMemory);
    EXPECT_GE(second.kept, first.tokens);
    EXPECT_TRUE(chat.likeAFullDecode(second));

    // A council member of another model takes the slot, then the chat's
    // model comes back.
    const CachedChat::Sent council = chat.reply([&] {
        return chat.session->sendCouncil(QStringLiteral("@other q"), QStringLiteral("q"),
                                         {chat.model(QStringLiteral("other"))}, {});
    });
    EXPECT_GE(council.tokens, 1);

    chat.session->deleteTurn(chat.session->turns().last().id); // the member's answer
    chat.session->deleteTurn(chat.session->turns().last().id); // its question
    const CachedChat::Sent third = chat.send(QStringLiteral("A third question."));
    EXPECT_EQ(third.from, kMemory);
    EXPECT_GE(third.kept, second.tokens);
    EXPECT_TRUE(chat.likeAFullDecode(third));
}

TEST(PromptCacheTest, NeverRestoresAcrossAChangedFileOrAnotherContextSize)
{
    ModelsFolder own;
    const QString source = CachedChat::makeModels(false) + QStringLiteral("/random.gguf");
    ASSERT_TRUE(QFile::copy(source, own.path + QStringLiteral("/random.gguf")));
    CachedChat chat(false, own.path);
    chat.open(4);
    chat.send(QStringLiteral("A question."));
    const QList<Turn> turns = chat.session->turns();
    chat.flush();

    // The same chat on another context size finds nothing of its own.
    chat.start(kContext / 2);
    chat.session->replaceTurns(turns);
    CachedChat::Sent sent = chat.send(QStringLiteral("Again."));
    EXPECT_EQ(sent.from, kLastRun);
    EXPECT_EQ(sent.kept, 0);

    // The file is replaced by a copy of itself: the same bytes, another file.
    chat.flush();
    replaceByRename(source, chat.path);
    chat.start();
    chat.session->replaceTurns(turns);
    sent = chat.send(QStringLiteral("Again."));
    EXPECT_EQ(sent.from, kLastRun);
    EXPECT_EQ(sent.kept, 0);
}

TEST(PromptCacheTest, ADamagedOrCutFileIsDeletedAndTheReplyIsRight)
{
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "cut short" : "damaged");
        CachedChat chat;
        chat.cache().clear();
        chat.open(5);
        chat.send(QStringLiteral("A question."));
        const QList<Turn> turns = chat.session->turns();
        chat.flush();
        const QStringList files = chat.files();
        ASSERT_EQ(files.size(), 1);
        QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/corvanthelis/decoded") + QLatin1Char('/') + files.front());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        if (cut) {
            ASSERT_TRUE(file.resize(file.size() - 100));
        } else {
            // A byte in the middle of the state.
            ASSERT_TRUE(file.seek(file.size() / 2));
            char byte = 0;
            file.getChar(&byte);
            file.seek(file.size() / 2);
            file.putChar(char(byte ^ 0x5A));
        }
        file.close();

        chat.start();
        chat.session->replaceTurns(turns);
        const CachedChat::Sent sent = chat.send(QStringLiteral("Again."));
        EXPECT_EQ(sent.from, kLastRun);
        EXPECT_EQ(sent.kept, 0);
        EXPECT_TRUE(chat.likeAFullDecode(sent));
        EXPECT_FALSE(QFile::exists(file.fileName()));
    }
}

TEST(PromptCacheTest, TheBudgetsHoldAfterEverySave)
{
    CachedChat chat;
    chat.cache().clear();
    chat.flush();
    Budgets budgets(1, 1);
    ASSERT_TRUE(waitUntil([&] { return chat.cache().usage().memoryBudgetBytes == kMiB; }));
    int64_t largest = 0;
    for (uint32_t seed = 10; seed < 16; ++seed) {
        SCOPED_TRACE(seed);
        chat.open(seed);
        chat.send(QStringLiteral("A question."));
        const PromptCache::Usage usage = chat.cache().usage();
        EXPECT_LE(usage.memoryBytes, kMiB);
        largest = std::max(largest, usage.memoryBytes);
        chat.flush();
        int64_t onDisk = 0;
        for (const QFileInfo& info : QDir(chat.cache().folder()).entryInfoList(QDir::Files))
            onDisk += info.size();
        EXPECT_LE(onDisk, kMiB);
        EXPECT_EQ(chat.cache().usage().diskBytes, onDisk);
        EXPECT_GE(chat.files().size(), 1);
    }
    EXPECT_GT(largest, kMiB / 2) << "the budget was tried";
}

TEST(PromptCacheTest, TwoInstancesOnOneFolderLoseNothingAndRestoreNothingWrong)
{
    CachedChat first, second;
    first.cache().clear();
    first.flush();
    QList<QList<Turn>> chats;
    for (uint32_t seed : {20u, 21u}) {
        for (CachedChat* chat : {&first, &second}) {
            chat->open(seed + (chat == &second ? 100 : 0));
            chat->send(QStringLiteral("A question."));
            chats << chat->session->turns();
        }
    }
    // Both keep the same chat, under the same name.
    for (CachedChat* chat : {&first, &second}) {
        chat->open(50);
        chat->send(QStringLiteral("A question."));
    }
    chats << first.session->turns();
    first.flush();
    second.flush();
    EXPECT_EQ(first.files().size(), 5);

    CachedChat third;
    for (const QList<Turn>& turns : chats) {
        third.session->replaceTurns(turns);
        const CachedChat::Sent sent = third.send(QStringLiteral("Again."));
        EXPECT_TRUE(sent.from == kDisk || sent.from == kMemory) << qPrintable(sent.from);
        EXPECT_GT(sent.kept, 300);
        EXPECT_TRUE(third.likeAFullDecode(sent));
    }
}

TEST(PromptCacheTest, AFullDiskTurnsTheDiskOffWithOneLineAndRepliesGoOn)
{
    CachedChat chat;
    chat.cache().clear();
    chat.flush();
    chat.open(30);
    const QList<Turn> chatA = chat.session->turns();
    const auto cacheWarnings = [&] {
        QMutexLocker lock(&LogCapture::mutex);
        return LogCapture::warnings.filter(QStringLiteral("reply cache")).size();
    };
    CachedChat::Sent sent;
    {
        // The disk fills during the write.
        FileWritesFail full(64 * 1024);
        sent = chat.send(QStringLiteral("A question."));
        chat.flush();
        EXPECT_EQ(cacheWarnings(), 1);
        {
            QMutexLocker lock(&LogCapture::mutex);
            // The cause is named: EFBIG here, as a full disk's is ENOSPC.
            EXPECT_TRUE(LogCapture::warnings.filter(QStringLiteral("reply cache")).join(QString()).contains(
                QStringLiteral("File too large")))
                << LogCapture::warnings.join(QLatin1Char('\n')).toStdString();
        }
        chat.open(31);
        chat.send(QStringLiteral("Another question."));
        chat.flush();
        EXPECT_EQ(cacheWarnings(), 0) << "one line, the first time";
    }
    EXPECT_GT(sent.tokens, 300);
    EXPECT_EQ(sent.logits.empty(), false);
    EXPECT_TRUE(chat.files().isEmpty());
    // Memory still keeps each chat.
    chat.session->replaceTurns(chatA);
    const CachedChat::Sent again = chat.send(QStringLiteral("A question."));
    EXPECT_EQ(again.from, kMemory);
    EXPECT_TRUE(chat.likeAFullDecode(again));
}

TEST(PromptCacheTest, AStateThatDoesNotRestoreIsDroppedAndThePromptDecodedInFull)
{
    CachedChat chat;
    chat.cache().clear();
    chat.flush();
    chat.open(40);
    const QList<Turn> chatA = chat.session->turns();
    const CachedChat::Sent first = chat.send(QStringLiteral("A question."));
    // A state of the right model and tokens that llama.cpp refuses to read
    // takes the place of the one kept.
    const std::optional<PromptIdentity> identity = chat.session->model()->promptIdentity();
    ASSERT_TRUE(identity);
    std::vector<int32_t> tokens = chat.session->model()->tokenize(first.prompt.toStdString());
    tokens.push_back(tokens.back());
    chat.cache().store()->save(*identity, tokens, tokens.size(), 4096, [](uint8_t* data, size_t size) {
        std::fill(data, data + size, uint8_t(0xA5));
        return true;
    });
    chat.open(41);
    chat.send(QStringLiteral("Another question."));

    chat.session->replaceTurns(chatA);
    const CachedChat::Sent again = chat.send(QStringLiteral("A question."));
    EXPECT_EQ(again.from, kLastRun);
    EXPECT_LT(again.kept, 20);
    EXPECT_TRUE(chat.likeAFullDecode(again));
}

// A reply's tokens as the model wrote them are often not those its text
// gets in the next prompt: the newer entry still replaces the older one,
// whose prompt it extends, in memory and on disk.
TEST(PromptCacheTest, AChatKeepsOneEntryWhateverTokensItsRepliesComeBackAs)
{
    CachedChat chat;
    chat.cache().clear();
    chat.flush();
    chat.open(40, 1);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const int64_t before = chat.cache().usage().memoryBytes;
        chat.send(QStringLiteral("Go on, and say it otherwise."));
        chat.flush();
        // One entry, a little longer than the one it replaced.
        if (i > 0)
            EXPECT_LT(chat.cache().usage().memoryBytes, before * 3 / 2);
        EXPECT_EQ(chat.files().size(), 1) << chat.files().join(QLatin1Char(' ')).toStdString();
    }
    // After a restart, the entry read from its file is replaced the same way.
    const QList<Turn> turns = chat.session->turns();
    chat.start();
    chat.session->replaceTurns(turns);
    EXPECT_EQ(chat.send(QStringLiteral("Once more.")).from, kDisk);
    chat.flush();
    EXPECT_EQ(chat.files().size(), 1) << chat.files().join(QLatin1Char(' ')).toStdString();
}

// A newer entry kept in memory alone, its file too large for the disk's
// budget, leaves the file of the one it replaced for the next start.
TEST(PromptCacheTest, AnEntryKeptInMemoryAloneLeavesTheOlderFile)
{
    QTemporaryDir folder;
    PromptStore store(folder.filePath(QStringLiteral("decoded")));
    store.setMemoryBudget(64 * kMiB);
    store.setDiskBudget(kMiB);
    const PromptIdentity identity{FileIdentity{1, 2, 3, 4, 5}, 4096, 1, 1};
    const auto fill = [](uint8_t* data, size_t bytes) {
        std::fill(data, data + bytes, uint8_t(7));
        return true;
    };
    // The newer prompt extends the older one's, though not its reply.
    store.save(identity, {1, 2, 9}, 2, kMiB / 2, fill);
    store.flush();
    ASSERT_EQ(QDir(store.folder()).entryList(QDir::Files).size(), 1);
    store.save(identity, {1, 2, 3, 4, 5}, 4, 2 * kMiB, fill);
    store.flush();
    EXPECT_EQ(QDir(store.folder()).entryList(QDir::Files).size(), 1);
    EXPECT_GT(store.memoryBytes(), 2 * kMiB);
}

// What the user does while a state is read wins: an emptied cache stays
// empty, and a lowered budget holds.
TEST(PromptCacheTest, AClearOrALowerBudgetWhileAStateIsReadHolds)
{
    QTemporaryDir folder;
    PromptStore store(folder.filePath(QStringLiteral("decoded")));
    store.setMemoryBudget(64 * kMiB);
    store.setDiskBudget(0);
    const PromptIdentity identity{FileIdentity{1, 2, 3, 4, 5}, 4096, 1, 1};
    store.save(identity, {1, 2, 3}, 2, kMiB, [&](uint8_t*, size_t) {
        store.clear();
        return true;
    });
    EXPECT_EQ(store.memoryBytes(), 0);
    store.save(identity, {4, 5, 6}, 2, 2 * kMiB, [&](uint8_t*, size_t) {
        store.setMemoryBudget(kMiB);
        return true;
    });
    EXPECT_LE(store.memoryBytes(), kMiB);
}

// Saves of one chat that come faster than the disk writes them: a queued
// write a newer save replaces is dropped, its copy of the state with it.
TEST(PromptCacheTest, AQueuedWriteANewerSaveReplacesIsDropped)
{
    QTemporaryDir folder;
    PromptStore store(folder.filePath(QStringLiteral("decoded")));
    store.setMemoryBudget(0);
    store.setDiskBudget(64 * kMiB);
    store.flush();
    const std::thread::id here = std::this_thread::get_id();
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<int> written{0};
    store.setOnChange([&] {
        if (std::this_thread::get_id() == here)
            return;
        ++written;
        open.wait(); // the disk is busy with the first write meanwhile
    });
    const PromptIdentity identity{FileIdentity{1, 2, 3, 4, 5}, 4096, 1, 1};
    const auto fill = [](uint8_t*, size_t) { return true; };
    store.save(identity, {1, 2, 3}, 2, kMiB, fill);
    ASSERT_TRUE(waitUntil([&] { return written.load() == 1; }));
    store.save(identity, {1, 2, 3, 4}, 3, kMiB, fill);
    store.save(identity, {1, 2, 3, 4, 5}, 4, kMiB, fill);
    gate.set_value();
    store.flush();
    EXPECT_EQ(written.load(), 2);
    EXPECT_EQ(QDir(store.folder()).entryList(QDir::Files).size(), 1);
    store.setOnChange({});
}

// Any program of the user can write the cache folder: a state that is not
// what its tokens make in this model is never handed to llama.cpp as it is.
TEST(PromptCacheTest, AKeptStateThatIsNotWhatItsTokensMakeIsDeletedAsDamaged)
{
    for (const bool moreCells : {true, false}) {
        SCOPED_TRACE(moreCells ? "more cells than tokens" : "bytes past its end");
        CachedChat chat;
        chat.cache().clear();
        chat.flush();
        chat.open(60);
        const CachedChat::Sent first = chat.send(QStringLiteral("A question."));
        const QList<Turn> turns = chat.session->turns();
        chat.flush();
        const std::optional<PromptIdentity> identity = chat.session->model()->promptIdentity();
        ASSERT_TRUE(identity);
        PromptStore& store = *chat.cache().store();
        const std::vector<int32_t> prompt = chat.session->model()->tokenize(first.prompt.toStdString());
        const std::optional<PromptStore::Found> kept = store.find(*identity, prompt, int64_t(prompt.size()), 0);
        ASSERT_TRUE(kept);
        std::vector<uint8_t> state = *kept->state;
        if (moreCells) {
            // The sequence's header: magic, sequence, streams, then its cells.
            const auto cells = uint32_t(kept->tokens.size() + 1);
            std::memcpy(state.data() + 12, &cells, sizeof cells);
        } else {
            state.resize(state.size() + 64);
        }
        chat.cache().clear();
        chat.flush();
        store.save(*identity, kept->tokens, kept->promptLength, state.size(), [&](uint8_t* data, size_t size) {
            std::copy_n(state.data(), size, data);
            return true;
        });
        chat.flush();
        const QStringList files = chat.files();
        ASSERT_EQ(files.size(), 1);

        chat.start();
        chat.session->replaceTurns(turns);
        const CachedChat::Sent again = chat.send(QStringLiteral("Again."));
        EXPECT_EQ(again.from, kLastRun);
        EXPECT_TRUE(chat.likeAFullDecode(again));
        const QStringList lines = chat.log.taken();
        EXPECT_EQ(lines.filter(QStringLiteral("Reply cache file damaged, deleted: ") + files.front()).size(), 1)
            << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(lines.filter(QStringLiteral("did not restore")).isEmpty());
        chat.flush();
        EXPECT_FALSE(chat.files().contains(files.front()));
    }
}

namespace {

// A store in memory alone for `model`, that writes "kept" into `order` at
// each save.
std::shared_ptr<PromptStore> storeTellingSaves(LlamaModel& model, const QString& name, QStringList& order)
{
    auto store = std::make_shared<PromptStore>(makeTempFolder(name));
    store->setMemoryBudget(256 * kMiB);
    store->setDiskBudget(0);
    store->flush();
    store->setOnChange([&order] { order << QStringLiteral("kept"); });
    model.queue().sync([&] { model.setPromptStore(store); });
    return store;
}

SamplingParams shortGreedy()
{
    SamplingParams params = SamplingParams::defaults();
    params.temperature = 0;
    params.maxTokens = 4;
    return params;
}

} // namespace

// The end of a run reaches whoever waits for it before the copy of its
// state for the cache is made, and a state kept after the end restores as
// one kept before did.
TEST(PromptCacheTest, TheEndOfARunIsToldBeforeItsStateIsKept)
{
    CachedChat chat;
    const std::shared_ptr<LlamaModel> model = chat.session->model();
    ASSERT_TRUE(model);
    QStringList order; // both written on the model's queue
    const std::shared_ptr<PromptStore> store = storeTellingSaves(*model, QStringLiteral("order"), order);
    const SamplingParams params = shortGreedy();
    const auto run = [&](const std::string& prompt) {
        std::promise<void> ended;
        GenerationSink sink;
        sink.onPiece = [](const QString&) { return true; };
        sink.onFinished = [&] {
            order << QStringLiteral("end");
            ended.set_value();
        };
        GenerationHandle handle = model->generate(prompt, params, std::move(sink));
        ended.get_future().wait();
        model->queue().sync([] {});
    };
    const std::string chatA = words(70, 200).toStdString();
    run(chatA);
    EXPECT_EQ(order, (QStringList{QStringLiteral("end"), QStringLiteral("kept")}));

    // Another prompt, then A's again, longer: its state comes back.
    run(words(71, 50).toStdString());
    chat.log.clear();
    chat.logits.clear();
    const std::string longer = chatA + " " + words(72, 10).toStdString();
    run(longer);
    EXPECT_FALSE(chat.log.taken().filter(QStringLiteral("restored from memory")).isEmpty());
    EXPECT_TRUE(sameUpToRounding(chat.logits, fullDecodeLogits(chat.path, kContext, model->tokenize(longer))));
    store->setOnChange({});
}

// A run asked for the moment the last one ended (an agent's next turn) does
// not wait behind the copy of the last one's state: its prompt takes that
// one's further, so only its own state is kept.
TEST(PromptCacheTest, TheNextTurnSentAtOnceDoesNotWaitForTheLastState)
{
    CachedChat chat;
    const std::shared_ptr<LlamaModel> model = chat.session->model();
    ASSERT_TRUE(model);
    QStringList order; // both written on the model's queue
    const std::shared_ptr<PromptStore> store = storeTellingSaves(*model, QStringLiteral("at-once"), order);
    const SamplingParams params = shortGreedy();
    const std::string first = words(73, 200).toStdString();
    std::promise<void> ended;
    const auto sink = [&](const QString& name, std::function<void()> then) {
        GenerationSink s;
        s.onPiece = [](const QString&) { return true; };
        s.onFinished = [&order, name, then] {
            order << name;
            then();
        };
        return s;
    };
    GenerationHandle next;
    GenerationHandle handle = model->generate(first, params, sink(QStringLiteral("end"), [&] {
        next = model->generate(first + " " + words(74, 20).toStdString(), params,
                               sink(QStringLiteral("next end"), [&] { ended.set_value(); }));
    }));
    ended.get_future().wait();
    model->queue().sync([] {});
    EXPECT_EQ(order, (QStringList{QStringLiteral("end"), QStringLiteral("next end"), QStringLiteral("kept")}));
    store->setOnChange({});
}
