#include "chat/SendController.h"

#include "FakeSession.h"
#include "attachments/AttachmentStager.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace cvn;
using cvn::test::FakeSession;

namespace {

ModelInfo model(const QString& name)
{
    ModelInfo info;
    info.displayName = name;
    return info;
}

// Files as token counts; composing writes one block per file ahead of the
// text, or nothing when `composeFails`.
struct FakeStager : SendController::Stager {
    QList<int64_t> files;
    bool composeFails = false;
    QList<int64_t> composedWith;
    int images = 0; // of the files, how many are images
    int64_t positions = 0;

    bool hasFiles() const override { return !files.isEmpty(); }
    int64_t totalApproxTokens() const override
    {
        int64_t sum = images * positions;
        for (int64_t t : files)
            sum += t;
        return sum;
    }
    void setImagePositions(int64_t p) override { positions = p; }
    std::optional<Composed> compose(const QString& text, int64_t context, bool) const override
    {
        const_cast<FakeStager*>(this)->composedWith.append(context);
        if (composeFails)
            return std::nullopt;
        QString head;
        for (int i = 0; i < files.size(); ++i)
            head += QStringLiteral("[Attached file: f%1]\n...\n[End file]\n\n").arg(i);
        return Composed{head + (text.isEmpty() ? QStringLiteral("Please analyze the attached files.") : text), {}};
    }
    void clear() override { files.clear(); }
};

// Mentions are "@" and a word; a word that is a model's name resolves.
struct FakeMentions : SendController::Mentions {
    // The words of `text` that are mentions resolving (or not) to a model.
    static QStringList words(const QString& text, const QList<ModelInfo>& models, bool resolved)
    {
        QStringList out;
        for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
            const bool known = std::any_of(models.begin(), models.end(),
                                           [&](const ModelInfo& m) { return u'@' + m.displayName == word; });
            if (word.startsWith(u'@') && known == resolved)
                out.append(word.mid(1));
        }
        return out;
    }
    QList<ModelInfo> mentionedModels(const QString& text, const QList<ModelInfo>& models) const override
    {
        QList<ModelInfo> out;
        for (const QString& name : words(text, models, true))
            out.append(*std::find_if(models.begin(), models.end(),
                                     [&](const ModelInfo& m) { return m.displayName == name; }));
        return out;
    }
    QStringList unresolvedTokens(const QString& text, const QList<ModelInfo>& models) const override
    {
        return words(text, models, false);
    }
    QString notFoundMessage(const QString& token, const QList<ModelInfo>& models) const override
    {
        QStringList names;
        for (const ModelInfo& m : models)
            names.append(m.displayName);
        return QStringLiteral("Model @%1 not found. Available: %2").arg(token, names.join(QStringLiteral(", ")));
    }
    QString stripMentions(const QString& text, const QList<ModelInfo>& models) const override
    {
        QString out = text;
        for (const QString& name : words(text, models, true))
            out.replace(u'@' + name, QString());
        return out.simplified();
    }
};

// prepareModel answers only when the test says so.
struct FakePlanner : SendController::Planner {
    QList<std::function<void(bool)>> waiting;
    int64_t council = 16384;
    int marked = 0;

    void prepareModel(std::function<void(bool)> done) override { waiting.append(std::move(done)); }
    int64_t councilContext(const ModelInfo&) const override { return council; }
    void markCouncil() override { ++marked; }
    void answer(bool ready) { waiting.takeFirst()(ready); }
};

class SendControllerTest : public ::testing::Test {
protected:
    SendControllerTest()
    {
        road.setModels({model(QStringLiteral("A")), model(QStringLiteral("B"))});
        road.setContextSize(8192);
        QObject::connect(&road, &SendController::restoreText, [this](const QString& t) { restored.append(t); });
        QObject::connect(&road, &SendController::toast,
                         [this](const QString& t, ToastKind k) { toasts.append({t, k}); });
    }
    // A plain send answered at once by the planner.
    void sendReady(const QString& text)
    {
        road.send(text);
        ASSERT_EQ(planner.waiting.size(), 1);
        planner.answer(true);
    }

    FakeSession session;
    FakeStager stager;
    FakeMentions mentions;
    FakePlanner planner;
    SendController road{session, stager, mentions, planner};
    QStringList restored;
    QList<QPair<QString, ToastKind>> toasts;
};

} // namespace

