// The main view driven offscreen over scripted models in a folder of their
// own, a real chat database and real settings in temporary folders.

#include "app/ChatActions.h"
#include "app/MainView.h"
#include "LoopbackClient.h"
#include "apiserver/ApiServer.h"
#include "app/MenuBarStatus.h"
#include "app/ModelSelection.h"
#include "attachments/AttachmentStager.h"
#include "chat/sidebar/SidebarList.h"
#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"
#include "chat/shared/AppSignals.h"
#include "attachments/views/StagedStrip.h"
#include "chat/ChatView.h"
#include "chat/composer/ComposerEditor.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/TranscriptColumn.h"
#include "chat/NoticeLine.h"
#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/shared/DebugPanel.h"
#include "chat/shared/Toasts.h"
#include "engine/ChildWriter.h"
#include "engine/PromptCache.h"
#include "engine/QtPrinters.h"
#include "engine/TestModels.h"
#include "models/MemoryEstimates.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "screens/AttachSheetOverlay.h"
#include "screens/ModelsScreen.h"
#include "screens/ReplyCachePage.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/CvnTextArea.h"
#include "ui_kit/CvnTextAreaDialog.h"

#include <QFile>
#include <QFileDialog>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

namespace cvn {
namespace {

using namespace cvn::test;
using Page = MainView::Page;

const std::vector<std::string> kHello = {kPromptEnd, "▁Hello", "</s>"};
const std::vector<std::string> kEndless = {kPromptEnd, "▁A", "▁B", "▁A"};

void writeZeros(const QString& path, int bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, '\0'));
}

// One window's worth of state: models folder, chat database, the view.
struct Fixture {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<ChatDatabase> db;
    std::unique_ptr<ChatStore> chats;
    std::unique_ptr<MainView> view;
    SystemFacts::Override facts{SystemFacts{RigInfo{16384, 8192, QStringLiteral("Test CPU")}, 4}};

    explicit Fixture(bool introShown = true)
    {
        AppSettings::setValue(MainView::hardwareIntroKey, introShown);
        AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), false);
        folder.add(QStringLiteral("tiny"), {kHello});
        folder.add(QStringLiteral("endless"), {kEndless});
        store = std::make_unique<ModelStore>(folder.path);
        db = std::make_unique<ChatDatabase>(makeTempFolder() + QStringLiteral("/chats.db"),
                                            ChatDatabase::mainThreadBusyTimeoutMs);
        chats = std::make_unique<ChatStore>(*db);
        view = std::make_unique<MainView>(*store, *chats);
        view->resize(1280, 800);
    }
    QUuid id(const QString& name) const { return modelNamed(store->models(), name).id; }
    bool loaded(const QString& name) const { return view->session().loadedModelName() == name; }
    void load(const QString& name)
    {
        view->models().select(id(name));
        ASSERT_TRUE(waitUntil([&] { return loaded(name); }, 30000));
    }
    void exchange(const QString& text)
    {
        view->session().send(text);
        ASSERT_TRUE(waitUntil([&] { return !view->session().isStreaming(); }, 30000));
    }
    int64_t savedChat(const QString& text)
    {
        view->chat().startNewChat();
        exchange(text);
        return view->history().chatId();
    }
    // The drawer's row for chat `id`.
    ChatStore::Row row(int64_t id) const
    {
        for (const ChatStore::Row& row : chats->rows()) {
            if (row.id == id)
                return row;
        }
        ADD_FAILURE() << "no row for chat " << id;
        return {};
    }
    ChatView* chatPage() const { return qobject_cast<ChatView*>(view->pageWidget()); }
    // Another program takes the write lock on `holder`; `text` is sent and
    // answered, and the open chat's turns wait.
    void sendUnderLock(ChatDatabase& holder, const QString& text)
    {
        ASSERT_TRUE(holder.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        exchange(text);
        ASSERT_TRUE(view->history().hasWaitingWrites());
    }
    // The lock's holder deletes the row's chat with its messages, gives its
    // id to a chat of its own called `title`, and commits.
    static void replaceAndCommit(ChatDatabase& holder, const ChatStore::Row& row, const QString& title)
    {
        ASSERT_TRUE(holder.exec(QStringLiteral("DELETE FROM messages WHERE chat_id=%1; DELETE FROM chats WHERE id=%1;"
                                               "INSERT INTO chats(id, title, created_at) VALUES(%1, '%3', %2); COMMIT")
                                    .arg(row.id)
                                    .arg(row.createdAt + 1)
                                    .arg(title)));
    }
};

