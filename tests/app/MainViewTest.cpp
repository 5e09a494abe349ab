// The main view driven offscreen over scripted models in a folder of their
// own, a real chat database and real settings in temporary folders.

#include "MainViewFixture.h"

namespace cvn {
namespace {

using namespace cvn::test;

TEST(MainView, PagesDrawerNotificationsAndChats)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    EXPECT_EQ(view.page(), Page::chat);
    EXPECT_EQ(view.sidebar()->width(), 0);
    EXPECT_FALSE(view.chat().councilOn());
    EXPECT_TRUE(view.overlays().isEmpty());

    // The models page's back target.
    const std::vector<std::function<void()>> ways[] = {
        {[&] { view.openModels(); }},
        {[&] { view.showPage(Page::settings); }, [&] { view.openModelsFromSettings(); }},
        {[&] { view.showPage(Page::settings); }, [&] { view.openModelsFromSettings(); }, [&] { view.leaveModels(); },
         [&] { view.openModels(); }},
    };
    const Page backTo[] = {Page::chat, Page::settings, Page::chat};
    for (size_t i = 0; i < std::size(ways); ++i) {
        view.showPage(Page::chat);
        for (const auto& step : ways[i])
            step();
        ASSERT_EQ(view.page(), Page::models);
        view.leaveModels();
        EXPECT_EQ(view.page(), backTo[i]) << i;
    }

    // Settings from the models page with the drawer open.
    view.openModels();
    view.toggleDrawer();
    ASSERT_TRUE(waitUntil([&] { return view.sidebar()->width() == MainView::drawerWidth; }));
    emit AppSignals::instance().openSettingsPage();
    EXPECT_EQ(view.page(), Page::settings);
    EXPECT_TRUE(waitUntil([&] { return view.sidebar()->width() == 0; }));

    // The runtime panel: over the chat page only, and never in the way.
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), true);
    EXPECT_EQ(view.runtimePanel(), nullptr);
    view.showPage(Page::chat);
    ASSERT_TRUE(waitUntil([&] { return view.runtimePanel() && view.runtimePanel()->isVisible(); }));
    const QPoint inPanel = view.runtimePanel()->mapTo(&view, view.runtimePanel()->rect().center());
    EXPECT_NE(view.childAt(inPanel), nullptr);
    EXPECT_FALSE(view.runtimePanel()->isAncestorOf(view.childAt(inPanel)));
    EXPECT_NE(view.childAt(inPanel), view.runtimePanel());
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), false);
    EXPECT_FALSE(view.runtimePanel()->isVisible());

    // The attach sheet is gone before the file panel is asked for.
    int picks = 0;
    view.setFilePicker([&](bool documents) {
        EXPECT_TRUE(documents);
        EXPECT_TRUE(view.overlays().isEmpty());
        ++picks;
    });
    view.openAttachSheet();
    auto* sheet = qobject_cast<AttachSheetOverlay*>(view.overlays().value(0));
    ASSERT_NE(sheet, nullptr);
    QTest::mouseClick(sheet->fileButton(), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return picks == 1; }));
    QTest::qWait(0);
    EXPECT_EQ(picks, 1);

    // The real file panel, in the Documents folder: a file chosen there is
    // staged.
    const QString home = makeTempFolder();
    ScopedEnvironment homeEnv("HOME", home.toUtf8());
    QDir(home).mkpath(QStringLiteral("Documents"));
    {
        QFile file(home + QStringLiteral("/Documents/notes.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("The secret word is PAPAYA.");
    }
    view.setFilePicker([&](bool documents) { view.stager().pickFiles(documents); });
    view.openAttachSheet();
    QTest::mouseClick(qobject_cast<AttachSheetOverlay*>(view.overlays().value(0))->fileButton(), Qt::LeftButton);
    QPointer<QFileDialog> panel;
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QFileDialog*>(window); dialog && dialog->isVisible())
                panel = dialog;
        return !panel.isNull();
    }));
    EXPECT_EQ(panel->directory().absolutePath(), QDir(home + QStringLiteral("/Documents")).absolutePath());
    QTest::keyClicks(panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")), QStringLiteral("notes.txt"));
    QTest::keyClick(panel, Qt::Key_Return);
    ASSERT_EQ(view.stager().staged().size(), 1);
    EXPECT_EQ(view.stager().staged()[0].originalFilename, QStringLiteral("notes.txt"));

    // Each activation rescans the folder.
    for (const QString& name : {QStringLiteral("one"), QStringLiteral("two")}) {
        QFile::copy(randomModel(), f.folder.path + QLatin1Char('/') + name + QStringLiteral(".gguf"));
        emit qApp->applicationStateChanged(Qt::ApplicationActive);
        EXPECT_EQ(modelNamed(f.store->models(), name).displayName, name);
    }

    // A stored council chat opens with council on and its turns, and loads
    // nothing; a new chat while a reply streams starts empty.
    f.load(QStringLiteral("tiny"));
    view.chat().setCouncilOn(true);
    f.exchange(QStringLiteral("Hi"));
    const int64_t council = view.history().chatId();
    ASSERT_GE(council, 1);
    view.startNewChat();
    EXPECT_FALSE(view.chat().councilOn());
    f.load(QStringLiteral("endless"));
    const auto loadedId = view.session().loadedModelId();
    view.session().send(QStringLiteral("Go"));
    ASSERT_TRUE(view.session().isStreaming());
    view.openChat(f.row(council));
    EXPECT_TRUE(view.chat().councilOn());
    ASSERT_EQ(view.session().turns().size(), 2);
    EXPECT_EQ(view.session().turns()[1].content, QStringLiteral(" Hello"));
    EXPECT_EQ(view.session().loadedModelId(), loadedId);

    view.session().send(QStringLiteral("Again"));
    view.toggleDrawer();
    emit AppSignals::instance().newChat();
    EXPECT_TRUE(view.session().turns().isEmpty());
    EXPECT_FALSE(view.session().isStreaming());
    EXPECT_FALSE(view.chat().councilOn());
    EXPECT_EQ(view.page(), Page::chat);
    EXPECT_TRUE(waitUntil([&] { return view.sidebar()->width() == 0; }));
}

