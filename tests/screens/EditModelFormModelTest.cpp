#include "screens/EditModelFormModel.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

// 32 layers, 8 KV heads of 128: an f16 cache of 4096 tokens is exactly 512 MB.
ModelInfo sampleModel(int64_t trained = 32768, int64_t fileMb = 4000)
{
    GgufInfo info;
    info.architecture = QStringLiteral("llama");
    info.nCtxTrain = trained;
    info.nEmbd = 4096;
    info.nLayers = 32;
    info.nHead = 32;
    info.nHeadKv = 8;
    info.ropeDim = 128;
    info.fileSizeMb = fileMb;
    ModelInfo m;
    m.displayName = QStringLiteral("Sample Model");
    m.fileName = QStringLiteral("sub/Sample-Model.Q4.gguf");
    m.fileSizeBytes = fileMb << 20;
    m.discoveredMetadata = info;
    return m;
}

TEST(EditModelFormModel, StepsAutoContextAndCaption)
{
    EditModelFormModel form(sampleModel(), 6144);
    EXPECT_EQ(form.steps(), (QList<int64_t>{2048, 4096, 8192, 16384, 32768}));
    EXPECT_EQ(form.autoContext(), 4096);
    EXPECT_EQ(form.stepIndex(), 1);
    EXPECT_FALSE(form.manual());
    EXPECT_EQ(form.autoCaption(), QStringLiteral("Current: 4096 tokens (uses ~512 MB extra RAM)"));
    EXPECT_EQ(form.originalName(), QStringLiteral("Sample-Model.Q4"));
    EXPECT_EQ(form.cleanedName(), QStringLiteral("Sample Model"));
}

TEST(EditModelFormModel, ManualCaptionsAndRamWarning)
{
    EditModelFormModel form(sampleModel(), 6144);
    form.setManual(true);
    form.setStepIndex(2);
    EXPECT_EQ(form.manualCaption(), QStringLiteral("8192 / 32768  —  uses ~1024 MB extra RAM"));
    EXPECT_EQ(form.trainedCaption(), QStringLiteral("Model was trained for up to 32768 tokens"));
    EXPECT_TRUE(form.showsRamWarning());
    EXPECT_EQ(form.ramWarning(),
              QStringLiteral("Not enough free RAM (need ~6.1 GB, have 6.0 GB) — may fail to load"));
    form.setStepIndex(1); // 4000 + 512 + 1180 = 5692 fits in 6144
    EXPECT_FALSE(form.showsRamWarning());
    form.setManual(false);
    form.setStepIndex(4);
    EXPECT_FALSE(form.showsRamWarning()) << "automatic mode never warns";

    EditModelFormModel smaller(sampleModel(32768, 3940), 6144);
    smaller.setManual(true);
    smaller.setStepIndex(4); // 3940 + 4096 + 1180 = 9216
    EXPECT_EQ(smaller.ramWarning(),
              QStringLiteral("Not enough free RAM (need ~9.0 GB, have 6.0 GB) — may fail to load"));
    // Equality is enough room.
    EditModelFormModel exact(sampleModel(32768, 3940), 9216);
    exact.setManual(true);
    exact.setStepIndex(4);
    EXPECT_FALSE(exact.showsRamWarning());
}

TEST(EditModelFormModel, StepsFollowTheTrainedContext)
{
    const QList<int64_t> seven{2048, 4096, 8192, 16384, 32768, 65536, 131072};
    const struct {
        int64_t trained;
        QList<int64_t> steps;
    } cases[] = {
        {131072, seven}, {200000, seven}, {4095, {2048}}, {1000, {2048}}, {2048, {2048}},
    };
    for (const auto& c : cases) {
        EditModelFormModel form(sampleModel(c.trained), 6144);
        EXPECT_EQ(form.steps(), c.steps) << c.trained;
    }
    // No trained context in the header counts as 32768.
    EditModelFormModel unknown(sampleModel(0), 6144);
    EXPECT_EQ(unknown.steps().size(), 5);
    EXPECT_EQ(unknown.trainedCaption(), QStringLiteral("Model was trained for up to 32768 tokens"));
}