TEST(ModelSelection, PickableListAndContextSize)
{
    ModelInfo plain{.displayName = QStringLiteral("a"), .fileName = QStringLiteral("a.gguf")};
    ModelInfo named{.displayName = QStringLiteral("x"), .fileName = QStringLiteral("sub/MMPROJ-x.gguf")};
    ModelInfo clip{.displayName = QStringLiteral("c"), .fileName = QStringLiteral("c.gguf")};
    clip.discoveredMetadata = GgufInfo{};
    clip.discoveredMetadata->architecture = QStringLiteral("CLIP");
    ModelInfo flagged{.displayName = QStringLiteral("f"), .fileName = QStringLiteral("f.gguf")};
    flagged.visionAdapterFile = true;
    const auto kept = ModelSelection::pickable({plain, named, clip, flagged});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(kept[0].id, plain.id);

    Fixture f;
    ModelSelection& models = f.view->models();
    EXPECT_EQ(models.contextSize(), 4096);
    // Current but not yet loaded: what a load would plan at the free memory.
    const ModelInfo tiny = modelNamed(f.store->models(), QStringLiteral("tiny"));
    // The load answers on the main thread, so until the loop runs the model
    // is current but not loaded.
    models.select(tiny.id);
    EXPECT_EQ(models.currentModelName(), QStringLiteral("tiny"));
    EXPECT_EQ(models.contextSize(), autoContextForRam(tiny.effectiveMetadata(), 8192).contextSize);
    ASSERT_TRUE(waitUntil([&] { return f.loaded(QStringLiteral("tiny")); }, 30000));
    EXPECT_EQ(models.contextSize(), f.view->session().loadedContextSize());
}

