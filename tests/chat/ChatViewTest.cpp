#include "chat/ChatView.h"

#include "FakeSession.h"
#include "attachments/AttachmentStager.h"
#include "attachments/views/StagedStrip.h"
#include "chat/shared/AppSignals.h"
#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/transcript/ChatScrollController.h"
#include "chat/transcript/ContextDivider.h"
#include "chat/transcript/EditMessageDialog.h"
#include "chat/shared/EmptyState.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/NoticeLine.h"
#include "rendering/MarkdownText.h"
#include "rendering/ViewTest.h"
#include "chat/shared/Toasts.h"
#include "chat/transcript/TranscriptColumn.h"
#include "models/MemoryEstimates.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "storage/ChatHistory.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "attachments/views/AttachmentTile.h"
#include "ui_kit/Theme.h"
#include "support/WriteFailure.h"
#include "ui_kit/ContextWarningDialog.h"
#include "ui_kit/CouncilIntroDialog.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QClipboard>
#include <QClipboard>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTest>

using namespace cvn;
using cvn::test::FakeSession;
using cvn::test::makeTurn;
using Turn = LlamaSession::Turn;

namespace {

StagedAttachment stagedFile(int64_t tokens)
{
    StagedAttachment file;
    file.id = QUuid::createUuid();
    file.originalFilename = QStringLiteral("big.txt");
    file.extracted = tokens > 0;
    file.extractedText = QStringLiteral("text");
    file.approxTokens = tokens;
    return file;
}

class ChatViewTest : public cvn::test::KitTest {
protected:
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::remove(ChatView::introShownKey);
        view = std::make_unique<ChatView>(&session, &stager, nullptr);
        view->resize(1280, 800);
        cvn::test::showAndSettle(*view);
    }
    void settle() { QApplication::processEvents(); }
    // Events, then until the page's own scrolling is done: a new question
    // glides into place and lands 400 ms later, and until then the follower
    // moves the view on its own.
    void settleScrolling()
    {
        settle();
        ChatScrollController* scroller = view->scroller();
        ASSERT_TRUE(cvn::test::waitUntil([scroller] {
            return !scroller->isAnimating() && !scroller->follower().anchoring() && !scroller->readingGapAnimation();
        }));
        settle(); // the follow step the landing asks for
    }
    std::optional<QString> toast() const { return view->toasts()->message(); }
    MessageBubble* bubble(int row) const { return view->transcript()->bubble(row); }

    FakeSession session;
    AttachmentStager stager;
    std::unique_ptr<ChatView> view;
};

} // namespace

TEST_F(ChatViewTest, EmptyStateAndScrollButtonRules)
{
    EXPECT_TRUE(view->emptyState()->isVisible());
    using M = ChatView::ScrollMetrics;
    EXPECT_FALSE(ChatView::showsScrollButton(false, false, M{0, 5000, 800}));
    EXPECT_TRUE(ChatView::showsScrollButton(true, false, M{0, 801, 800}));
    EXPECT_FALSE(ChatView::showsScrollButton(true, false, M{0, 800, 800}));
    EXPECT_FALSE(ChatView::showsScrollButton(true, true, M{0, 5000, 800}));

    session.setTurns({makeTurn(ChatMessage::Role::user, QStringLiteral("hi"))});
    settle();
    EXPECT_FALSE(view->emptyState()->isVisible());
    EXPECT_EQ(view->transcript()->rowCount(), 1);
}

TEST_F(ChatViewTest, LayersSitWhereTheLayoutPutsThem)
{
    EXPECT_EQ(ChatView::councilPadding(1037), 143);
    EXPECT_EQ(ChatView::councilPadding(1039), 144);
    view->resize(1039, 700);
    EXPECT_EQ(view->councilRow()->pos(), QPoint(144, 35));
    EXPECT_EQ(view->historyButton()->pos(), QPoint(21, 18));
    EXPECT_EQ(view->newChatButton()->x(), view->historyButton()->geometry().right());
    EXPECT_EQ(view->historyButton()->toolTip(), QStringLiteral("History"));
    EXPECT_EQ(view->newChatButton()->accessibleName(), QStringLiteral("New chat"));
    // The composer at the bottom centre, the transcript column centred below the band.
    EXPECT_EQ(view->composer()->geometry().bottom(), 700 - 70 - 1);
    EXPECT_EQ(view->composer()->x(), (1039 - 797) / 2);
    session.setTurns({makeTurn(ChatMessage::Role::user, QStringLiteral("hi"))});
    settle();
    EXPECT_EQ(bubble(0)->mapTo(view.get(), QPoint()), QPoint((1039 - 797) / 2, 70 + 16));
}

