// The chat actions of the main view (rename, delete, instructions, export),
// offscreen, with other programs writing the same chat database.

#include "MainViewFixture.h"
#include "TestModelWriter.h"

#include <QBuffer>
#include <QImage>

namespace cvn {
namespace {

using namespace cvn::test;

// The chat's instructions dialog shows the chat's own, or the loaded
// model's as the placeholder; what is saved is stored and the session replies
// with it at once, and a blank text gives the model's back.
TEST(ChatActions, InstructionsDialogShowsTheModelsAsPlaceholderAndStoresTheChats)
{
    Fixture f;
    QList<ModelInfo> models = f.store->models();
    for (ModelInfo& m : models)
        m.instructions = QStringLiteral("Model rules.");
    f.store->setModels(models);
    f.load(QStringLiteral("tiny"));
    ChatActions& chat = f.view->chat();
    const int64_t other = f.savedChat(QStringLiteral("Other"));
    const int64_t open = f.savedChat(QStringLiteral("Hi"));
    const auto dialogFor = [&](int64_t id) {
        chat.openMenu(f.row(id));
        chat.choose(QStringLiteral("instructions"));
        return qobject_cast<CvnTextAreaDialog*>(f.view->overlays().value(0));
    };

    CvnTextAreaDialog* dialog = dialogFor(open);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->field()->placeholderText(), QStringLiteral("Model rules."));
    EXPECT_TRUE(dialog->field()->toPlainText().isEmpty());
    EXPECT_EQ(dialog->field()->limit(), ModelInfo::maxInstructions);
    QTest::keyClicks(dialog->field(), QStringLiteral("Chat rules."));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    EXPECT_TRUE(f.view->overlays().isEmpty());
    EXPECT_EQ(f.db->instructions(open), QStringLiteral("Chat rules."));
    EXPECT_EQ(f.view->session().chatInstructions(), QStringLiteral("Chat rules."));

    chat.openChat(f.row(other));
    EXPECT_TRUE(f.view->session().chatInstructions().isEmpty());
    chat.openChat(f.row(open));
    EXPECT_EQ(f.view->session().chatInstructions(), QStringLiteral("Chat rules."));

    dialog = dialogFor(open);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->field()->toPlainText(), QStringLiteral("Chat rules."));
    dialog->field()->setPlainText(QStringLiteral("  \n "));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    EXPECT_TRUE(f.db->instructions(open).isEmpty());
    EXPECT_TRUE(f.view->session().chatInstructions().isEmpty());
}