TEST(ModelSelection, FailuresAdaptersStalePicksAndRescans)
{
    Fixture f;
    writeZeros(f.folder.path + QStringLiteral("/broken.gguf"), 4096);
    QFile::copy(randomModel(), f.folder.path + QStringLiteral("/mmproj-x.gguf"));
    f.store->reload();
    ModelSelection& models = f.view->models();

    models.select(f.id(QStringLiteral("broken")));
    ASSERT_TRUE(waitUntil([&] { return models.loadFailure().has_value(); }, 30000));
    EXPECT_EQ(ModelSelection::failureBody(*models.loadFailure()),
              QStringLiteral("broken could not be loaded.\n\nReason: llama.cpp could not load this file as a model "
                             "(llama_model_load_from_file returned null).\n\nCommon causes: not enough free RAM for "
                             "this model; the wrong kind of file (a vision adapter, mmproj-*.gguf, is not a model); "
                             "or a corrupt or incomplete download."));
    const QList<QWidget*> shown = f.view->overlays();
    ASSERT_EQ(shown.size(), 1);
    auto* dialog = qobject_cast<CvnConfirmDialog*>(shown.last());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->confirmButton()->text(), QStringLiteral("OK"));
    EXPECT_EQ(dialog->cancelButton(), nullptr);
    EXPECT_EQ(models.currentModelId(), std::nullopt);
    EXPECT_EQ(models.currentModelName(), std::nullopt);
    EXPECT_EQ(f.view->session().loadedModelId(), std::nullopt);
    QTest::mouseClick(dialog->confirmButton(), Qt::LeftButton);
    EXPECT_TRUE(f.view->overlays().isEmpty());

    // A vision adapter picked anyway: a note, and the choice stays.
    models.select(f.id(QStringLiteral("mmproj x")));
    ASSERT_FALSE(f.view->session().turns().isEmpty());
    EXPECT_EQ(f.view->session().turns().last().state.failureMessage,
              QStringLiteral("mmproj-x.gguf is a vision adapter, not a model. Load the paired main GGUF instead "
                             "(e.g. Qwen3-2B-Uncensored-Q4_K_M.gguf). Corvanthelis does not use vision adapters "
                             "yet, so this file can stay in the folder or be removed."));
    EXPECT_EQ(models.currentModelId(), std::nullopt);

    // The broken pick is overtaken by a good one before it fails.
    models.select(f.id(QStringLiteral("broken")));
    models.select(f.id(QStringLiteral("tiny")));
    ASSERT_TRUE(waitUntil([&] { return f.loaded(QStringLiteral("tiny")); }, 30000));
    QTest::qWait(0);
    EXPECT_EQ(models.currentModelName(), QStringLiteral("tiny"));
    EXPECT_FALSE(models.loadFailure().has_value());
    EXPECT_EQ(MenuBarStatus::loadedModelName(), QStringLiteral("tiny"));

    // A list with new ids for every record (as a rescan may publish): the
    // choice still resolves, and
    // the loaded model counts as the current one without a second load.
    int loads = 0;
    f.view->session().setLoadHook([&] { ++loads; });
    QList<ModelInfo> renewed = f.store->models();
    for (ModelInfo& model : renewed)
        model.id = QUuid::createUuid();
    f.store->setModels(renewed);
    EXPECT_NE(f.view->session().loadedModelId(), f.id(QStringLiteral("tiny")));
    EXPECT_EQ(models.currentModelName(), QStringLiteral("tiny"));
    EXPECT_EQ(models.contextSize(), f.view->session().loadedContextSize());
    std::optional<bool> ready;
    models.prepare([&](bool ok) { ready = ok; });
    EXPECT_EQ(ready, true);
    EXPECT_EQ(loads, 0);

    // Current but unloaded: one load, then ready.
    f.view->session().unloadModel();
    ready.reset();
    models.prepare([&](bool ok) { ready = ok; });
    ASSERT_TRUE(waitUntil([&] { return ready.has_value(); }, 30000));
    EXPECT_EQ(ready, true);
    EXPECT_EQ(loads, 1);
}

// A council leaves its last member in the model slot without picking it: a
// send with no model picked asks for one, as it does after start, instead
// of being answered by that member.
TEST(ModelSelection, ASendWithNoModelPickedAsksForOneAfterACouncil)
{
    Fixture f;
    LlamaSession& session = f.view->session();
    session.sendCouncil(QStringLiteral("@tiny Hi"), QStringLiteral("Hi"),
                        {modelNamed(f.store->models(), QStringLiteral("tiny"))}, {});
    ASSERT_TRUE(waitUntil([&] { return !session.councilActive(); }, 30000));
    ASSERT_TRUE(f.loaded(QStringLiteral("tiny")));
    f.view->startNewChat();
    EXPECT_EQ(f.view->models().currentModelName(), std::nullopt);

    ComposerEditor* editor = f.chatPage()->composer()->editor();
    editor->setText(QStringLiteral("Hi"));
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return session.turns().size() == 2 && !session.isStreaming(); }, 30000));
    EXPECT_EQ(session.turns().first().content, QStringLiteral("Hi"));
    EXPECT_EQ(session.turns().last().state.failureMessage,
              QStringLiteral("No model loaded — pick one with SELECT A MODEL."));
}

