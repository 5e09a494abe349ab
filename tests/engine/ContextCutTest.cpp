#include "engine/LlamaSession.h"
#include "engine/ReplyPrompt.h"

#include "TestModels.h"
#include "models/ModelStore.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>

using namespace cvn;
using namespace cvn::test;
using namespace std::chrono_literals;
using Turn = LlamaSession::Turn;
using Role = ChatMessage::Role;

namespace {

const ChatTemplate kChatML(ChatTemplate::chatML);
const QString kSystem = QStringLiteral("You answer in one short sentence.");

// Words picked by a fixed generator, so every run builds the same chat.
QString filler(uint32_t& state, int words)
{
    static const char* const kWords[] = {"the", "sea", "ships", "sail", "under", "a", "grey", "sky",
                                         "while", "sailors", "sing", "old", "songs", "about", "home", "and"};
    QStringList out;
    for (int i = 0; i < words; ++i) {
        state = state * 1664525u + 1013904223u;
        out << QString::fromLatin1(kWords[(state >> 16) % std::size(kWords)]);
    }
    return out.join(QLatin1Char(' ')) + QLatin1Char('.');
}

// The message a prompt starts with after the system message: the k for
// which it is the system message and sent[k..] rendered, where sent[k] opens
// a turn; -1 when there is none.
qsizetype firstSent(const QString& prompt, const QList<ChatMessage>& sent)
{
    for (qsizetype k = 1; k < sent.size(); ++k) {
        if (k > 1 && sent[k].role != Role::user)
            continue;
        QList<ChatMessage> rendered{sent.front()};
        rendered.append(sent.mid(k));
        if (kChatML.format(rendered) == prompt)
            return k;
    }
    return -1;
}

// One token per character and one to begin with: a tokenizer to count with.
std::vector<int32_t> characters(const QString& text)
{
    std::vector<int32_t> tokens{1};
    for (const QChar c : text)
        tokens.push_back(c.unicode());
    return tokens;
}

// A chat with a system message on a random model of a small context, whose
// replies the user stops after a few tokens. Every prompt, its log lines and
// the logits of its first reply token are kept.
struct LongChat {
    static constexpr int64_t kContext = 1024;
    static constexpr int64_t kBudget = kContext - ReplyPrompt::replyReserve;

    struct Sent {
        QString prompt;
        QList<ChatMessage> messages; // what the reply was made from
        int64_t tokens = -1;
        int64_t kept = -1;
        std::optional<int> leftOut; // when the cut moved
        int64_t replyTokens = 0;
        bool truncated = false;
        std::vector<float> logits;
    };

    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QString path;
    QStringList prompts;
    std::vector<float> logits;
    LogCapture log;
    uint32_t words = 1;

    LongChat()
    {
        folder.addRandom(QStringLiteral("random"), kContext);
        path = folder.path + QStringLiteral("/random.gguf");
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        ModelInfo info = modelNamed(store->models(), QStringLiteral("random"));
        info.contextMode = QStringLiteral("manual");
        info.contextSizeManual = kContext;
        EXPECT_TRUE(finishes(session->loadModel(info)));
        EXPECT_EQ(session->loadedContextSize(), kContext);
        session->setPieceInterval(0ms);
        session->setPromptObserver([this](const QString& p) { prompts << p; });
        LlamaModel::TestHooks hooks;
        hooks.afterPrompt = [this](const float* l, int32_t n) { logits.assign(l, l + n); };
        session->model()->setTestHooks(hooks);
        Turn system;
        system.role = Role::system;
        system.content = kSystem;
        session->replaceTurns({system});
    }

    Sent send(const QString& text) { return reply([&] { return session->send(text); }); }

    Sent reply(const std::function<SessionTask()>& start)
    {
        log.clear();
        prompts.clear();
        SessionTask task = start();
        Sent sent;
        sent.messages = session->buildHistory();
        sent.messages.removeLast(); // the reply's own bubble
        const QMetaObject::Connection stopper = QObject::connect(session.get(), &LlamaSession::turnsChanged, [this] {
            if (!session->turns().last().content.isEmpty() && session->model()->lastRunTokenCount() >= 12)
                session->stop();
        });
        EXPECT_TRUE(finishes(task));
        QObject::disconnect(stopper);
        EXPECT_EQ(prompts.size(), 1);
        sent.prompt = prompts.value(0);
        sent.replyTokens = session->model()->lastRunTokenCount();
        sent.logits = logits;
        static const QRegularExpression promptLine(QStringLiteral("^Prompt: (\\d+) tokens, (\\d+) kept from the last run$"));
        static const QRegularExpression cutLine(QStringLiteral(
            "^Context full: left out the oldest (\\d+) messages, the prompt is now (\\d+) of (\\d+) tokens$"));
        for (const QString& line : log.taken()) {
            if (const auto m = promptLine.match(line); m.hasMatch()) {
                sent.tokens = m.captured(1).toLongLong();
                sent.kept = m.captured(2).toLongLong();
            } else if (const auto m = cutLine.match(line); m.hasMatch()) {
                sent.leftOut = m.captured(1).toInt();
                EXPECT_EQ(m.captured(3).toLongLong(), kBudget);
            } else if (line.startsWith(QLatin1String("Prompt truncated to fit the context"))) {
                sent.truncated = true;
            }
        }
        return sent;
    }