TEST_F(ChatViewTest, CouncilSwitchIsDimmedAndDeafWhileStreamingAndIntroducesItselfOnce)
{
    QList<bool> written;
    view->onCouncilChange = [&](bool on) { written.append(on); };
    session.setStreaming(true);
    EXPECT_EQ(view->councilDimming()->opacity(), 0.4);
    QTest::mouseClick(view->councilToggle(), Qt::LeftButton);
    EXPECT_TRUE(written.isEmpty());

    session.setStreaming(false);
    EXPECT_EQ(view->councilDimming()->opacity(), 1.0);
    QTest::mouseClick(view->councilToggle(), Qt::LeftButton);
    EXPECT_EQ(written, QList<bool>{true});
    ASSERT_EQ(view->openDialogs().size(), 1);
    auto* intro = qobject_cast<CouncilIntroDialog*>(view->openDialogs().first());
    ASSERT_NE(intro, nullptr);
    EXPECT_TRUE(AppSettings::boolValue(ChatView::introShownKey));
    intro->understandButton()->click();
    EXPECT_FALSE(view->councilIntroOpen());

    view->setCouncil(false);
    view->setCouncil(true);
    EXPECT_FALSE(view->councilIntroOpen());
    EXPECT_EQ(written, (QList<bool>{true, false, true}));
}

TEST_F(ChatViewTest, TailMarkerAndAnchors)
{
    view->setComposerHeight(200);
    EXPECT_EQ(view->transcript()->tailHeight(), 200);
    stager.setStaged({stagedFile(0)});
    EXPECT_EQ(view->transcript()->tailHeight(), 200 + StagedStrip::stripHeight(stager));
    EXPECT_GT(StagedStrip::stripHeight(stager), 0);

    const QList<Turn> turns = {makeTurn(ChatMessage::Role::user, QStringLiteral("q")),
                               makeTurn(ChatMessage::Role::assistant, QStringLiteral("a")),
                               makeTurn(ChatMessage::Role::user, QStringLiteral("q2"))};
    QList<int> tails;
    QObject::connect(view.get(), &ChatView::tailTopChanged, [&](int top) { tails.append(top); });
    session.setTurns(turns);
    settle();
    EXPECT_EQ(view->anchorY(turns[0].id), 16);
    EXPECT_EQ(view->anchorY(turns[1].id), std::nullopt);
    EXPECT_EQ(view->anchorY(turns[2].id), 16 + bubble(0)->height() + bubble(1)->height());
    ASSERT_FALSE(tails.isEmpty());
    EXPECT_EQ(tails.last(), view->tailTop());
    EXPECT_EQ(view->tailTop(), *view->anchorY(turns[2].id) + bubble(2)->height());
}