TEST(ChatActions, MenuRenameDeleteAndPersistence)
{
    EXPECT_EQ(ChatActions::deleteBody(QStringLiteral(u"A \"q\" B")),
              QStringLiteral(u"\"A \"q\" B\" and its messages will be permanently deleted."));
    const auto items = ChatActions::menuItems({.id = 1, .title = QStringLiteral("t"), .pinned = true});
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(std::tuple(items[0].id, items[0].label, items[0].destructive),
              std::tuple(QStringLiteral("pin"), QStringLiteral("UNPIN"), false));
    EXPECT_EQ(std::tuple(items[1].id, items[1].label, items[1].destructive),
              std::tuple(QStringLiteral("rename"), QStringLiteral("RENAME"), false));
    EXPECT_EQ(std::tuple(items[2].id, items[2].label, items[2].destructive),
              std::tuple(QStringLiteral("instructions"), QStringLiteral(u"Instructions…"), false));
    EXPECT_EQ(std::tuple(items[3].id, items[3].label, items[3].destructive),
              std::tuple(QStringLiteral("export"), QStringLiteral(u"Export…"), false));
    EXPECT_EQ(std::tuple(items[4].id, items[4].label, items[4].destructive),
              std::tuple(QStringLiteral("delete"), QStringLiteral("DELETE"), true));

    Fixture f;
    f.load(QStringLiteral("tiny"));
    ChatActions& chat = f.view->chat();
    const int64_t open = f.savedChat(QStringLiteral("[Attached file: notes.txt]\nThe secret word is PAPAYA.\n"
                                                    "[End file]\n\nThe secret word?"));
    const int64_t other = f.savedChat(QStringLiteral("Hi"));
    ASSERT_GE(other, 1);
    {
        // "Export…" asks the view for a file; the chat then goes there.
        QList<ChatActions::Row> asked;
        QObject context;
        QObject::connect(&chat, &ChatActions::exportRequested, &context,
                         [&](const ChatActions::Row& row) { asked.append(row); });
        chat.openMenu(f.row(open));
        chat.choose(QStringLiteral("export"));
        ASSERT_EQ(asked.size(), 1);
        EXPECT_EQ(asked[0].id, open);
        const QString md = cvn::test::makeTempFolder("export") + QStringLiteral("/chat.md");
        EXPECT_EQ(chat.exportChat(asked[0], md, true), std::nullopt);
        QFile file(md);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readLine(), QByteArray("# The secret word?\n"));
    }
    ASSERT_GE(open, 1);
    // Back to the attachment chat, as the open one.
    f.view->chat().openChat(f.row(open));
    const auto record = [&](int64_t id) {
        for (const auto& r : f.db->listChats())
            if (r.id == id)
                return r;
        return ChatDatabase::ChatRecord{};
    };
    EXPECT_EQ(record(open).title, QStringLiteral("The secret word?"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                    .match(record(open).modelId)
                    .hasMatch())
        << record(open).modelId.toStdString();

    // Pin through the sheet, then unpin.
    for (const bool pinned : {true, false}) {
        const auto rows = f.chats->rows();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.id == other; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(ChatActions::menuItems(*row)[0].label, pinned ? QStringLiteral("PIN") : QStringLiteral("UNPIN"));
        chat.openMenu(*row);
        ASSERT_EQ(f.view->overlays().size(), 1);
        chat.choose(QStringLiteral("pin"));
        EXPECT_FALSE(chat.menuFor().has_value());
        EXPECT_TRUE(f.view->overlays().isEmpty());
        EXPECT_EQ(record(other).isPinned, pinned);
    }

    // Rename through the dialog: trimmed, blank ignored, 70 cut to 60.
    const struct { QString typed; QString stored; } renames[] = {
        {QStringLiteral("  Trip plan  "), QStringLiteral("Trip plan")},
        {QStringLiteral("   "), QStringLiteral("Trip plan")},
        {QString(70, QLatin1Char('x')), QString(60, QLatin1Char('x'))},
    };
    for (const auto& rename : renames) {
        chat.openMenu(f.row(other));
        chat.choose(QStringLiteral("rename"));
        auto* dialog = qobject_cast<CvnInputDialog*>(f.view->overlays().value(0));
        ASSERT_NE(dialog, nullptr);
        dialog->field()->clear();
        QTest::keyClicks(dialog->field(), rename.typed);
        if (dialog->saveButton()->isEnabled())
            QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        else
            QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
        EXPECT_FALSE(chat.renaming().has_value()) << rename.typed.toStdString();
        EXPECT_EQ(record(other).title, rename.stored);
    }

    // Deleting another chat leaves the open one; deleting the open one while
    // it streams empties the transcript and turns council off.
    chat.setCouncilOn(true);
    const auto turns = f.view->session().turns();
    chat.openMenu(f.row(other));
    chat.choose(QStringLiteral("delete"));
    chat.confirmDelete();
    EXPECT_EQ(f.view->session().turns(), turns);
    EXPECT_EQ(record(other).id, 0);

    f.load(QStringLiteral("endless"));
    f.view->session().send(QStringLiteral("More"));
    ASSERT_TRUE(waitUntil([&] { return f.view->session().turns().last().content.size() > 4; }, 30000));
    f.view->toggleDrawer();
    chat.openMenu(f.row(open));
    chat.choose(QStringLiteral("delete"));
    auto* confirm = qobject_cast<CvnConfirmDialog*>(f.view->overlays().value(0));
    ASSERT_NE(confirm, nullptr);
    QTest::mouseClick(confirm->confirmButton(), Qt::LeftButton);
    EXPECT_TRUE(f.view->session().turns().isEmpty());
    EXPECT_FALSE(chat.councilOn());
    EXPECT_TRUE(f.view->drawerOpen());
    EXPECT_EQ(f.view->page(), Page::chat);
    EXPECT_EQ(f.view->history().chatId(), 0);
    ASSERT_TRUE(waitUntil([&] { return !f.view->session().isStreaming(); }, 30000));
    EXPECT_TRUE(f.db->messages(open).isEmpty());
    EXPECT_TRUE(f.db->listChats().isEmpty());
}