TEST_F(SendControllerTest, BlankTextSendsOnlyWithStagedFiles)
{
    road.send(QStringLiteral("  \n\t "));
    EXPECT_TRUE(planner.waiting.isEmpty());
    EXPECT_TRUE(session.calls.isEmpty());

    stager.files = {10};
    sendReady(QStringLiteral("   "));
    ASSERT_EQ(session.calls.size(), 1);
    EXPECT_TRUE(session.calls[0].startsWith(QStringLiteral("send [Attached file: f0]")));
    EXPECT_TRUE(session.calls[0].endsWith(QStringLiteral("Please analyze the attached files.")));
    EXPECT_FALSE(stager.hasFiles());
}

TEST_F(SendControllerTest, PlainSendWaitsForTheModelAndGivesTheTextBackWhenItFails)
{
    road.setCouncilOn(true); // no "@": the single-model road
    road.send(QStringLiteral("  hello  "));
    EXPECT_TRUE(session.calls.isEmpty());
    EXPECT_TRUE(road.sendPending());
    planner.answer(false);
    EXPECT_TRUE(session.calls.isEmpty());
    EXPECT_EQ(restored, QStringList{QStringLiteral("hello")});
    EXPECT_FALSE(road.sendPending());

    sendReady(QStringLiteral("hello"));
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send hello")});
}

TEST_F(SendControllerTest, SendIsANoOpWhileStreamingOrWhileAnEarlierSendWaits)
{
    session.streaming = true;
    EXPECT_TRUE(road.blocksSend());
    road.send(QStringLiteral("first"));
    EXPECT_TRUE(planner.waiting.isEmpty());

    session.streaming = false;
    road.send(QStringLiteral("first"));
    EXPECT_TRUE(road.blocksSend());
    road.send(QStringLiteral("second")); // while "first" waits
    ASSERT_EQ(planner.waiting.size(), 1);
    planner.answer(true);
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send first")});
    EXPECT_FALSE(road.blocksSend());
}

TEST_F(SendControllerTest, ContextCheckHoldsBackOnlyPastTheReserve)
{
    // P = 300 / 3 = 100; 7836 + 100 <= 8192 - 256 fits, 7837 + 100 does not.
    const QString text(300, u'x');
    EXPECT_EQ(SendController::overflow(true, 7836, text, 8192), std::nullopt);
    EXPECT_EQ(SendController::overflow(true, 7837, text, 8192), (ContextWarning{8192, 7837, 100}));
    EXPECT_EQ(SendController::overflow(true, 0, text, 8192), std::nullopt); // still reading
    EXPECT_EQ(SendController::overflow(false, 9000, text, 8192), std::nullopt);
    // Emoji count by their width, as tokenizers write them: four tokens for
    // each person of a family, two for each joiner.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    EXPECT_EQ(SendController::overflow(true, 7936, family + family + family, 8192)->promptTokens, 48);

    stager.files = {7836};
    sendReady(text);
    EXPECT_EQ(session.calls.size(), 1);
    EXPECT_FALSE(road.oversize());
}

TEST_F(SendControllerTest, AnImageCountsThePositionsOfTheModelThatSeesItAndNothingElse)
{
    // A photo in which recognition found no text: for a model that reads
    // text it adds nothing; for one that sees it, its projector's positions.
    session.positionsPerImage = 8000;
    stager.files = {0};
    stager.images = 1;
    sendReady(QStringLiteral("What is this?"));
    EXPECT_FALSE(road.oversize());
    EXPECT_EQ(session.calls.size(), 1);

    session.chatSeesImages = true;
    stager.files = {0};
    sendReady(QStringLiteral("What is this?"));
    EXPECT_TRUE(road.oversize());
    EXPECT_EQ(session.calls.size(), 1);
}

TEST_F(SendControllerTest, WarningSendsAnywayOrGivesTheTextBackKeepingTheFiles)
{
    const QString text(300, u'x');
    stager.files = {7837};
    sendReady(text);
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{8192, 7837, 100}));
    EXPECT_TRUE(session.calls.isEmpty());

    road.dismissWarning();
    EXPECT_FALSE(road.oversize());
    EXPECT_TRUE(stager.hasFiles());
    EXPECT_EQ(restored, QStringList{text});
    EXPECT_TRUE(session.calls.isEmpty());

    session.loadedContext = 4096; // composition uses the loaded context
    sendReady(text);
    bool clearedFirst = false;
    QObject::connect(&road, &SendController::oversizeChanged, [&] { clearedFirst = !road.oversize(); });
    road.sendAfterWarning();
    EXPECT_TRUE(clearedFirst);
    EXPECT_EQ(session.calls.size(), 1);
    EXPECT_EQ(stager.composedWith, QList<int64_t>{4096});
    EXPECT_FALSE(stager.hasFiles());
}

