// Picking, loading and reloading models from the main view, offscreen.

#include "MainViewFixture.h"

namespace cvn {
namespace {

using namespace cvn::test;

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

} // namespace
} // namespace cvn