// Another process holds the database's write lock (a backup tool): a pin, a
// rename or a delete from the drawer is refused with a toast, the list
// shows what is stored, the open chat stays open, and the not-saved notice
// shows until writes get through again.
TEST(ChatActions, ChangesThatCannotBeStoredSaySoAndShowWhatIsStored)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t other = f.savedChat(QStringLiteral("Other"));
    const int64_t open = f.savedChat(QStringLiteral("Open"));
    QCoreApplication::processEvents();
    auto* page = qobject_cast<ChatView*>(view.pageWidget());
    ASSERT_NE(page, nullptr);
    const auto turns = view.session().turns();
    const auto rowOf = [&](int64_t id) {
        for (const auto& row : f.chats->rows())
            if (row.id == id)
                return row;
        return ChatStore::Row{};
    };
    ChatActions& chat = view.chat();
    EXPECT_FALSE(page->notSavedNotice()->isVisible());

    ChatDatabase holder(f.db->path(), 0);
    ASSERT_TRUE(holder.exec(QStringLiteral("BEGIN EXCLUSIVE")));
    const auto refused = [&](const char* what) {
        EXPECT_EQ(page->toasts()->message(), ChatActions::changeNotSavedToast) << what;
        EXPECT_EQ(page->toasts()->kind(), ToastKind::error) << what;
        EXPECT_TRUE(page->notSavedNotice()->isVisible()) << what;
        page->toasts()->show(QStringLiteral("cleared"), ToastKind::info);
    };

    chat.openMenu(rowOf(other));
    chat.choose(QStringLiteral("pin"));
    refused("pin");
    EXPECT_FALSE(rowOf(other).pinned);

    chat.openMenu(rowOf(other));
    chat.choose(QStringLiteral("rename"));
    auto* dialog = qobject_cast<CvnInputDialog*>(view.overlays().value(0));
    ASSERT_NE(dialog, nullptr);
    dialog->field()->clear();
    QTest::keyClicks(dialog->field(), QStringLiteral("Renamed"));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    refused("rename");
    EXPECT_TRUE(view.overlays().isEmpty());
    EXPECT_EQ(rowOf(other).title, QStringLiteral("Other"));

    chat.openMenu(rowOf(open));
    chat.choose(QStringLiteral("delete"));
    auto* confirm = qobject_cast<CvnConfirmDialog*>(view.overlays().value(0));
    ASSERT_NE(confirm, nullptr);
    QTest::mouseClick(confirm->confirmButton(), Qt::LeftButton);
    refused("delete");
    EXPECT_EQ(view.history().chatId(), open);
    EXPECT_EQ(view.session().turns(), turns);
    EXPECT_EQ(rowOf(open).id, open);
    EXPECT_EQ(f.db->messages(open).size(), 2);

    ASSERT_TRUE(holder.exec(QStringLiteral("ROLLBACK")));
    view.history().retryWrites();
    EXPECT_FALSE(page->notSavedNotice()->isVisible());
    chat.openMenu(rowOf(open));
    chat.choose(QStringLiteral("delete"));
    chat.confirmDelete();
    EXPECT_EQ(page->toasts()->message(), QStringLiteral("cleared"));
    EXPECT_EQ(view.history().chatId(), 0);
    EXPECT_EQ(rowOf(open).id, 0);

    // Another program deletes "Other" and a new chat takes its id: the old
    // row opens and deletes nothing, and says so; the list shows their chat.
    const ChatStore::Row stale = rowOf(other);
    ASSERT_TRUE(holder.exec(QStringLiteral("DELETE FROM chats WHERE id=%1;"
                                           "INSERT INTO chats(id, title, created_at) VALUES(%1, 'Theirs', %2)")
                                .arg(other)
                                .arg(stale.createdAt + 1)));
    emit view.sidebar()->onSelectChat(stale);
    EXPECT_EQ(page->toasts()->message(), QStringLiteral("\"Other\" was deleted elsewhere"));
    EXPECT_EQ(page->toasts()->kind(), ToastKind::error);
    EXPECT_EQ(view.history().chatId(), 0) << "nothing opened";
    EXPECT_EQ(rowOf(other).title, QStringLiteral("Theirs"));
    page->toasts()->show(QStringLiteral("cleared"), ToastKind::info);
    chat.openMenu(stale);
    chat.choose(QStringLiteral("delete"));
    chat.confirmDelete();
    EXPECT_EQ(page->toasts()->message(), ChatActions::deletedElsewhereToast(QStringLiteral("Other")));
    EXPECT_EQ(f.db->listChats().size(), 1) << "their chat stays";
}

