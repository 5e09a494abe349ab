#include "Fakes.h"
#include "screens/EditModelFormModel.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::sampleModel;

TEST(EditModelFormModel, StepsAutoContextAndCaptions)
{
    EditModelFormModel form(sampleModel(), 6144);
    EXPECT_EQ(form.steps(), (QList<int64_t>{2048, 4096, 8192, 16384, 32768}));
    EXPECT_EQ(form.autoContext(), 4096);
    EXPECT_EQ(form.stepIndex(), 1);
    EXPECT_EQ(form.autoCaption(), QStringLiteral("Current: 4096 tokens (uses ~512 MB extra RAM)"));
    EXPECT_EQ(form.originalName(), QStringLiteral("Sample-Model.Q4")) << "the base name of the last component";

    form.setManual(true);
    form.setStepIndex(2);
    EXPECT_EQ(form.manualCaption(), QStringLiteral("8192 / 32768  —  uses ~1024 MB extra RAM"));
    EXPECT_EQ(form.trainedCaption(), QStringLiteral("Model was trained for up to 32768 tokens"));
    EXPECT_TRUE(form.showsRamWarning());
    EXPECT_EQ(form.ramWarning(), QStringLiteral("Not enough free RAM (need ~6.1 GB, have 6.0 GB) — may fail to load"));
    form.setStepIndex(1); // 4000 + 512 + 1180 = 5692 fits in 6144
    EXPECT_FALSE(form.showsRamWarning());
    form.setManual(false);
    form.setStepIndex(4);
    EXPECT_FALSE(form.showsRamWarning()) << "automatic mode never warns";

    // 3940 + 4096 + 1180 = 9216: short of 6144, and just enough at 9216.
    for (const uint64_t freeMb : {6144, 9216}) {
        EditModelFormModel smaller(sampleModel(32768, 3940), freeMb);
        smaller.setManual(true);
        smaller.setStepIndex(4);
        EXPECT_EQ(smaller.showsRamWarning(), freeMb == 6144);
        if (freeMb == 6144) {
            EXPECT_EQ(smaller.ramWarning(),
                      QStringLiteral("Not enough free RAM (need ~9.0 GB, have 6.0 GB) — may fail to load"));
        }
    }
}

TEST(EditModelFormModel, StepsFollowTheTrainedContext)
{
    const QList<int64_t> seven{2048, 4096, 8192, 16384, 32768, 65536, 131072};
    const QList<int64_t> five{2048, 4096, 8192, 16384, 32768};
    const struct {
        int64_t trained;
        QList<int64_t> steps;
    } cases[] = {{131072, seven}, {200000, seven}, {4095, {2048}}, {1000, {2048}}, {0, five}};
    for (const auto& c : cases)
        EXPECT_EQ(EditModelFormModel(sampleModel(c.trained), 6144).steps(), c.steps) << c.trained;
    EXPECT_EQ(EditModelFormModel(sampleModel(0), 6144).trainedCaption(),
              QStringLiteral("Model was trained for up to 32768 tokens"));
}

TEST(EditModelFormModel, OpensOnTheStoredChoices)
{
    const struct {
        QString mode;
        std::optional<int64_t> size;
        bool manual;
        int64_t selected;
    } cases[] = {{"manual", 6000, true, 8192}, {"manual", 500000, true, 32768}, {"Manual", 6000, false, 8192},
                 {"auto", std::nullopt, false, 4096}};
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
    } cases[] = {{"chatml", 1}, {"command-r", 10}, {"Falcon", 15}, {"", 0}, {"vicuna", 0}, {std::nullopt, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(EditModelFormModel::templateIndexForSetting(c.stored), c.index) << c.stored.value_or("-").toStdString();

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

    form.setName(QStringLiteral("   "));
    EXPECT_EQ(form.apply(sampleModel()).displayName, QStringLiteral("Sample Model"));
    form.setName(QStringLiteral(" x \n"));
    EXPECT_EQ(form.apply(sampleModel()).displayName, QStringLiteral("x"));

    form.chooseNameMode(EditModelFormModel::NameMode::Original);
    EXPECT_EQ(form.name(), QStringLiteral("Sample-Model.Q4"));
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    EXPECT_EQ(form.name(), QStringLiteral("Sample-Model.Q4"));
    form.chooseNameMode(EditModelFormModel::NameMode::Auto);
    EXPECT_EQ(form.name(), QStringLiteral("Sample Model"));
}

} // namespace
} // namespace cvn