// Where the model's view begins: a divider above the first message that the
// last reply's model saw, which moves with the cut and goes once the model
// sees the whole chat again, or once that message is gone.
TEST_F(ChatViewTest, DividerSitsAboveTheFirstMessageSeenAndFollowsTheCut)
{
    QList<Turn> turns;
    for (int i = 0; i < 8; ++i)
        turns << makeTurn(i % 2 ? ChatMessage::Role::assistant : ChatMessage::Role::user, QStringLiteral("m%1").arg(i));
    session.setTurns(turns);
    settleScrolling();
    TranscriptColumn* column = view->transcript();
    EXPECT_EQ(column->divider(), nullptr);
    int tail = column->tailTop();
    const auto expectAbove = [&](int row) {
        const ContextDivider* divider = column->divider();
        ASSERT_NE(divider, nullptr);
        EXPECT_EQ(divider->accessibleName(), QStringLiteral("The model no longer sees the messages above"));
        EXPECT_GE(divider->textRect().width(), QFontMetricsF(Theme::interRegular13()).horizontalAdvance(
                                                   ContextDivider::text())); // nothing elided
        EXPECT_EQ(divider->parentWidget(), column); // it scrolls with the rows
        EXPECT_EQ(divider->geometry(), QRect(column->columnX(), column->rowTop(row - 1) + column->rowHeight(row - 1),
                                             MessageBubble::columnWidth, ContextDivider::rowHeight));
        EXPECT_EQ(column->rowTop(row), divider->geometry().bottom() + 1);
        if (const MessageBubble* below = bubble(row)) { // none far from what shows
            EXPECT_EQ(below->mapTo(column, QPoint()).y(), column->rowTop(row));
        }
        EXPECT_EQ(column->tailTop(), tail + ContextDivider::rowHeight);
    };
    session.setFirstSeen(turns[2].id);
    settleScrolling();
    expectAbove(2);
    session.setFirstSeen(turns[6].id);
    settleScrolling();
    expectAbove(6);
    EXPECT_EQ(column->rowTop(2), column->rowTop(1) + column->rowHeight(1));

    session.setFirstSeen(std::nullopt);
    settleScrolling();
    EXPECT_EQ(column->divider(), nullptr);
    EXPECT_EQ(column->tailTop(), tail);

    session.setFirstSeen(turns[4].id);
    settleScrolling();
    expectAbove(4);
    turns.removeAt(4);
    session.setTurns(turns);
    settleScrolling();
    EXPECT_EQ(column->divider(), nullptr);

    // Read further down, the divider coming above what shows moves nothing
    // on screen.
    for (int i = 0; i < 40; ++i)
        turns << makeTurn(i % 2 ? ChatMessage::Role::assistant : ChatMessage::Role::user, QStringLiteral("n%1").arg(i));
    session.setTurns(turns);
    settleScrolling();
    // The user drags the bar up, which stops the following.
    QScrollBar* bar = view->scrollArea()->verticalScrollBar();
    bar->setSliderPosition(column->rowTop(20));
    settle();
    ASSERT_FALSE(view->scroller()->follower().autoFollow());
    const QPoint shown = bubble(22)->mapTo(view.get(), QPoint());
    tail = column->tailTop();
    session.setFirstSeen(turns[3].id);
    settle();
    expectAbove(3);
    EXPECT_EQ(bubble(22)->mapTo(view.get(), QPoint()), shown);
}

TEST_F(ChatViewTest, StreamedChangesAreAppliedOncePerPassKeepingTheBubbles)
{
    QList<Turn> turns = {makeTurn(ChatMessage::Role::user, QStringLiteral("q")),
                         makeTurn(ChatMessage::Role::assistant, {}, Turn::State::streaming())};
    session.setTurns(turns);
    settle();
    MessageBubble* reply = bubble(1);
    const int before = view->transcript()->relayouts();
    for (int i = 0; i < 20; ++i) {
        turns[1].content += QStringLiteral("word%1 ").arg(i);
        if (i % 5 == 4)
            turns[1].content += QStringLiteral("\n\n");
        session.setTurns(turns);
    }
    settle();
    EXPECT_LE(view->transcript()->relayouts() - before, 1);
    EXPECT_EQ(bubble(1), reply);
    EXPECT_EQ(reply->turn().content, turns[1].content);
}