QStringList contentsOf(const QList<LlamaSession::Turn>& turns)
{
    QStringList texts;
    for (const auto& turn : turns)
        texts.append(turn.content);
    return texts;
}

// Another program deletes "Bravo chat", listed in the open drawer, and gives
// its id to "Tool two". A click on the old row, in the list or among the
// matches of a title or a content search that "Tool two" matches too, opens
// nothing and names the chat the row showed; "Tool two" is listed and left.
TEST(ChatActions, AClickedRowNamesTheChatItShowed)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t alpha = f.savedChat(QStringLiteral("Alpha chat"));
    ChatView* page = f.chatPage();
    ASSERT_NE(page, nullptr);
    ChatDatabase other(f.db->path(), 0);
    for (const QString query : {QString(), QStringLiteral("o"), QStringLiteral("hello")}) {
        const int64_t bravo = f.savedChat(QStringLiteral("Bravo chat"));
        view.chat().openChat(f.row(alpha));
        view.toggleDrawer();
        ASSERT_TRUE(waitUntil([&] { return view.sidebar()->width() == MainView::drawerWidth; }));
        if (!query.isEmpty()) {
            view.sidebar()->openSearch();
            view.sidebar()->setQuery(query);
        }
        SidebarRow* row = view.sidebar()->list()->rowWidget(bravo);
        ASSERT_TRUE(row && row->isVisible()) << query.toStdString();
        const ChatStore::Row shown = row->row();
        ASSERT_TRUE(other.run(QStringLiteral("DELETE FROM chats WHERE id=?"), {bravo}));
        ASSERT_TRUE(other.run(
            QStringLiteral("INSERT INTO chats(id, title, created_at, updated_at) VALUES(?, 'Tool two', ?, ?)"),
            {bravo, shown.createdAt + 1, shown.updatedAt}));
        ASSERT_GE(other.insertMessage(bravo, QStringLiteral("user"), QStringLiteral("Hello from the tool")), 1);
        page->toasts()->show(QStringLiteral("cleared"), ToastKind::info);
        QTest::mouseClick(row->titleButton(), Qt::LeftButton);
        EXPECT_EQ(page->toasts()->message(), ChatActions::deletedElsewhereToast(QStringLiteral("Bravo chat")))
            << query.toStdString();
        EXPECT_EQ(view.history().chatId(), alpha) << query.toStdString();
        EXPECT_EQ(f.row(bravo).title, QStringLiteral("Tool two")) << query.toStdString();
        EXPECT_EQ(f.db->messages(bravo).size(), 1) << query.toStdString();
        ASSERT_TRUE(other.run(QStringLiteral("DELETE FROM chats WHERE id=?"), {bravo}));
        view.sidebar()->closeSearch();
        view.toggleDrawer();
        ASSERT_TRUE(waitUntil([&] { return view.sidebar()->width() == 0; }));
    }
}

// Charlie has a turn waiting behind another program's lock while another
// chat is open and the drawer shows Charlie's row. The holder deletes
// Charlie, gives its id to "Holder three" and commits; at once the user
// clicks Charlie's row. Charlie opens as the chat it is saved again as, with
// every turn, the "saved again" toast and no "deleted elsewhere" one.
TEST(ChatActions, AWaitingChatDeletedElsewhereOpensAsTheChatItBecame)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t alpha = f.savedChat(QStringLiteral("Alpha chat"));
    const int64_t charlie = f.savedChat(QStringLiteral("Charlie chat"));
    const ChatStore::Row charlieRow = f.row(charlie);
    ChatView* page = f.chatPage();
    ASSERT_NE(page, nullptr);
    ChatDatabase holder(f.db->path(), 0);
    f.sendUnderLock(holder, QStringLiteral("Typed under the lock"));
    const QStringList transcript = contentsOf(view.session().turns());
    ASSERT_EQ(transcript.size(), 4);
    view.chat().openChat(f.row(alpha));
    view.toggleDrawer();
    ASSERT_TRUE(waitUntil([&] { return view.sidebar()->width() == MainView::drawerWidth; }));
    SidebarRow* row = view.sidebar()->list()->rowWidget(charlie);
    ASSERT_TRUE(row && row->isVisible());
    Fixture::replaceAndCommit(holder, charlieRow, QStringLiteral("Holder three"));
    page->toasts()->show(QStringLiteral("cleared"), ToastKind::info);
    QTest::mouseClick(row->titleButton(), Qt::LeftButton);
    EXPECT_EQ(page->toasts()->message(), ChatHistory::savedAgainToast(QStringLiteral("Charlie chat")));
    const int64_t became = view.history().chatId();
    EXPECT_GE(became, 1);
    EXPECT_NE(became, charlie);
    EXPECT_EQ(contentsOf(view.session().turns()), transcript);
    EXPECT_EQ(f.db->messages(became).size(), 4);
    EXPECT_EQ(f.row(became).title, QStringLiteral("Charlie chat"));
    EXPECT_EQ(f.row(charlie).title, QStringLiteral("Holder three"));
    EXPECT_TRUE(f.db->messages(charlie).isEmpty());
    EXPECT_FALSE(view.drawerOpen());
    EXPECT_TRUE(page->notSavedNotice()->isHidden());
}