// The drawer is only made 0 wide when it closes, never hidden: opening it
// again on a later day must still move its day headings on.
TEST(MainView, DrawerHeadingsMoveOnWhenItOpensOnALaterDay)
{
    Fixture f;
    MainView& view = *f.view;
    const QDate day(2030, 6, 14);
    const int64_t id = f.db->insertChat(QStringLiteral("Lunch"), QStringLiteral("m"));
    f.db->run(QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?"),
              {QDateTime(day, QTime(12, 0)).toSecsSinceEpoch(), id});
    f.chats->reload();
    QDateTime now(day, QTime(18, 0));
    view.sidebar()->setClock([&now] { return now; });
    view.show();
    const auto headings = [&] {
        QStringList out;
        for (const SidebarList::Entry& entry : view.sidebar()->list()->entries())
            if (entry.kind == SidebarList::Entry::Kind::heading)
                out << entry.label;
        return out.join(QLatin1Char('|'));
    };
    const QDateTime later[] = {QDateTime(day.addDays(1), QTime(8, 0)), QDateTime(day.addDays(9), QTime(8, 0))};
    const QString expected[] = {QStringLiteral("YESTERDAY"), QStringLiteral("14 JUN 2030")};
    view.toggleDrawer();
    EXPECT_EQ(headings(), QStringLiteral("TODAY"));
    for (int i = 0; i < 2; ++i) {
        view.toggleDrawer();
        ASSERT_TRUE(waitUntil([&] { return view.sidebar()->width() == 0; }));
        now = later[i];
        view.toggleDrawer();
        EXPECT_TRUE(view.drawerOpen());
        EXPECT_EQ(headings(), expected[i]) << i;
    }
}

TEST(MainView, HardwareIntroOnceAndEscapeToTheTopmost)
{
    {
        Fixture f(false);
        f.view->show();
        ASSERT_TRUE(waitUntil([&] { return f.view->hardwareIntro().has_value(); }));
        EXPECT_TRUE(AppSettings::boolValue(MainView::hardwareIntroKey));
        auto* intro = qobject_cast<CvnContentDialog*>(f.view->overlays().value(0));
        ASSERT_NE(intro, nullptr);
        EXPECT_EQ(intro->saveButton()->text(), QStringLiteral("UNDERSTAND"));
        EXPECT_EQ(intro->cancelButton(), nullptr);
        // The body fits its area: no scroll bar for nothing.
        EXPECT_TRUE(waitUntil([&] { return intro->body()->height() <= intro->bodyArea()->viewport()->height(); }));

        // A failure shown later stacks below the introduction; Escape closes
        // only the introduction.
        writeZeros(f.folder.path + QStringLiteral("/broken.gguf"), 4096);
        f.store->reload();
        f.view->models().select(f.id(QStringLiteral("broken")));
        ASSERT_TRUE(waitUntil([&] { return f.view->overlays().size() == 2; }, 30000));
        EXPECT_EQ(f.view->overlays().last(), intro);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_FALSE(f.view->hardwareIntro().has_value());
        ASSERT_EQ(f.view->overlays().size(), 1);
        EXPECT_NE(qobject_cast<CvnConfirmDialog*>(f.view->overlays().first()), nullptr);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_TRUE(f.view->overlays().isEmpty());
    }
    // The second launch: the flag stays, and nothing is offered even when the
    // check runs again.
    EXPECT_TRUE(AppSettings::boolValue(MainView::hardwareIntroKey));
    Fixture again(true);
    again.view->show();
    again.view->showHardwareIntroIfNeeded();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_FALSE(again.view->hardwareIntro().has_value());
    EXPECT_TRUE(again.view->overlays().isEmpty());
}