TEST_F(ChatViewTest, ToastsFromTheHubTheNotificationAndTheStager)
{
    const QList<std::pair<QVariantMap, std::optional<QString>>> cases = {
        {{{QStringLiteral("message"), QStringLiteral("Imported")}}, QStringLiteral("Imported")},
        {{{QStringLiteral("message"), 5}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [info, expected] : cases) {
        view = std::make_unique<ChatView>(&session, &stager, nullptr);
        view->showToastNotification(info);
        EXPECT_EQ(toast(), expected);
        EXPECT_EQ(view->toasts()->kind(), ToastKind::info); // also the kind of no toast
    }
    emit AppSignals::instance().showToast(QStringLiteral("From a link"));
    EXPECT_EQ(toast(), QStringLiteral("From a link"));

    cvn::test::showAndSettle(*view);
    stager.stage(QUrl::fromLocalFile(QStringLiteral("/nonexistent/archive.exe")));
    ASSERT_TRUE(toast());
    EXPECT_EQ(view->toasts()->kind(), ToastKind::error);

    // The toast rests 130 above the bottom, or just above the staged files
    // when they show: a refused sixth file's message is never drawn under
    // the five chips.
    const auto toastBottom = [&] {
        auto* toastView = view->findChild<ToastView*>();
        return toastView->mapTo(view.get(), toastView->boxRect().bottomLeft()).y() + 1;
    };
    stager.clear();
    view->resize(1280, 800);
    settle();
    view->toasts()->show(QStringLiteral("Plain"), ToastKind::info);
    const int chatBottom = view->composer()->mapTo(view.get(), view->composer()->rect().bottomLeft()).y() + 1;
    EXPECT_EQ(toastBottom(), chatBottom - ToastView::gapBelow);
    QList<StagedAttachment> five;
    for (int i = 0; i < 5; ++i)
        five.append(stagedFile(10));
    stager.setStaged(five);
    settle();
    stager.stage(QUrl::fromLocalFile(QStringLiteral("/nonexistent/sixth.txt")));
    EXPECT_EQ(toast(), QStringLiteral("Maximum 5 attachments per message"));
    ASSERT_TRUE(view->stagedStrip()->isVisible());
    const int stripTop = view->stagedStrip()->mapTo(view.get(), QPoint(0, 0)).y();
    EXPECT_LE(toastBottom(), stripTop);
    EXPECT_GE(toastBottom(), stripTop - ChatView::composerSpacing);
    stager.clear();

    // A page that replaces this one takes the stager's toasts; the old page
    // going away afterwards must not silence the new one.
    auto next = std::make_unique<ChatView>(&session, &stager, nullptr);
    cvn::test::showAndSettle(*next);
    view.reset();
    stager.stage(QUrl::fromLocalFile(QStringLiteral("/nonexistent/scan.tiff")));
    EXPECT_EQ(next->toasts()->message(), QStringLiteral("Format not supported: scan.tiff"));

    // The stager outlives the page: its toasts must not reach a dead one.
    next.reset();
    stager.stage(QUrl::fromLocalFile(QStringLiteral("/nonexistent/archive.exe")));
}

// A send refused by the model, or a warning cancelled, puts the text back.
TEST_F(ChatViewTest, SendsThatDoNotGoOutGiveTheTextBack)
{
    view->prepareModel = [](std::function<void(bool)> done) { done(false); };
    view->composer()->editor()->setText(QStringLiteral("keep me"));
    view->composer()->send();
    EXPECT_EQ(view->composer()->text(), QStringLiteral("keep me"));
    EXPECT_TRUE(session.calls.isEmpty());

    view->prepareModel = {};
    stager.setStaged({stagedFile(7935)});
    view->setContextSize(8192);
    view->composer()->send();
    auto* warning = qobject_cast<ContextWarningDialog*>(view->openDialogs().value(0));
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->warning(), (ContextWarning{8192, 7935, 2}));
    warning->cancelButton()->click();
    settle();
    EXPECT_TRUE(view->openDialogs().isEmpty());
    EXPECT_EQ(view->composer()->text(), QStringLiteral("keep me"));
    EXPECT_EQ(stager.staged().size(), 1);
    EXPECT_TRUE(session.calls.isEmpty());
}

TEST_F(ChatViewTest, CopyAndResendFromTheBubbles)
{
    Turn reply = makeTurn(ChatMessage::Role::assistant, QStringLiteral("The answer"));
    reply.reasoning = QStringLiteral("The reasoning");
    session.setTurns({makeTurn(ChatMessage::Role::user, QStringLiteral("q")), reply});
    settle();
    bubble(1)->actionButtons().first()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("The answer"));
    EXPECT_EQ(toast(), QStringLiteral("Copied to clipboard"));
    bubble(1)->reasoningCopyButton()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("The reasoning"));

    session.setStreaming(true);
    bubble(0)->actionButtons()[1]->click(); // Edit
    bubble(0)->actionButtons()[3]->click(); // Delete
    EXPECT_TRUE(view->openDialogs().isEmpty());
    bubble(0)->actionButtons()[2]->click(); // Resend: the session decides
    bubble(1)->reasoningToggle()->click();
    EXPECT_EQ(session.calls, (QStringList{QStringLiteral("regenerate ") + session.turnList[0].id.toString(),
                                          QStringLiteral("toggleReasoning ") + reply.id.toString()}));
}