// Typed text is estimated as attachments are (characters / 3) and held back
// by the same rule, alone or together with the files, before anything goes
// to the session.
TEST_F(SendControllerTest, TypedTextOverTheContextIsHeldBackUntilTheUserChooses)
{
    // The usable context is 8192 - 256 = 7936 tokens, 23,808 characters.
    const QString fits(7936 * 3 + 2, u'x');
    const QString over(7937 * 3, u'y');
    EXPECT_EQ(SendController::overflow(false, 0, fits, 8192), std::nullopt);
    EXPECT_EQ(SendController::overflow(false, 0, over, 8192), (ContextWarning{8192, 0, 7937}));
    EXPECT_EQ(SendController::overflow(true, 0, over, 8192), (ContextWarning{8192, 0, 7937})); // still reading
    EXPECT_EQ(SendController::overflow(false, 0, over, 0), std::nullopt); // no context to check against

    sendReady(fits);
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send ") + fits});
    EXPECT_FALSE(road.oversize());

    session.calls.clear();
    sendReady(over);
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{8192, 0, 7937}));
    EXPECT_TRUE(session.calls.isEmpty());
    road.dismissWarning();
    EXPECT_EQ(restored, QStringList{over});
    EXPECT_TRUE(session.calls.isEmpty());

    sendReady(over);
    road.sendAfterWarning();
    EXPECT_FALSE(road.oversize());
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send ") + over});

    // Text and files together: each fits alone, not both.
    session.calls.clear();
    stager.files = {3000};
    sendReady(QString(4937 * 3, u'z'));
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{8192, 3000, 4937}));
    EXPECT_TRUE(session.calls.isEmpty());
    EXPECT_TRUE(stager.hasFiles());
}

// Instructions so long that no room is left for a reply get the same
// warning before the send, counted with the typed text.
TEST_F(SendControllerTest, LongInstructionsAreHeldBackWithTheMessage)
{
    road.setContextSize(8192);
    session.instructions = QString(7936 * 3, u'i');
    sendReady(QStringLiteral("Hi"));
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{8192, 0, 7937}));
    EXPECT_TRUE(session.calls.isEmpty());
    road.sendAfterWarning();
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send Hi")}) << "they go with the reply, not the turn";
}

// The loaded model's tokenizer decides, not the estimate: text with more
// tokens than it looks is held back, and text with fewer goes out. The send
// waits for the count.
TEST_F(SendControllerTest, TheLoadedModelsCountDecidesTheWarning)
{
    road.setContextSize(4096); // 3,840 tokens for input
    session.countedTokens = 3841;
    sendReady(QString(3000, u'x')); // estimated at 1,000
    EXPECT_TRUE(road.blocksSend());
    EXPECT_FALSE(road.oversize());
    ASSERT_EQ(session.counting.size(), 1);
    session.counting.takeFirst()();
    EXPECT_FALSE(road.blocksSend());
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{4096, 0, 3841}));
    road.dismissWarning();

    session.countedTokens = 3840;
    sendReady(QString(12000, u'x')); // estimated at 4,000
    session.counting.takeFirst()();
    EXPECT_FALSE(road.oversize());
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send ") + QString(12000, u'x')});
}

TEST_F(SendControllerTest, FailedCompositionKeepsTheFilesAndSendsNothing)
{
    stager.files = {5};
    stager.composeFails = true;
    sendReady(QStringLiteral("hi"));
    EXPECT_EQ(stager.composedWith, QList<int64_t>{8192}); // no model loaded: the page's context
    EXPECT_TRUE(session.calls.isEmpty());
    EXPECT_TRUE(stager.hasFiles());
}

TEST_F(SendControllerTest, CouncilRoad)
{
    road.setCouncilOn(true);
    road.setModels({model(QStringLiteral("A"))});
    stager.files = {5};

    road.send(QStringLiteral("@nope hello"));
    EXPECT_EQ(session.calls,
              QStringList{QStringLiteral("appendUserTurn [@nope hello] [Model @nope not found. Available: A]")});
    EXPECT_TRUE(stager.hasFiles());

    session.calls.clear();
    road.send(QStringLiteral("@A"));
    EXPECT_TRUE(road.emptyQuestionOpen());
    EXPECT_TRUE(session.calls.isEmpty());
    road.dismissEmptyQuestion();
    EXPECT_FALSE(road.emptyQuestionOpen());

    // The council's planned context, not the page's; the shown text keeps the
    // files' blocks and the mentions; the model gets no mentions.
    road.send(QStringLiteral("@A why @zz"));
    EXPECT_TRUE(planner.waiting.isEmpty());
    EXPECT_EQ(stager.composedWith, QList<int64_t>{16384});
    EXPECT_EQ(planner.marked, 1);
    const QString head = QStringLiteral("[Attached file: f0]\n...\n[End file]\n\n");
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("council [%1@A why @zz] [%1why @zz] [A] [Model @zz not "
                                                        "found. Available: A]")
                                             .arg(head)});
    EXPECT_FALSE(stager.hasFiles());
}