// An export while turns wait to be written would leave them out of the
// file: it is refused until they are stored, then holds them.
TEST(ChatActions, AnExportWaitsForTurnsNotStoredYetAndFollowsTheTypedEnding)
{
    Fixture f;
    f.view->show();
    f.load(QStringLiteral("tiny"));
    const int64_t chat = f.savedChat(QStringLiteral("Alpha chat"));
    ChatDatabase holder(f.db->path(), 0);
    f.sendUnderLock(holder, QStringLiteral("Typed under the lock"));
    const QString md = cvn::test::makeTempFolder("export") + QStringLiteral("/chat.md");
    EXPECT_EQ(f.view->chat().exportChat(f.row(chat), md, true), ChatActions::notStoredYetText);
    EXPECT_FALSE(QFile::exists(md));

    ASSERT_TRUE(holder.exec(QStringLiteral("ROLLBACK")));
    EXPECT_EQ(f.view->chat().exportChat(f.row(chat), md, true), std::nullopt);
    QFile file(md);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Typed under the lock"));
    file.close();

    // A reply is stored once it is done: while it is written, the export
    // says so rather than end the file before it.
    f.load(QStringLiteral("endless"));
    f.view->session().send(QStringLiteral("Keep going"));
    ASSERT_TRUE(f.view->session().isStreaming());
    ASSERT_EQ(f.view->history().chatId(), chat);
    EXPECT_EQ(f.view->chat().exportChat(f.row(chat), md, true), ChatActions::replyNotDoneText);
    f.view->session().stop();
    ASSERT_TRUE(waitUntil([&] { return !f.view->session().isStreaming(); }, 30000));
    EXPECT_EQ(f.view->chat().exportChat(f.row(chat), md, true), std::nullopt);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Keep going"));

    // A name typed with its own ending is written in that format, whatever
    // filter the panel shows.
    EXPECT_FALSE(ChatActions::isMarkdownName(QStringLiteral("/tmp/x.JSON"), true));
    EXPECT_TRUE(ChatActions::isMarkdownName(QStringLiteral("/tmp/x.md"), false));
    EXPECT_TRUE(ChatActions::isMarkdownName(QStringLiteral("/tmp/notes"), true));
    EXPECT_FALSE(ChatActions::isMarkdownName(QStringLiteral("/tmp/notes"), false));
}