TEST_F(ChatViewTest, EditAndDeleteDialogs)
{
    const Turn question = makeTurn(ChatMessage::Role::user, QStringLiteral("Same text"));
    session.setTurns({question});
    settle();
    bubble(0)->actionButtons()[1]->click();
    auto* edit = qobject_cast<EditMessageDialog*>(view->openDialogs().value(0));
    ASSERT_NE(edit, nullptr);
    edit->saveButton()->click();
    settle();
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("resend %1 [Same text]").arg(question.id.toString())});
    EXPECT_FALSE(view->editing());
    EXPECT_TRUE(view->openDialogs().isEmpty());

    bubble(0)->actionButtons()[3]->click();
    auto* confirm = qobject_cast<CvnConfirmDialog*>(view->openDialogs().value(0));
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->titleText()->text(), QStringLiteral("Delete this message?"));
    EXPECT_EQ(confirm->bodyText()->text(), QStringLiteral("This permanently removes the message from the chat."));
    EXPECT_EQ(confirm->confirmButton()->text(), QStringLiteral("DELETE"));
    EXPECT_EQ(confirm->cancelButton()->text(), QStringLiteral("CANCEL"));
    confirm->confirmButton()->click();
    settle();
    EXPECT_EQ(session.calls.last(), QStringLiteral("deleteTurn ") + question.id.toString());
    EXPECT_FALSE(view->deleting());
    EXPECT_TRUE(view->openDialogs().isEmpty());
}

TEST_F(ChatViewTest, EditingAMessageWithFilesChangesOnlyTheTypedText)
{
    const QString head = QStringLiteral("[Attached file: data.csv]\n") + QString(8000, u'd') +
                         QStringLiteral("\n[End file]\n\n");
    const QString typed = QStringLiteral("First line\nsecond line ") + QString(4500, u't');
    const Turn question = makeTurn(ChatMessage::Role::user, head + typed);
    session.setTurns({question});
    settle();
    view->editTurn(question);
    auto* edit = qobject_cast<EditMessageDialog*>(view->openDialogs().value(0));
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->typedText(), typed);
    edit->field()->moveCursor(QTextCursor::End);
    QTest::keyClicks(edit->field(), QStringLiteral("!"));
    QTest::keyClick(edit->field(), Qt::Key_Backspace);
    QTest::keyClicks(edit->field(), QStringLiteral("?"));
    // The limit is the longer of 4,000 and the text it started with: nothing
    // of it is cut, the "!" past it is refused, and the "?" replaces a "t".
    const QString edited = typed.chopped(1) + u'?';
    EXPECT_EQ(edit->limit(), typed.size());
    EXPECT_EQ(edit->typedText(), edited);
    EXPECT_EQ(edit->message(), head + edited);
    EXPECT_LE(edit->field()->height(), EditMessageDialog::maxFieldHeight);
    edit->saveButton()->click();
    EXPECT_EQ(session.calls.last(), QStringLiteral("resend %1 [%2]").arg(question.id.toString(), head + edited));
}

// A vertical wheel over a code block scrolls the transcript, not the block.
TEST_F(ChatViewTest, VerticalWheelOverCodeScrollsTheTranscript)
{
    QList<Turn> turns;
    for (int i = 0; i < 12; ++i)
        turns.append(makeTurn(ChatMessage::Role::assistant, QStringLiteral("```cpp\nint x = %1;\n```").arg(i)));
    session.setTurns(turns);
    settle();
    QScrollBar* bar = view->scrollArea()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    QWidget* code = bubble(0)->answer()->item(0)->widget();
    ASSERT_NE(code, nullptr);
    cvn::test::turnWheel(code, {code->width() / 2, code->height() / 2}, {0, -120});
    EXPECT_GT(bar->value(), 0);
}