// New chat and a chat opened from the drawer keep the chat page itself: the
// draft stays, and the page still hears the stager's refusals afterwards.
TEST(MainView, ChatPageLivesAcrossChatChanges)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t stored = f.savedChat(QStringLiteral("Hi"));
    view.startNewChat();
    QCoreApplication::processEvents();

    QPointer<ChatView> page = qobject_cast<ChatView*>(view.pageWidget());
    ASSERT_NE(page, nullptr);
    page->composer()->editor()->setText(QStringLiteral("half a thought"));
    const std::vector<std::function<void()>> changes = {
        [&] { emit AppSignals::instance().newChat(); },
        [&] { emit view.sidebar()->onSelectChat(f.chats->rows().value(0)); },
        [&] { view.openChat(f.row(stored)); },
        [&] { view.startNewChat(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        changes[i]();
        QTest::qWait(0);
        QCoreApplication::processEvents();
        ASSERT_EQ(view.pageWidget(), page.data()) << i;
        EXPECT_EQ(page->composer()->text(), QStringLiteral("half a thought")) << i;
    }
    EXPECT_EQ(view.history().chatId(), 0);

    const QString folder = makeTempFolder();
    const auto file = [&](const QString& name) {
        QFile out(folder + QLatin1Char('/') + name);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("text");
        return QUrl::fromLocalFile(out.fileName());
    };
    for (int i = 0; i < 5; ++i)
        view.stager().stage(file(QStringLiteral("note%1.txt").arg(i)));
    view.stager().stage(file(QStringLiteral("sixth.txt")));
    EXPECT_EQ(page->toasts()->message(), QStringLiteral("Maximum 5 attachments per message"));
    view.stager().clear();
    view.stager().stage(file(QStringLiteral("scan.tiff")));
    EXPECT_EQ(page->toasts()->message(), QStringLiteral("Format not supported: scan.tiff"));

    // Leaving for another page still starts the chat page afresh, and the
    // new page hears the refusals too.
    view.openModels();
    QTest::qWait(0);
    view.leaveModels();
    ASSERT_TRUE(waitUntil([&] { return page.isNull() && qobject_cast<ChatView*>(view.pageWidget()); }));
    auto* fresh = qobject_cast<ChatView*>(view.pageWidget());
    EXPECT_TRUE(fresh->composer()->text().isEmpty());
    view.stager().stage(file(QStringLiteral("scan.tiff")));
    EXPECT_EQ(fresh->toasts()->message(), QStringLiteral("Format not supported: scan.tiff"));
}

// The models page has the runtime panel too, following the setting live and
// never taking the pointer.
TEST(MainView, ModelsPageRuntimePanel)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    view.openModels();
    ASSERT_TRUE(waitUntil([&] { return qobject_cast<ModelsScreen*>(view.pageWidget()); }));
    EXPECT_EQ(view.runtimePanel(), nullptr);
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    for (int round = 0; round < 2; ++round) {
        AppSettings::setValue(key, true);
        ASSERT_TRUE(waitUntil([&] { return view.runtimePanel() && view.runtimePanel()->isVisible(); })) << round;
        QWidget* panel = view.runtimePanel();
        EXPECT_NE(qobject_cast<DebugPanel*>(panel), nullptr);
        EXPECT_TRUE(panel->testAttribute(Qt::WA_TransparentForMouseEvents));
        EXPECT_GT(panel->height(), 0);
        // Exactly the column's width, and the column (with the list card
        // under the panel) centred on the page.
        auto* models = qobject_cast<ModelsScreen*>(view.pageWidget());
        QWidget* column = models->column();
        const auto centreX = [&](QWidget* w) { return w->mapTo(models, w->rect().center()).x(); };
        EXPECT_EQ(panel->width(), ModelsScreen::kColumnWidth) << round;
        EXPECT_EQ(column->width(), ModelsScreen::kColumnWidth) << round;
        EXPECT_EQ(panel->mapTo(column, QPoint(0, 0)).x(), 0) << round;
        EXPECT_LE(std::abs(centreX(column) - models->width() / 2), 1) << round;
        ASSERT_NE(models->listCard(), nullptr);
        EXPECT_LE(std::abs(centreX(models->listCard()) - models->width() / 2), 1) << round;
        AppSettings::setValue(key, false);
        EXPECT_FALSE(panel->isVisible()) << round;
    }
}