TEST(EditModelFormModel, OpensOnTheStoredChoices)
{
    const struct {
        QString mode;
        std::optional<int64_t> size;
        bool manual;
        int64_t selected;
    } cases[] = {
        {QStringLiteral("manual"), 6000, true, 8192},
        {QStringLiteral("manual"), 500000, true, 32768},
        {QStringLiteral("Manual"), 6000, false, 8192},
        {QStringLiteral("auto"), std::nullopt, false, 4096},
    };
    for (const auto& c : cases) {
        ModelInfo m = sampleModel();
        m.contextMode = c.mode;
        m.contextSizeManual = c.size;
        EditModelFormModel form(m, 6144);
        EXPECT_EQ(form.manual(), c.manual) << c.mode.toStdString();
        EXPECT_EQ(form.selectedContext(), c.selected) << c.mode.toStdString();
    }
}

TEST(EditModelFormModel, TemplatesReadAndSave)
{
    const struct {
        std::optional<QString> stored;
        int index;
    } cases[] = {
        {QStringLiteral("chatml"), 1}, {QStringLiteral("command-r"), 10}, {QStringLiteral("Falcon"), 15},
        {QString(), 0},                {QStringLiteral("vicuna"), 0},     {std::nullopt, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EditModelFormModel::templateIndexForSetting(c.stored), c.index) << c.stored.value_or("none").toStdString();
    EXPECT_EQ(EditModelFormModel::chatTemplateChoices().size(), 16);

    ModelInfo m = sampleModel();
    m.chatTemplate = QStringLiteral("Qwen");
    m.contextMode = QStringLiteral("manual");
    m.contextSizeManual = 16384;
    EditModelFormModel form(m, 6144);
    form.setTemplateIndex(0);
    form.setManual(false);
    const ModelInfo saved = form.apply(m);
    EXPECT_EQ(saved.chatTemplate, std::nullopt);
    EXPECT_EQ(saved.contextMode, QStringLiteral("auto"));
    EXPECT_EQ(saved.contextSizeManual, std::nullopt);
    EXPECT_EQ(saved.id, m.id);

    form.setTemplateIndex(10);
    form.setManual(true);
    form.setStepIndex(3);
    const ModelInfo manual = form.apply(m);
    EXPECT_EQ(manual.chatTemplate, QStringLiteral("Command-R"));
    EXPECT_EQ(manual.contextMode, QStringLiteral("manual"));
    EXPECT_EQ(manual.contextSizeManual, 16384);
}

TEST(EditModelFormModel, NameCapTrimAndSources)
{
    EditModelFormModel form(sampleModel(), 6144);
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    form.setName(QString(85, u'a'));
    EXPECT_EQ(form.name(), QString(80, u'a'));
    // A family emoji of four code points joined by ZWJs counts as one.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    form.setName(QString(79, u'b') + family + QStringLiteral("cdef"));
    EXPECT_EQ(form.name(), QString(79, u'b') + family);

    const ModelInfo m = sampleModel();
    form.setName(QStringLiteral("   "));
    EXPECT_EQ(form.apply(m).displayName, QStringLiteral("Sample Model"));
    form.setName(QStringLiteral(" x \n"));
    EXPECT_EQ(form.apply(m).displayName, QStringLiteral("x"));

    form.chooseNameMode(EditModelFormModel::NameMode::Original);
    EXPECT_EQ(form.name(), QStringLiteral("Sample-Model.Q4")) << "the base name of the last path component";
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    EXPECT_EQ(form.nameMode(), EditModelFormModel::NameMode::Custom);
    EXPECT_EQ(form.name(), QStringLiteral("Sample-Model.Q4"));
    form.chooseNameMode(EditModelFormModel::NameMode::Auto);
    EXPECT_EQ(form.name(), QStringLiteral("Sample Model"));
}

} // namespace
} // namespace cvn