TEST_F(SendControllerTest, CouncilWarningUsesTheQuestionAndThePlannedContext)
{
    road.setCouncilOn(true);
    planner.council = 4096;
    stager.files = {3741};
    road.send(QStringLiteral("@B ") + QString(300, u'q'));
    ASSERT_TRUE(road.oversize());
    EXPECT_EQ(road.oversize()->warning, (ContextWarning{4096, 3741, 100}));
    road.sendAfterWarning();
    EXPECT_EQ(planner.marked, 1);
    EXPECT_EQ(session.calls.size(), 1);
}

TEST_F(SendControllerTest, StopShowsTheToastAndStopsOnceEvenWhenIdle)
{
    road.stop();
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("stop")});
    ASSERT_EQ(toasts.size(), 1);
    EXPECT_EQ(toasts[0].first, QStringLiteral("Cancelling — waiting for model to yield..."));
    EXPECT_EQ(toasts[0].second, ToastKind::info);
}

// The staged images go with the message. A model that sees images is shown
// one with no text in it too; one that does not gets, as ever, the toast and
// the text alone. An image's text stays in the message either way.
TEST_F(SendControllerTest, StagedImagesGoWithTheMessageAndOneWithoutTextOnlyToAModelThatSeesImages)
{
    QTemporaryDir dir;
    const auto file = [&](const QString& name, const QByteArray& data, const QString& text) {
        QFile out(dir.filePath(name));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly) && out.write(data) == data.size());
        return StagedAttachment{QUuid::createUuid(), QUrl::fromLocalFile(out.fileName()), name, true,
                                data.size(), text, true, 10};
    };
    AttachmentStager staged;
    QStringList stagerToasts;
    staged.setOnToast([&](const QString& t, ToastKind) { stagerToasts.append(t); });
    StagerAdapter adapter(&staged);
    SendController real(session, adapter, mentions, planner);
    real.setContextSize(8192);
    const QList<StagedAttachment> files{file(QStringLiteral("photo.png"), "PHOTO", QString()),
                                        file(QStringLiteral("sign.png"), "SIGN", QStringLiteral("STOP"))};
    const QString signBlock = QStringLiteral("[Attached file: sign.png]\nSTOP\n[End file]\n\n");

    staged.setStaged(files);
    real.send(QStringLiteral("What is this?"));
    planner.answer(true);
    EXPECT_EQ(stagerToasts,
              QStringList{QStringLiteral("No text found in image photo.png — nothing to send to model")});
    EXPECT_EQ(session.calls.value(0), QStringLiteral("send ") + signBlock + QStringLiteral("What is this? +images[sign.png]"));
    EXPECT_EQ(session.sentImages.value(0).data, QByteArray("SIGN"));

    session.chatSeesImages = true;
    stagerToasts.clear();
    staged.setStaged(files);
    real.send(QString());
    planner.answer(true);
    EXPECT_TRUE(stagerToasts.isEmpty());
    EXPECT_EQ(session.calls.value(1), QStringLiteral("send ") + signBlock
                                          + QStringLiteral("Please analyze the attached files. +images[photo.png,sign.png]"));
    EXPECT_EQ(session.sentImages.value(0), (ChatImage{QStringLiteral("photo.png"), "PHOTO"}));
    EXPECT_TRUE(staged.staged().isEmpty());

    // A council shows them when one of its members sees images.
    session.seeingMembers = {QStringLiteral("B")};
    road.setCouncilOn(false);
    real.setCouncilOn(true);
    real.setModels({model(QStringLiteral("A")), model(QStringLiteral("B"))});
    staged.setStaged(files.mid(0, 1));
    real.send(QStringLiteral("@A @B Hm"));
    EXPECT_TRUE(session.calls.value(2).endsWith(QStringLiteral("[A,B] [] +images[photo.png]"))) << session.calls.value(2).toStdString();
}