// The current model's file replaced since it was loaded: a send loads it
// again first, through the pick's own path, with the new file's template and
// context; a file that no longer loads gets the usual dialog and leaves no
// model, whether a send or a resend found it.
TEST(ModelSelection, ChangedFileIsLoadedAgainBeforeTheNextReply)
{
    Fixture f;
    ModelsFolder spare;
    spare.add(QStringLiteral("other"), {{kPromptEnd, "▁world", "</s>"}}, "llama-spm", 16384,
              "{{ '<|start_header_id|>' }}");
    spare.add(QStringLiteral("gemma"), {kHello}, "llama-spm", 8192, "{{ '<start_of_turn>' }}");
    writeZeros(spare.path + QStringLiteral("/zeros.gguf"), 4096);
    const QString file = f.folder.path + QStringLiteral("/tiny.gguf");
    const QString notAModel =
        QStringLiteral("llama.cpp could not load this file as a model (llama_model_load_from_file returned null)");
    ModelSelection& models = f.view->models();
    LlamaSession& session = f.view->session();
    f.load(QStringLiteral("tiny"));
    int loads = 0;
    session.setLoadHook([&] { ++loads; });
    std::optional<bool> ready;
    const auto prepare = [&] {
        ready.reset();
        models.prepare([&](bool ok) { ready = ok; });
        return waitUntil([&] { return ready.has_value(); }, 30000);
    };

    ASSERT_TRUE(prepare());
    EXPECT_EQ(std::tuple(*ready, loads), std::tuple(true, 0));

    const QUuid tiny = f.id(QStringLiteral("tiny"));
    replaceByRename(spare.path + QStringLiteral("/other.gguf"), file);
    ASSERT_TRUE(prepare());
    EXPECT_EQ(std::tuple(*ready, loads), std::tuple(true, 1));
    EXPECT_TRUE(f.loaded(QStringLiteral("tiny")));
    EXPECT_EQ(std::tuple(session.chatTemplate().rawValue(), session.loadedContextSize(), models.contextSize()),
              std::tuple(QStringLiteral("llama"), 16384, 16384));
    EXPECT_EQ(std::tuple(models.currentModelId(), models.currentModel()->trainedContext),
              std::tuple(std::optional(tiny), std::optional<int64_t>(16384)));
    f.exchange(QStringLiteral("Hi"));
    EXPECT_EQ(session.turns().last().content, QStringLiteral(" world"));

    replaceByRename(spare.path + QStringLiteral("/zeros.gguf"), file);
    ASSERT_TRUE(prepare());
    EXPECT_EQ(std::tuple(*ready, loads), std::tuple(false, 2));
    EXPECT_EQ(models.loadFailure(), (ModelSelection::LoadFailure{QStringLiteral("tiny"), notAModel}));
    EXPECT_EQ(models.currentModelId(), std::nullopt);
    EXPECT_EQ(session.loadedModelId(), std::nullopt);
    ASSERT_EQ(f.view->overlays().size(), 1);
    models.clearLoadFailure();

    // A resend goes to the engine without asking first: the engine loads
    // the file again itself, and its failure is told the same way.
    replaceByRename(spare.path + QStringLiteral("/other.gguf"), file);
    f.load(QStringLiteral("tiny"));
    replaceByRename(spare.path + QStringLiteral("/zeros.gguf"), file);
    session.regenerate(session.turns().first().id);
    ASSERT_TRUE(waitUntil([&] { return !session.isStreaming(); }, 30000));
    EXPECT_EQ(session.turns().last().state.failureMessage,
              QStringLiteral("No model loaded — pick one with SELECT A MODEL."));
    EXPECT_EQ(models.loadFailure(), (ModelSelection::LoadFailure{QStringLiteral("tiny"), notAModel}));
    EXPECT_EQ(models.currentModelId(), std::nullopt);
    EXPECT_EQ(session.loadedModelId(), std::nullopt);
    EXPECT_EQ(loads, 4);
    ASSERT_EQ(f.view->overlays().size(), 1);
    EXPECT_NE(qobject_cast<CvnConfirmDialog*>(f.view->overlays().last()), nullptr);

    // Current but not loaded when its file is replaced: a send's load reads
    // the new file too.
    replaceByRename(spare.path + QStringLiteral("/other.gguf"), file);
    f.load(QStringLiteral("tiny"));
    session.unloadModel();
    replaceByRename(spare.path + QStringLiteral("/gemma.gguf"), file);
    ASSERT_TRUE(prepare());
    EXPECT_EQ(std::tuple(*ready, session.chatTemplate().rawValue(), session.loadedContextSize()),
              std::tuple(true, QStringLiteral("gemma"), 8192));
}

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

