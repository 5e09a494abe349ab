#include "Fakes.h"
#include "engine/LlamaSession.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/CvnTextArea.h"

#include <QLineEdit>
#include <QTest>

namespace cvn {
namespace {

using EditModelFormTest = test::KitTest;
using test::sampleModel;

TEST(EditModelFormModel, CaptionsAndTheRamWarning)
{
    EditModelFormModel form(sampleModel(), 6144);
    EXPECT_EQ(form.stepIndex(), 1);
    EXPECT_EQ(form.autoCaption(), QStringLiteral("Current: 4096 tokens (uses ~512 MB extra RAM)"));
    form.setManual(true);
    form.setStepIndex(2);
    EXPECT_EQ(form.manualCaption(), QStringLiteral("8192 / 32768  —  uses ~1024 MB extra RAM"));
    EXPECT_EQ(form.trainedCaption(), QStringLiteral("Model was trained for up to 32768 tokens"));
    EXPECT_EQ(form.ramWarning(), QStringLiteral("Not enough free RAM (need ~6.1 GB, have 6.0 GB) — may fail to load"));

    // The need is file + cache + 1180 MB, and only a shortfall warns: 3940 +
    // 4096 + 1180 = 9216; without layer facts there is no cache: 4000 + 1180.
    ModelInfo unknown = sampleModel();
    unknown.discoveredMetadata->nLayers = 0;
    const struct { ModelInfo model; uint64_t freeMb; bool manual; bool warns; } cases[] = {
        {sampleModel(32768, 3940), 9215, true, true}, {sampleModel(32768, 3940), 9216, true, false},
        {sampleModel(32768, 3940), 100, false, false}, {unknown, 5179, true, true}, {unknown, 5180, true, false}};
    for (const auto& c : cases) {
        EditModelFormModel f(c.model, c.freeMb);
        f.setManual(c.manual);
        f.setStepIndex(4);
        EXPECT_EQ(f.showsRamWarning(), c.warns) << c.freeMb;
    }
}

TEST(EditModelFormModel, TheProjectorChoiceIsWrittenAndItsMemoryCounted)
{
    using test::sampleProjector;
    const ModelInfo model = sampleModel(32768, 3940);
    const QList<ModelInfo> all{model, sampleProjector("mmproj-other-f16.gguf"),
                               sampleProjector("mmproj-Sample-Model-f16.gguf"), sampleProjector("mmproj-narrow.gguf", 2048)};
    const EditModelFormModel::Projectors projectors{
        all, [](const ModelInfo& p) { return p.fileName.contains(u"other") ? int64_t(300) : int64_t(700); }};
    EditModelFormModel form(model, projectors, 9216 + 700);
    EXPECT_EQ(form.projectorChoices(), (QStringList{"Automatic \u2014 mmproj-Sample-Model-f16", "mmproj-other-f16",
                                                    "mmproj-Sample-Model-f16", "None"}));
    EXPECT_EQ(form.projectorIndex(), 0);
    EXPECT_EQ(form.projectorMb(), 700);
    form.setManual(true);
    form.setStepIndex(4);
    EXPECT_FALSE(form.showsRamWarning());
    EditModelFormModel tight(model, projectors, 9216 + 699);
    tight.setManual(true);
    tight.setStepIndex(4);
    EXPECT_TRUE(tight.showsRamWarning());
    form.setProjectorIndex(1);
    EXPECT_EQ(form.projectorMb(), 300);
    EXPECT_EQ(form.apply(model).projectorChoice, "mmproj-other-f16.gguf");
    form.setProjectorIndex(3);
    EXPECT_EQ(form.apply(model).projectorChoice, ModelInfo::noProjector);
    EXPECT_EQ(form.projectorMb(), 0);
    form.setProjectorIndex(0);
    EXPECT_EQ(form.apply(model).projectorChoice, "");

    // A choice whose file went away acts, and shows, as automatic, but
    // stays the user's until they choose again.
    ModelInfo stale = model;
    stale.projectorChoice = "mmproj-gone.gguf";
    EditModelFormModel staleForm(stale, projectors, 9216 + 700);
    EXPECT_EQ(staleForm.projectorIndex(), 0);
    EXPECT_EQ(staleForm.projectorMb(), 700);
    EXPECT_EQ(staleForm.apply(stale).projectorChoice, "mmproj-gone.gguf");

    // Nothing fits: no choice, only the reason; the need is the model's own.
    EditModelFormModel alone(model, EditModelFormModel::Projectors{{model, all[3]}, projectors.memoryMb}, 9216);
    EXPECT_FALSE(alone.offersProjectors());
    EXPECT_TRUE(alone.projectorChoices().isEmpty());
    EXPECT_EQ(alone.projectorMb(), 0);
    EXPECT_TRUE(alone.projectorCaption().startsWith("No projector"));
    EXPECT_FALSE(EditModelFormModel(all[1], projectors, 9216).showsImages());
}

TEST(EditModelFormModel, TheNeedLeavesOutWhatTheGpuTakesAsTheAddFlowDoes)
{
    // 3940 + 4096 + 1180 = 9216 MB at 32768 tokens. A GPU with 16 GB free
    // takes every layer; RAM keeps the runtime's 1180.
    const SystemFacts facts{.rig = {.ramTotalMb = 16384, .ramFreeMb = 4000, .cpuShortName = QStringLiteral("CPU"),
                                    .gpuName = QStringLiteral("Radeon RX 7600"), .gpuVramMb = 16384,
                                    .isUsableForInference = true},
                            .processorCount = 8, .gpuUsable = true, .gpuFreeMb = 16384};
    const ModelInfo model = sampleModel(32768, 3940);
    {
        const SystemFacts::Override machine(facts);
        EditModelFormModel form(model, EditModelFormModel::Projectors{});
        form.setManual(true);
        form.setStepIndex(4);
        EXPECT_EQ(form.needMb(), 1180);
        EXPECT_EQ(form.needMb(), ModelFitCheck::need(9216, 0, model.discoveredMetadata, ModelFitCheck::offloadGpu(facts)).ramMb);
        EXPECT_FALSE(form.showsRamWarning());
    }
    // The same device with 16 GB in all but 1 GB free holds no layer.
    SystemFacts busy = facts;
    busy.gpuFreeMb = 1024;
    const SystemFacts::Override machine(busy);
    EditModelFormModel form(model, EditModelFormModel::Projectors{});
    form.setManual(true);
    form.setStepIndex(4);
    EXPECT_EQ(form.needMb(), 9216);
    EXPECT_TRUE(form.showsRamWarning());
}

TEST(EditModelFormModel, StepsFollowTheTrainedContext)
{
    const QList<int64_t> seven{2048, 4096, 8192, 16384, 32768, 65536, 131072};
    const struct { int64_t trained; QList<int64_t> steps; } cases[] = {
        {131072, seven}, {200000, seven}, {4095, {2048}}, {1000, {2048}}, {0, seven.mid(0, 5)}};
    for (const auto& c : cases)
        EXPECT_EQ(EditModelFormModel(sampleModel(c.trained), 6144).steps(), c.steps) << c.trained;
    EXPECT_EQ(EditModelFormModel(sampleModel(0), 6144).trainedCaption(),
              QStringLiteral("Model was trained for up to 32768 tokens"));
}

TEST(EditModelFormModel, OpensOnTheStoredChoices)
{
    const struct { QString mode; std::optional<int64_t> size; bool manual; int64_t selected; } cases[] = {
        {"manual", 6000, true, 8192}, {"manual", 500000, true, 32768}, {"Manual", 6000, false, 8192},
        {"auto", std::nullopt, false, 4096}};
    for (const auto& c : cases) {
        ModelInfo m = sampleModel();
        m.contextMode = c.mode;
        m.contextSizeManual = c.size;
        EditModelFormModel form(m, 6144);
        EXPECT_EQ(form.manual(), c.manual) << c.mode.toStdString();
        EXPECT_EQ(form.selectedContext(), c.selected) << c.mode.toStdString();
    }
    const struct { std::optional<QString> stored; int index; } templates[] = {
        {"chatml", 1}, {"command-r", 10}, {"Falcon", 15}, {"", 0}, {"vicuna", 0}, {std::nullopt, 0}};
    for (const auto& c : templates)
        EXPECT_EQ(EditModelFormModel::templateIndexForSetting(c.stored), c.index) << c.stored.value_or("-").toStdString();
}

TEST(EditModelFormModel, NamesAreCutAtEightyGraphemesAndTrimmed)
{
    EditModelFormModel form(sampleModel(), 6144);
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    // A family emoji of four code points joined by ZWJs counts as one.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    form.setName(QString(79, u'b') + family + QStringLiteral("cdef"));
    EXPECT_EQ(form.name(), QString(79, u'b') + family);
    form.setName(QStringLiteral("   "));
    EXPECT_EQ(form.apply(sampleModel()).displayName, QStringLiteral("Sample Model"));
    form.setName(QStringLiteral(" x \n"));
    EXPECT_EQ(form.apply(sampleModel()).displayName, QStringLiteral("x"));
    form.chooseNameMode(EditModelFormModel::NameMode::Auto);
    EXPECT_EQ(form.name(), QStringLiteral("Sample Model"));
}

// What the form saves is what the next load uses, in this run and after a
// relaunch (a new store over the same folder); "Auto-detect" and automatic
// mode clear what they replace.
TEST(EditModelFormModel, SavedChoicesDriveTheNextLoadAndSurviveARelaunch)
{
    const QString folder = test::makeTempFolder("models");
    test::writeModel(folder, "m.gguf", "llama", 32768);
    auto store = std::make_unique<ModelStore>(folder);
    const ModelInfo before = store->models()[0];
    ASSERT_NE(LlamaSession::contextSizeFor(before, 60000), 16384) << "the automatic size differs";

    EditModelFormModel form(before, 60000);
    form.setManual(true);
    form.setStepIndex(int(form.steps().indexOf(16384)));
    form.setTemplateIndex(10);
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    form.setName(QStringLiteral("Mine"));
    store->setModels({form.apply(before)});
    store = std::make_unique<ModelStore>(folder);
    ASSERT_EQ(store->models().size(), 1);
    ModelInfo relaunched = store->models()[0];
    EXPECT_EQ(relaunched.displayName, QStringLiteral("Mine"));
    EXPECT_EQ(relaunched.chatTemplate, QStringLiteral("Command-R"));
    EXPECT_EQ(LlamaSession::contextSizeFor(relaunched, 60000), 16384);

    EditModelFormModel again(relaunched, 60000);
    again.setTemplateIndex(0);
    again.setManual(false);
    relaunched = again.apply(relaunched);
    EXPECT_EQ(relaunched.chatTemplate, std::nullopt);
    EXPECT_EQ(relaunched.contextMode, QStringLiteral("auto"));
    EXPECT_EQ(relaunched.contextSizeManual, std::nullopt);
}

TEST_F(EditModelFormTest, RowsFollowTheChoices)
{
    EditModelFormModel model(sampleModel(), 6144);
    QWidget host;
    host.resize(600, 900);
    auto* form = new EditModelForm(&model, &host);
    test::showAndSettle(host);
    EXPECT_EQ(form->width(), 520);
    EXPECT_EQ(form->autoNameChoice()->text(), QStringLiteral("Auto-cleaned: Sample Model"));
    EXPECT_EQ(form->originalNameChoice()->text(), QStringLiteral("Original filename: Sample-Model.Q4"));
    EXPECT_FALSE(form->nameField()->isEnabled());
    EXPECT_FALSE(form->manualCaption()->isVisibleTo(form));
    EXPECT_FALSE(form->slider()->isEnabled());

    QTest::mouseClick(form->manualContextChoice(), Qt::LeftButton);
    EXPECT_TRUE(model.manual() && form->slider()->isEnabled());
    EXPECT_FALSE(form->autoCaption()->isVisibleTo(form));
    EXPECT_FALSE(form->warning()->isVisibleTo(form)) << "4096 fits";
    emit form->slider()->valueWritten(2);
    EXPECT_EQ(form->manualCaption()->text(), QStringLiteral("8192 / 32768  —  uses ~1024 MB extra RAM"));
    EXPECT_TRUE(form->warning()->isVisibleTo(form));
    EXPECT_EQ(form->warning()->color()(Appearance::Light), QColor(0xF2, 0x8B, 0x93));

    // A typed name stops at 80; the file-name choice replaces it, and
    // "Custom" afterwards keeps that text to edit.
    QTest::mouseClick(form->customNameChoice(), Qt::LeftButton);
    ASSERT_TRUE(form->nameField()->isEnabled());
    form->nameField()->setFocus();
    form->nameField()->selectAll();
    QTest::keyClicks(form->nameField(), QString(85, u'x'));
    EXPECT_EQ(model.name(), QString(80, u'x'));
    QTest::mouseClick(form->originalNameChoice(), Qt::LeftButton);
    EXPECT_FALSE(form->nameField()->isEnabled());
    QTest::mouseClick(form->customNameChoice(), Qt::LeftButton);
    EXPECT_EQ(form->nameField()->text(), QStringLiteral("Sample-Model.Q4"));
    EXPECT_TRUE(form->nameField()->isEnabled());
}

TEST_F(EditModelFormTest, TheImagesSectionOffersWhatFitsOrSaysWhyNot)
{
    const ModelInfo sample = sampleModel();
    const QList<ModelInfo> all{sample, test::sampleProjector("mmproj-Sample-Model-f16.gguf")};
    EditModelFormModel model(sample, {all, [](const ModelInfo&) { return int64_t(600); }}, 6144);
    QWidget host;
    host.resize(600, 1400);
    auto* form = new EditModelForm(&model, &host);
    test::showAndSettle(host);
    ASSERT_TRUE(form->projectorChoice()->isVisibleTo(form));
    EXPECT_EQ(form->projectorCaption()->text(), "Sees images; the projector uses ~600 MB more RAM");
    emit form->projectorChoice()->selectionWritten(2);
    EXPECT_EQ(model.projectorChoice(), ModelInfo::noProjector);
    EXPECT_EQ(form->projectorChoice()->selection(), 2);
    EXPECT_EQ(form->projectorCaption()->text(), "Images reach this model as the text read from them.");

    EditModelFormModel alone(sample, 6144);
    auto* without = new EditModelForm(&alone, &host);
    test::showAndSettle(host);
    EXPECT_TRUE(without->imagesSection()->isVisibleTo(without));
    EXPECT_FALSE(without->projectorChoice()->isVisibleTo(without));
    EXPECT_TRUE(without->projectorCaption()->text().startsWith("No projector"));
    EditModelFormModel projector(all[1], 6144);
    EXPECT_TRUE(EditModelForm(&projector).imagesSection()->isHidden());
}

// Typed sampling values out of range are refused in place with the range
// shown, and the value kept; the limit and seed fields follow their choice;
// "Restore defaults" brings every setting back, and what is saved is what
// the form holds.
TEST_F(EditModelFormTest, SamplingRangesRefusalsAndRestoreDefaults)
{
    using Setting = EditModelFormModel::Setting;
    ModelInfo stored = sampleModel();
    stored.instructions = QStringLiteral("Be brief.");
    EditModelFormModel model(stored, 6144);
    QWidget host;
    host.resize(600, 1800);
    auto* form = new EditModelForm(&model, &host);
    test::showAndSettle(host);
    EXPECT_EQ(form->instructionsField()->toPlainText(), QStringLiteral("Be brief."));
    EXPECT_EQ(form->instructionsField()->limit(), 20000);
    EXPECT_EQ(form->samplingField(Setting::temperature)->text(), QStringLiteral("0.8"));
    EXPECT_EQ(form->samplingField(Setting::topP)->text(), QStringLiteral("0.95"));
    EXPECT_FALSE(form->samplingField(Setting::seed)->isEnabled());
    EXPECT_TRUE(form->autoLimitChoice()->isOn());

    const auto type = [&](Setting setting, const QString& text) {
        QLineEdit* field = form->samplingField(setting);
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
        return form->refusalRow(setting)->isVisibleTo(form);
    };
    EXPECT_TRUE(type(Setting::temperature, QStringLiteral("3")));
    EXPECT_EQ(form->refusalLine(Setting::temperature)->text(), QStringLiteral("Enter a number from 0 to 2."));
    EXPECT_EQ(model.sampling().temperature, 0.8f);
    EXPECT_EQ(form->samplingField(Setting::temperature)->text(), QStringLiteral("3")) << "refused in place";
    EXPECT_FALSE(type(Setting::temperature, QStringLiteral("0")));
    EXPECT_EQ(model.sampling().temperature, 0.0f);
    EXPECT_TRUE(type(Setting::topK, QStringLiteral("x")));
    EXPECT_EQ(form->refusalLine(Setting::topK)->text(), QStringLiteral("Enter a whole number from 0 to 200."));
    EXPECT_TRUE(type(Setting::topP, QStringLiteral("0.01")));
    EXPECT_FALSE(type(Setting::minP, QStringLiteral("0.1")));
    EXPECT_TRUE(type(Setting::repeatPenalty, QStringLiteral("0.9")));
    emit form->samplingField(Setting::repeatPenalty)->editingFinished();
    EXPECT_EQ(form->samplingField(Setting::repeatPenalty)->text(), QStringLiteral("1.1")) << "left: the kept value";
    EXPECT_FALSE(form->refusalRow(Setting::repeatPenalty)->isVisibleTo(form));

    QTest::mouseClick(form->fixedSeedChoice(), Qt::LeftButton);
    ASSERT_TRUE(form->samplingField(Setting::seed)->isEnabled());
    EXPECT_TRUE(type(Setting::seed, QStringLiteral("4294967295")));
    EXPECT_FALSE(type(Setting::seed, QStringLiteral("42")));
    QTest::mouseClick(form->fixedLimitChoice(), Qt::LeftButton);
    EXPECT_TRUE(type(Setting::replyLimit, QStringLiteral("0")));
    EXPECT_FALSE(type(Setting::replyLimit, QStringLiteral("300")));

    ModelSampling expected;
    expected.temperature = 0;
    expected.minP = 0.1f;
    expected.seed = 42;
    expected.replyLimit = 300;
    EXPECT_EQ(model.apply(stored).sampling, expected);
    EXPECT_EQ(model.apply(stored).instructions, QStringLiteral("Be brief."));

    QTest::mouseClick(form->restoreDefaultsButton(), Qt::LeftButton);
    EXPECT_EQ(model.sampling(), ModelSampling());
    EXPECT_EQ(form->samplingField(Setting::temperature)->text(), QStringLiteral("0.8"));
    EXPECT_EQ(form->samplingField(Setting::replyLimit)->text(), QString());
    EXPECT_FALSE(form->samplingField(Setting::seed)->isEnabled());
    EXPECT_TRUE(form->randomSeedChoice()->isOn());
    EXPECT_EQ(model.instructions(), QStringLiteral("Be brief.")) << "only the sampling goes back";
}

} // namespace
} // namespace cvn