    // The reply is the one a full decode of the same prompt gives, up to
    // floating-point rounding: its first token's logits.
    void expectFullDecodeLogits(const Sent& sent) const
    {
        const std::vector<int32_t> tokens = session->model()->tokenize(sent.prompt.toStdString());
        EXPECT_TRUE(sameUpToRounding(sent.logits, fullDecodeLogits(path, kContext, tokens)));
    }
};

} // namespace

// A conversation that grows well past the context, cut at turns by a
// tokenizer that counts characters: in steps to two thirds of the budget,
// then put while the conversation from the cut fits.
TEST(ReplyPrompt, CutsWholeTurnsInStepsKeepsTheSystemMessageAndStaysPut)
{
    constexpr int64_t context = 1256; // a budget of 1000
    QList<ReplyPrompt::Message> messages{{QUuid::createUuid(), {Role::system, kSystem}}};
    uint32_t state = 1;
    std::optional<QUuid> cut;
    int moves = 0, stays = 0;
    // The prompt's size from message `first` on.
    const auto sizeFrom = [&](qsizetype first) {
        QList<ChatMessage> sent{messages.front().message};
        for (qsizetype i = first; i < messages.size(); ++i)
            sent.append(messages[i].message);
        return int64_t(characters(kChatML.format(sent)).size());
    };
    for (int turn = 0; turn < 40; ++turn) {
        SCOPED_TRACE(turn);
        if (turn > 0)
            messages.append({QUuid::createUuid(), {Role::assistant, filler(state, 8)}});
        messages.append({QUuid::createUuid(), {Role::user, filler(state, 12)}});
        const ReplyPrompt::Made made = ReplyPrompt::make(messages, kChatML, context, cut, characters);
        ASSERT_LE(int64_t(made.tokens.size()), made.budget);
        EXPECT_EQ(made.tokens, characters(made.text));
        QList<ChatMessage> rendered{messages.front().message};
        for (qsizetype i = 1 + made.leftOut; i < messages.size(); ++i)
            rendered.append(messages[i].message);
        EXPECT_EQ(made.text, kChatML.format(rendered));
        if (made.cut) {
            EXPECT_EQ(messages[1 + made.leftOut].id, *made.cut);
            EXPECT_EQ(messages[1 + made.leftOut].message.role, Role::user);
        }
        if (made.cut != cut) {
            ++moves;
            // Only a conversation that outgrew the budget moves the cut: to
            // two thirds of it, and no further.
            const auto old = std::find_if(messages.begin(), messages.end(), [&](auto& m) { return cut && m.id == *cut; });
            EXPECT_GT(sizeFrom(old == messages.end() ? 1 : old - messages.begin()), made.budget);
            EXPECT_LE(int64_t(made.tokens.size()), made.budget * 2 / 3);
            EXPECT_GT(sizeFrom(made.leftOut - 1), made.budget * 2 / 3);
        } else if (cut) {
            ++stays;
        }
        cut = made.cut;
    }
    EXPECT_GE(moves, 3);
    EXPECT_GE(stays, moves);

    // Deleted messages bring the whole chat back within the budget: no cut.
    const QList<ReplyPrompt::Message> shorter{messages.front(), messages.back()};
    EXPECT_EQ(ReplyPrompt::make(shorter, kChatML, context, cut, characters).cut, std::nullopt);

    // The newest message alone is longer than the budget: it keeps its last
    // tokens, and the prompt keeps its start up to that message.
    QList<ReplyPrompt::Message> huge = messages;
    const QString tail = QStringLiteral("the end of it");
    huge.append({QUuid::createUuid(), {Role::assistant, QStringLiteral("Yes.")}});
    huge.append({QUuid::createUuid(), {Role::user, QString(3000, u'x') + tail}});
    const ReplyPrompt::Made cutInside = ReplyPrompt::make(huge, kChatML, context, cut, characters);
    ASSERT_EQ(int64_t(cutInside.tokens.size()), cutInside.budget);
    EXPECT_EQ(cutInside.cut, huge.back().id);
    const QString ending = QStringLiteral("<|im_end|>\n<|im_start|>assistant\n");
    const std::vector<int32_t> head =
        characters(kChatML.format({huge.front().message, {Role::user, QString()}}).chopped(ending.size()));
    const std::vector<int32_t> end = characters(tail + ending);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), cutInside.tokens.begin()));
    EXPECT_TRUE(std::equal(end.begin() + 1, end.end(), cutInside.tokens.end() - std::ptrdiff_t(end.size() - 1)));
}