// Another program opening the model's file as a reply starts: the reply,
// stopped before its first token, keeps its bubble with a note that says
// why, and so does a council member's. A send that waits for that program
// shows the wait with a stop button, which gives the text back.
TEST(ModelSelection, AnotherProgramWritingTheModelFile)
{
    Fixture f;
    const QString file = f.folder.path + QStringLiteral("/tiny.gguf");
    const QString note = QStringLiteral("Stopped: another program is rewriting the model file");
    LlamaSession& session = f.view->session();
    ChatView* chat = f.chatPage();
    ASSERT_NE(chat, nullptr);
    std::unique_ptr<ChildWriter> writer;
    // The writer opens the file once the prompt is decoded; the run goes on
    // once the model was told to let go, and stops before its first token.
    const auto loadWithABreakAhead = [&] {
        writer.reset();
        f.load(QStringLiteral("tiny"));
        LlamaModel* model = session.model().get();
        model->setTestHooks({.afterPromptSlice = [&writer, model, file](int64_t) {
            writer = std::make_unique<ChildWriter>(file, O_WRONLY);
            for (int i = 0; i < 2000 && !model->stopRequested(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }});
    };
    const auto lastBubble = [&] {
        waitUntil([&] { return chat->transcript()->rowCount() == session.turns().size(); }, 5000);
        return chat->transcript()->bubble(chat->transcript()->rowCount() - 1);
    };

    loadWithABreakAhead();
    f.exchange(QStringLiteral("Hi"));
    MessageBubble* stopped = lastBubble();
    ASSERT_NE(stopped, nullptr);
    EXPECT_EQ(std::tuple(stopped->layoutKind(), stopped->turn().state.failureMessage),
              std::tuple(MessageBubble::Layout::failure, note));

    loadWithABreakAhead();
    session.sendCouncil(QStringLiteral("@tiny Hi"), QStringLiteral("Hi"), {f.store->model(f.id(QStringLiteral("tiny"))).value()},
                        {});
    ASSERT_TRUE(waitUntil([&] { return !session.isStreaming(); }, 30000));
    stopped = lastBubble();
    ASSERT_NE(stopped, nullptr);
    EXPECT_EQ(std::tuple(stopped->layoutKind(), stopped->turn().state.failureMessage, stopped->turn().modelName),
              std::tuple(MessageBubble::Layout::failure, note, std::optional(QStringLiteral("tiny"))));

    // The model let go of the file for the writer, which holds it open.
    writer = std::make_unique<ChildWriter>(file, O_WRONLY | O_APPEND);
    ASSERT_TRUE(writer->opened(20000));
    chat->composer()->editor()->setText(QStringLiteral("keep me"));
    chat->composer()->send();
    ASSERT_TRUE(waitUntil([&] { return chat->statusLine()->isVisibleTo(chat); }, 20000));
    EXPECT_EQ(chat->statusLine()->text(), QStringLiteral("Waiting for another program to finish writing tiny…"));
    QAbstractButton* stop = nullptr;
    for (QAbstractButton* button : chat->composer()->findChildren<QAbstractButton*>())
        stop = button->toolTip() == QStringLiteral("Stop") ? button : stop;
    ASSERT_NE(stop, nullptr);
    ASSERT_TRUE(stop->isVisibleTo(chat));
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return chat->composer()->text() == QStringLiteral("keep me"); }, 5000));
    EXPECT_FALSE(chat->statusLine()->isVisibleTo(chat));
    EXPECT_FALSE(stop->isVisibleTo(chat));
    EXPECT_TRUE(f.view->overlays().isEmpty());
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