// The reply cache page shows what the session's cache holds as it changes,
// and CLEAR empties memory and disk.
TEST(MainView, TheReplyCachePageFollowsTheCacheAndClearEmptiesIt)
{
    const QString memoryKey = QString::fromLatin1(AppSettings::promptCacheMemoryMb);
    const QString diskKey = QString::fromLatin1(AppSettings::promptCacheDiskMb);
    AppSettings::setValue(memoryKey, 64);
    AppSettings::setValue(diskKey, 64);
    {
        Fixture f;
        MainView& view = *f.view;
        view.show();
        view.openSettings();
        CardRowButton* row = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            for (auto* button : view.findChildren<CardRowButton*>()) {
                if (button->text() == QStringLiteral("REPLY CACHE"))
                    row = button;
            }
            return row;
        }));
        row->click();
        ASSERT_TRUE(waitUntil([&] { return qobject_cast<ReplyCachePage*>(view.pageWidget()); }));
        auto* page = qobject_cast<ReplyCachePage*>(view.pageWidget());
        PromptStore& store = *view.session().promptCache().store();
        store.save(PromptIdentity{}, {1, 2, 3}, 3, 3 << 20, [](uint8_t* data, size_t size) {
            std::fill_n(data, size, uint8_t(7));
            return true;
        });
        store.flush();
        // The disk's figure is whatever the store counted of its files.
        const auto shows = [&](const QString& memory) {
            return page->memoryValue()->text() == memory
                   && page->diskValue()->text() == ReplyCachePage::usageText(store.diskBytes(), 64);
        };
        EXPECT_TRUE(waitUntil([&] { return shows(QStringLiteral("3 MiB of 64 MiB")); }))
            << page->memoryValue()->text().toStdString() << " / " << page->diskValue()->text().toStdString();

        page->clearButton()->click();
        store.flush();
        EXPECT_TRUE(waitUntil([&] { return shows(QStringLiteral("0 MiB of 64 MiB")); }))
            << page->memoryValue()->text().toStdString() << " / " << page->diskValue()->text().toStdString();
        EXPECT_EQ(store.memoryBytes(), 0);
        EXPECT_EQ(store.diskBytes(), 0);
    }
    AppSettings::remove(memoryKey);
    AppSettings::remove(diskKey);
}

// A request through the local server streams while the window keeps
// handling its events, and a chat reply sent meanwhile waits until the
// request leaves the model slot, then answers with its own model, stored once.
TEST(MainView, TheLocalServerStreamsWhileTheWindowGoesOnAndAChatReplyWaitsItsTurn)
{
    Fixture f;
    MainView& view = *f.view;
    f.load(QStringLiteral("tiny"));
    view.chat().startNewChat();
    const uint16_t port = freePort();
    ASSERT_TRUE(view.localServer().start(port, {}));

    const QByteArray body = "{\"model\":\"endless\",\"stream\":true,\"max_tokens\":1000,"
                            "\"messages\":[{\"role\":\"user\",\"content\":\"Go\"}]}";
    const int client = connectLoopback(port);
    ASSERT_TRUE(sendAll(client, "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                                    + "\r\nContent-Type: application/json\r\nContent-Length: "
                                    + QByteArray::number(body.size()) + "\r\n\r\n" + body));
    QByteArray heard;
    const auto hear = [&] {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            heard.append(buffer, int(n));
        return heard.contains("\"content\":\" B\"");
    };
    const auto replied = [&] {
        return view.session().turns().size() == 2 && !view.session().turns()[1].content.isEmpty();
    };
    // What the window's own timer sees while the stream runs.
    int ticksWhileStreaming = 0;
    int repliesWhileStreaming = 0;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (hear() && !heard.contains("[DONE]")) {
            ++ticksWhileStreaming;
            repliesWhileStreaming += replied() ? 1 : 0;
        }
    });
    timer.start();

    ASSERT_TRUE(waitUntil(hear, 30000)) << heard.toStdString();
    // As the composer sends: the chat's model made ready first, which must
    // not take the slot from the request.
    view.models().prepare([&](bool ready) {
        if (ready)
            view.session().send(QStringLiteral("Hi"));
    });
    ASSERT_TRUE(waitUntil([&] { return heard.contains("[DONE]"); }, 60000));
    EXPECT_TRUE(heard.contains("\"finish_reason\":\"length\"")) << "the request ran to its limit";
    ::close(client);
    ASSERT_TRUE(waitUntil([&] { return replied() && !view.session().isStreaming(); }, 30000));
    timer.stop();

    EXPECT_GE(ticksWhileStreaming, 10);
    EXPECT_EQ(repliesWhileStreaming, 0) << "the reply waits for the slot";
    EXPECT_EQ(view.session().turns()[1].content, QStringLiteral(" Hello"));
    EXPECT_EQ(view.session().loadedModelName(), QStringLiteral("tiny"));
    const int64_t chat = view.history().chatId();
    ASSERT_TRUE(waitUntil([&] { return f.db->messages(chat).size() == 2; }, 10000));
    EXPECT_EQ(f.db->messages(chat).last().content, QStringLiteral(" Hello"));
    view.localServer().stop();
}