// A session chat on a random model grows well past its context: every
// prompt is the system message and whole turns up to the newest message;
// after each cut the next replies keep all of the last prompt, and every
// reply is what a full decode gives.
TEST(ContextCut, ALongChatKeepsItsPromptPrefixBetweenCuts)
{
    LongChat chat;
    std::optional<LongChat::Sent> previous;
    qsizetype previousStart = -1;
    int cuts = 0, kept = 0;
    for (int i = 0; i < 18; ++i) {
        SCOPED_TRACE(i);
        const LongChat::Sent sent = chat.send(filler(chat.words, 30));
        const qsizetype start = firstSent(sent.prompt, sent.messages);
        ASSERT_GE(start, 1) << "the prompt is not the system message and whole turns";
        EXPECT_EQ(sent.tokens, int64_t(chat.session->model()->tokenize(sent.prompt.toStdString()).size()));
        EXPECT_LE(sent.tokens, LongChat::kBudget);
        EXPECT_FALSE(sent.truncated);
        if (sent.leftOut) {
            ++cuts;
            EXPECT_EQ(*sent.leftOut, start - 1);
            EXPECT_LE(sent.tokens, LongChat::kBudget * 2 / 3);
            const std::optional<QUuid> seen = chat.session->firstSeenTurnId();
            const auto turn = std::find_if(chat.session->turns().begin(), chat.session->turns().end(),
                                           [&](const Turn& t) { return seen && t.id == *seen; });
            ASSERT_NE(turn, chat.session->turns().end());
            EXPECT_EQ(turn->content, sent.messages[start].content);
        } else if (previous) {
            EXPECT_EQ(start, previousStart) << "the cut moved without a log line";
            // The last prompt, and the reply tokens that still match.
            EXPECT_GE(sent.kept, previous->tokens);
            EXPECT_LE(sent.kept, previous->tokens + previous->replyTokens);
            kept += start > 1 ? 1 : 0;
        }
        chat.expectFullDecodeLogits(sent);
        previous = sent;
        previousStart = start;
    }
    EXPECT_GE(cuts, 2);
    EXPECT_GE(kept, 3);
}

// Past the first cut: an edit after it decodes from the edited message on; a
// delete before it changes nothing that is sent; a message longer than the
// budget is cut inside and still answered.
TEST(ContextCut, EditsAroundTheCutAndOneMessageLongerThanTheBudget)
{
    LongChat chat;
    LongChat::Sent sent;
    for (int i = 0; i < 30 && !sent.leftOut; ++i)
        sent = chat.send(filler(chat.words, 30));
    ASSERT_TRUE(sent.leftOut.has_value());
    const qsizetype start = firstSent(sent.prompt, sent.messages);
    sent = chat.send(filler(chat.words, 30));
    ASSERT_FALSE(sent.leftOut.has_value());

    // The first user message, long before the cut, goes.
    const QList<Turn> turns = chat.session->turns();
    chat.session->deleteTurn(turns[1].id);
    const LongChat::Sent afterDelete = chat.send(filler(chat.words, 30));
    EXPECT_FALSE(afterDelete.leftOut.has_value());
    EXPECT_EQ(firstSent(afterDelete.prompt, afterDelete.messages), start - 1);
    EXPECT_GE(afterDelete.kept, sent.tokens);
    chat.expectFullDecodeLogits(afterDelete);

    // The newest user message, after the cut, is edited.
    const QUuid newest = chat.session->turns()[chat.session->turns().size() - 2].id;
    const LongChat::Sent edited = chat.reply([&] { return chat.session->resend(newest, filler(chat.words, 30)); });
    EXPECT_FALSE(edited.leftOut.has_value());
    const std::vector<int32_t> before = chat.session->model()->tokenize(afterDelete.prompt.toStdString());
    const std::vector<int32_t> after = chat.session->model()->tokenize(edited.prompt.toStdString());
    const auto same = std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first - before.begin();
    EXPECT_EQ(edited.kept, same);
    EXPECT_GT(edited.kept, afterDelete.tokens / 2);
    chat.expectFullDecodeLogits(edited);

    const LongChat::Sent huge = chat.send(filler(chat.words, 1500));
    EXPECT_TRUE(huge.truncated);
    EXPECT_EQ(huge.tokens, LongChat::kBudget);
    EXPECT_TRUE(chat.session->turns().last().state.isComplete());
    EXPECT_FALSE(chat.session->turns().last().content.isEmpty());
    EXPECT_EQ(chat.session->firstSeenTurnId(), chat.session->turns()[chat.session->turns().size() - 2].id);
}