// The engine's session behind the seam: its turns and changes come through.
TEST_F(ChatViewTest, LlamaSessionDrivesThePage)
{
    LlamaSession engine;
    LlamaChatSession adapter(&engine);
    ChatView page(&engine, &stager, nullptr);
    engine.appendUserTurn(QStringLiteral("@nope hi"), {QStringLiteral("Model @nope not found.")});
    settle();
    ASSERT_EQ(page.transcript()->rowCount(), 2);
    EXPECT_EQ(page.transcript()->bubble(1)->layoutKind(), MessageBubble::Layout::failure);
    EXPECT_EQ(adapter.turns(), engine.turns());
    EXPECT_FALSE(adapter.isStreaming());
    EXPECT_LT(adapter.loadedContextSize(), 1);
}

// The council road with the real mention rules and the machine's memory as
// the screens read it.
TEST_F(ChatViewTest, CouncilSendPlansTheFirstMembersContext)
{
    SystemFacts facts;
    facts.rig.ramFreeMb = 16000;
    const SystemFacts::Override fixed(facts);
    ModelInfo member;
    member.displayName = QStringLiteral("Alpha");
    view->setModels({member});
    view->setCouncil(true);
    view->onSend(QStringLiteral("@nope hello"));
    ASSERT_EQ(session.calls.size(), 1);
    EXPECT_TRUE(session.calls[0].startsWith(QStringLiteral("appendUserTurn [@nope hello] [Model @nope not found.")));

    stager.setStaged({stagedFile(1'000'000)});
    view->onSend(QStringLiteral("@Alpha why?"));
    ASSERT_TRUE(view->road().oversize());
    EXPECT_EQ(view->road().oversize()->warning.contextTokens,
              autoContextForRam(member.effectiveMetadata(), 16000).contextSize);
    EXPECT_EQ(view->road().oversize()->warning.promptTokens, 4 / 3); // "why?" without the mention
}

// Return while a reply streams, or while a send waits for its model, keeps
// what was typed.
TEST_F(ChatViewTest, ReturnWhileBusyKeepsTheText)
{
    std::function<void(bool)> answer;
    view->prepareModel = [&](std::function<void(bool)> done) { answer = std::move(done); };
    ComposerEditor* editor = view->composer()->editor();
    editor->setFocus();
    QTest::keyClicks(editor, QStringLiteral("first"));
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(answer);
    QTest::keyClicks(editor, QStringLiteral("second"));
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(view->composer()->text(), QStringLiteral("second"));
    answer(true);
    EXPECT_EQ(session.calls, QStringList{QStringLiteral("send first")});

    session.setStreaming(true);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(view->composer()->text(), QStringLiteral("second"));
    EXPECT_EQ(session.calls.size(), 1);
}