// A request through the local server holds the model: a message sent from
// the composer meanwhile shows and is stored at once, its reply saying what
// it waits for. The stop button ends the wait and keeps the message; so does
// a quit while a message waits behind a pick made meanwhile.
TEST(MainView, AMessageSentWhileTheLocalServerHoldsTheModelShowsAndIsStoredAtOnce)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t chat = f.savedChat(QStringLiteral("First"));
    ChatView* page = f.chatPage();
    ASSERT_NE(page, nullptr);
    const uint16_t port = freePort();
    ASSERT_TRUE(view.localServer().start(port, {}));
    const QByteArray body = "{\"model\":\"endless\",\"stream\":true,\"max_tokens\":100000,"
                            "\"messages\":[{\"role\":\"user\",\"content\":\"Go\"}]}";
    const int client = connectLoopback(port);
    ASSERT_TRUE(sendAll(client, "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                                    + "\r\nContent-Type: application/json\r\nContent-Length: "
                                    + QByteArray::number(body.size()) + "\r\n\r\n" + body));
    ASSERT_TRUE(waitUntil([&] { return f.loaded(QStringLiteral("endless")); }, 30000));

    LlamaSession& session = view.session();
    const QString waits = QStringLiteral("Waiting for another program's request to finish…");
    const auto sendTyped = [&](const QString& text) {
        page->composer()->editor()->setText(text);
        QTest::keyClick(page->composer()->editor(), Qt::Key_Return);
    };
    const auto stored = [&] {
        QStringList texts;
        for (const auto& message : f.db->messages(chat))
            texts.append(message.content);
        return texts;
    };
    sendTyped(QStringLiteral("Second"));
    EXPECT_TRUE(page->composer()->text().isEmpty());
    ASSERT_EQ(session.turns().size(), 4);
    EXPECT_EQ(session.turns()[2].content, QStringLiteral("Second"));
    EXPECT_EQ(session.turns()[3].waitingFor, waits);
    const QUuid replyId = session.turns()[3].id;
    ASSERT_TRUE(waitUntil([&] { return page->transcript()->bubbleFor(replyId) != nullptr; }, 5000));
    EXPECT_EQ(page->transcript()->bubbleFor(replyId)->placeholderText(), waits);
    EXPECT_EQ(stored(), (QStringList{QStringLiteral("First"), QStringLiteral(" Hello"), QStringLiteral("Second")}));

    QTest::mouseClick(page->composer()->stopDisc(), Qt::LeftButton, {}, QPoint(19, 19));
    EXPECT_FALSE(session.isStreaming());
    ASSERT_EQ(session.turns().size(), 3);
    EXPECT_EQ(session.turns()[2].content, QStringLiteral("Second"));

    view.models().select(f.id(QStringLiteral("tiny")));
    sendTyped(QStringLiteral("Third"));
    ASSERT_EQ(session.turns().size(), 5);
    EXPECT_EQ(session.turns()[4].waitingFor, waits);
    EXPECT_TRUE(f.loaded(QStringLiteral("endless")));
    f.view.reset(); // the quit
    ::close(client);
    EXPECT_EQ(stored(), (QStringList{QStringLiteral("First"), QStringLiteral(" Hello"), QStringLiteral("Second"),
                                     QStringLiteral("Third")}));
}

} // namespace
} // namespace cvn