// A council round past both members' contexts: each member's prompt is cut
// by its own context, and the next round keeps each member's own cut.
TEST(ContextCut, EachCouncilMemberKeepsItsOwnCut)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("small"), {{kPromptEnd, "▁Hello", "</s>"}});
    folder.add(QStringLiteral("large"), {{kPromptEnd, "▁world", "</s>"}});
    ModelStore store(folder.path);
    LlamaSession session(&store);
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    const auto member = [&](const QString& name, int64_t context) {
        ModelInfo info = modelNamed(store.models(), name);
        info.contextMode = QStringLiteral("manual");
        info.contextSizeManual = context;
        return info;
    };
    const QList<ModelInfo> members{member(QStringLiteral("small"), 512), member(QStringLiteral("large"), 1024)};

    QList<Turn> stored(1);
    stored[0].role = Role::system;
    stored[0].content = kSystem;
    uint32_t words = 1;
    for (int i = 0; i < 32; ++i) {
        Turn turn;
        turn.role = i % 2 == 0 ? Role::user : Role::assistant;
        turn.content = filler(words, 30);
        stored << turn;
    }
    session.replaceTurns(stored);

    LogCapture log;
    QList<QList<ChatMessage>> sent;
    for (int round = 0; round < 2; ++round) {
        const QString question = filler(words, 30);
        SessionTask task = session.sendCouncil(question, question, members, {});
        sent << session.buildHistory();
        ASSERT_TRUE(finishes(task));
        const QList<Turn>& turns = session.turns();
        ASSERT_GE(turns.size(), 2);
        EXPECT_EQ(turns[turns.size() - 2].content, QStringLiteral(" Hello"));
        EXPECT_EQ(turns.last().content, QStringLiteral(" world"));
    }
    ASSERT_EQ(prompts.size(), 4);
    const qsizetype small = firstSent(prompts[0], sent[0]);
    const qsizetype large = firstSent(prompts[1], sent[0]);
    EXPECT_GT(large, 1);
    EXPECT_GT(small, large);
    EXPECT_EQ(firstSent(prompts[2], sent[1]), small);
    EXPECT_EQ(firstSent(prompts[3], sent[1]), large);
    EXPECT_EQ(log.taken().filter(QStringLiteral("Context full: ")).size(), 2);
}

namespace {

// 20,000 short messages after a system message, far past a budget of 1000.
QList<ReplyPrompt::Message> manyMessages()
{
    QList<ReplyPrompt::Message> messages{{QUuid::createUuid(), {Role::system, kSystem}}};
    uint32_t state = 7;
    for (int i = 0; i < 20000; ++i)
        messages.append({QUuid::createUuid(), {i % 2 == 0 ? Role::user : Role::assistant, filler(state, 10)}});
    return messages;
}

} // namespace

// A conversation many times the context is cut as a short one is, and the
// tokenizer reads about the context's worth of text, not the conversation
// (which a tokenizer's cost on it would grow with the square of).
TEST(ReplyPrompt, AConversationFarPastTheContextCostsAboutTheContext)
{
    constexpr int64_t context = 1256;
    const QList<ReplyPrompt::Message> messages = manyMessages();
    int64_t read = 0;
    const ReplyPrompt::Made made = ReplyPrompt::make(messages, kChatML, context, std::nullopt, [&](const QString& text) {
        read += text.size();
        return characters(text);
    });
    EXPECT_EQ(made.tokens, characters(made.text));
    EXPECT_LE(int64_t(made.tokens.size()), made.budget * 2 / 3);
    ASSERT_GE(made.leftOut, 2);
    ASSERT_TRUE(made.cut);
    EXPECT_EQ(messages[1 + made.leftOut].id, *made.cut);
    QList<ChatMessage> earlier{messages.front().message};
    for (qsizetype i = made.leftOut - 1; i < messages.size(); ++i)
        earlier.append(messages[i].message);
    EXPECT_GT(int64_t(characters(kChatML.format(earlier)).size()), made.budget * 2 / 3);
    EXPECT_LT(read, 40 * made.budget);
}

// A stop is heard between tokenizer calls: nothing more is read, nothing made.
TEST(ReplyPrompt, AStopEndsTheMakingAtOnce)
{
    int calls = 0;
    const ReplyPrompt::Made made = ReplyPrompt::make(
        manyMessages(), kChatML, 1256, std::nullopt,
        [&](const QString& text) {
            ++calls;
            return characters(text);
        },
        [&] { return calls >= 3; });
    EXPECT_TRUE(made.stopped);
    EXPECT_TRUE(made.tokens.empty());
    EXPECT_EQ(calls, 3);
}