// "Chats are not being saved" stands above the composer column while the
// history cannot save: from the start for a file that is not a database, and
// from the first failed write in mid-run until a write gets through again.
TEST_F(ChatViewTest, NotSavedNoticeStandsWhileTheHistoryCannotSave)
{
    EXPECT_FALSE(view->notSavedNotice()->isVisible()); // no history: nothing to tell

    const QString junkPath = cvn::test::makeTempFolder(QStringLiteral("junk")) + QStringLiteral("/chats.db");
    QFile junk(junkPath);
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'j'));
    junk.close();
    ChatDatabase junkDb(junkPath);
    ChatStore junkStore(junkDb);
    ChatHistory junkHistory(junkDb, junkStore);
    ChatView broken(&session, &stager, &junkHistory);
    broken.resize(1280, 800);
    cvn::test::showAndSettle(broken);
    NoticeLine* notice = broken.notSavedNotice();
    ASSERT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->text(), QStringLiteral("Chats are not being saved"));
    // Centred on the composer, just above it, inside the chat area.
    const QRect onPage(notice->mapTo(&broken, QPoint()), notice->size());
    const QRect composer(broken.composer()->mapTo(&broken, QPoint()), broken.composer()->size());
    EXPECT_EQ(onPage.bottom() + 1 + ChatView::composerSpacing, composer.top());
    EXPECT_NEAR(onPage.center().x(), composer.center().x(), 1);
    EXPECT_GE(onPage.top(), ChatView::bandHeight);
    // Drawn in the caution amber, in both appearances.
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        const QImage image = cvn::test::renderOver(*notice, Theme::surface());
        EXPECT_GT(cvn::test::countPixels(image, Theme::cautionAmber(), 3, notice->textRect()), 20);
        EXPECT_GT(cvn::test::countPixels(image, Theme::cautionAmber(), 3, notice->mark()->geometry()), 20);
    }

    ChatDatabase db(cvn::test::makeTempFolder(QStringLiteral("db")) + QStringLiteral("/chats.db"));
    ChatStore store(db);
    ChatHistory history(db, store);
    ChatView page(&session, &stager, &history);
    page.resize(1280, 800);
    cvn::test::showAndSettle(page);
    EXPECT_FALSE(page.notSavedNotice()->isVisible());
    const int tail = page.transcript()->tailHeight();

    QList<Turn> turns{makeTurn(ChatMessage::Role::user, QStringLiteral("q")),
                      makeTurn(ChatMessage::Role::assistant, QStringLiteral("a"))};
    {
        cvn::test::FileWritesFail full;
        history.persist(turns, QStringLiteral("m"));
    }
    EXPECT_TRUE(page.notSavedNotice()->isVisible());
    EXPECT_EQ(page.notSavedNotice()->geometry().bottom() + 1 + ChatView::composerSpacing, page.composer()->y());
    // The end of the transcript stays clear of it.
    EXPECT_EQ(page.transcript()->tailHeight(), tail + NoticeLine::lineHeight + ChatView::composerSpacing);
    history.retryWrites();
    EXPECT_FALSE(page.notSavedNotice()->isVisible());
    EXPECT_EQ(page.transcript()->tailHeight(), tail);
    EXPECT_EQ(db.listChats().size(), 1);
}

// A stored message that is one long run without break opportunities opens in
// the edit dialog wrapped anywhere (word wrapping would take the square of
// its length), keeps every character, and goes back to word wrapping once
// the run is gone.
TEST(EditMessageDialogWrap, ALongRunWrapsAnywhereAndTheTextStaysWhole)
{
    QWidget host;
    host.resize(1280, 800);
    QString hex;
    for (int i = 0; i < 30'000; ++i)
        hex.append(QChar(u"0123456789abcdef"[(i * 7) % 16]));
    const QString message = QStringLiteral("Dump: ") + hex;
    EditMessageDialog dialog(QStringLiteral("Edit message"), message, ChatView::editMaxLength, {}, {}, &host);
    EXPECT_EQ(dialog.field()->wordWrapMode(), QTextOption::WrapAnywhere);
    EXPECT_EQ(dialog.message(), message);
    dialog.field()->setPlainText(QStringLiteral("A short and ordinary question"));
    EXPECT_EQ(dialog.field()->wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);

    EditMessageDialog plain(QStringLiteral("Edit message"), QStringLiteral("Plain words"), ChatView::editMaxLength, {},
                            {}, &host);
    EXPECT_EQ(plain.field()->wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
}

TEST_F(ChatViewTest, APastedPictureIsStagedWithItsThumbnail)
{
    view->composer()->setPasteFolder(cvn::test::makeTempFolder(QStringLiteral("pasted")));
    QImage shot(300, 200, QImage::Format_RGB32);
    shot.fill(QColor(0, 0, 255));
    QGuiApplication::clipboard()->setImage(shot);
    view->composer()->editor()->setFocus();
    QTest::keyClick(view->composer()->editor(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return stager.staged().size() == 1; }, 20000));
    EXPECT_EQ(stager.staged()[0].originalFilename, QStringLiteral("Pasted image.png"));
    EXPECT_TRUE(stager.staged()[0].isImage);
    settle();
    ASSERT_EQ(view->stagedStrip()->chips().size(), 1);
    EXPECT_TRUE(view->stagedStrip()->chips()[0]->tile()->showsImage());
    EXPECT_TRUE(view->composer()->text().isEmpty());
    stager.clear();
}