// "Delete chat?" is open on the open chat while its turn waits behind a
// lock. Another program deletes the chat, gives its id to a chat of its
// own, and the retry saves ours again as a new chat. DELETE deletes that
// one, the chat the user confirmed, with no "deleted elsewhere" toast; the
// other program's chat under the old id stays.
TEST(ChatActions, AConfirmedDeleteFollowsTheChatSavedAgainMeanwhile)
{
    Fixture f;
    MainView& view = *f.view;
    view.show();
    f.load(QStringLiteral("tiny"));
    const int64_t bravo = f.savedChat(QStringLiteral("Bravo chat"));
    const ChatStore::Row shown = f.row(bravo);
    ChatView* page = f.chatPage();
    ASSERT_NE(page, nullptr);
    ChatDatabase holder(f.db->path(), 0);
    f.sendUnderLock(holder, QStringLiteral("Typed under the lock"));
    view.chat().openMenu(shown);
    view.chat().choose(QStringLiteral("delete"));
    auto* confirm = qobject_cast<CvnConfirmDialog*>(view.overlays().value(0));
    ASSERT_NE(confirm, nullptr);
    Fixture::replaceAndCommit(holder, shown, QStringLiteral("Theirs"));
    EXPECT_TRUE(view.history().retryWrites());
    const int64_t became = view.history().chatId();
    ASSERT_GE(became, 1);
    ASSERT_NE(became, bravo);
    EXPECT_EQ(page->toasts()->message(), ChatHistory::savedAgainToast(QStringLiteral("Bravo chat")));
    EXPECT_EQ(f.db->messages(became).size(), 4);

    page->toasts()->show(QStringLiteral("cleared"), ToastKind::info);
    QTest::mouseClick(confirm->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(page->toasts()->message(), QStringLiteral("cleared"));
    EXPECT_EQ(view.history().chatId(), 0);
    EXPECT_TRUE(view.session().turns().isEmpty());
    EXPECT_TRUE(f.db->messages(became).isEmpty());
    const auto chats = f.db->listChats();
    ASSERT_EQ(chats.size(), 1);
    EXPECT_EQ(std::pair(chats[0].id, chats[0].title), std::pair(bravo, QStringLiteral("Theirs")));
}

ChatImage pngOf(const QString& name, QRgb color)
{
    QImage image(24, 24, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {name, bytes};
}

// What a reply's model learnt of a chat's images is stored with them: no
// reply after a restart decodes them again to make its prompt, and facts
// another projector learnt are learnt again once and stored over.
TEST(ChatActions, AChatsImagesAreDecodedByNoReplyAfterARestart)
{
    Fixture f;
    f.folder.add(QStringLiteral("seer"), {kHello});
    ASSERT_EQ(testmodel::writeRandomProjector((f.folder.path + QStringLiteral("/mmproj-seer-f16.gguf")).toStdString(),
                                              testmodel::ProjectorSpec{}),
              "");
    f.store->reload();
    f.load(QStringLiteral("seer"));
    ASSERT_TRUE(f.view->session().model()->seesImages());
    LogCapture log;
    const auto decodes = [&] { return log.taken().filter(QStringLiteral("Read an image of 24 x 24 pixels")).size(); };
    f.view->chat().startNewChat();
    const QList<ChatImage> images{pngOf(QStringLiteral("a.png"), qRgb(200, 20, 20)),
                                  pngOf(QStringLiteral("b.png"), qRgb(20, 20, 200))};
    f.view->session().send(QStringLiteral("What are these?"), images);
    ASSERT_TRUE(waitUntil([&] { return !f.view->session().isStreaming(); }, 30000));
    const int64_t chat = f.view->history().chatId();
    ASSERT_GE(chat, 1);
    EXPECT_EQ(decodes(), 2);

    // The window closed and opened again on the same files; the chat
    // opened and asked on.
    const QString path = f.db->path();
    const auto restartAndAsk = [&](const QString& text) {
        f.view->session().promptCache().store()->flush();
        f.view.reset();
        f.chats.reset();
        f.db.reset();
        f.db = std::make_unique<ChatDatabase>(path, ChatDatabase::mainThreadBusyTimeoutMs);
        f.chats = std::make_unique<ChatStore>(*f.db);
        f.view = std::make_unique<MainView>(*f.store, *f.chats);
        f.load(QStringLiteral("seer"));
        ASSERT_TRUE(waitUntil([&] { return !f.chats->rows().isEmpty(); }));
        ASSERT_TRUE(f.view->chat().openChat(f.row(chat)));
        ASSERT_EQ(f.view->session().turns().value(0).images.size(), 2);
        log.clear();
        f.exchange(text);
        EXPECT_EQ(f.view->session().turns().constLast().content, QStringLiteral(" Hello"));
    };
    restartAndAsk(QStringLiteral("And now?"));
    EXPECT_EQ(decodes(), 0);

    ASSERT_TRUE(f.db->run(QStringLiteral("UPDATE message_images SET facts_key='another projector'")));
    restartAndAsk(QStringLiteral("And then?"));
    EXPECT_EQ(decodes(), 2);
    restartAndAsk(QStringLiteral("And at last?"));
    EXPECT_EQ(decodes(), 0);
}

} // namespace
} // namespace cvn
