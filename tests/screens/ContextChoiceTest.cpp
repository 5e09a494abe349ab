#include "engine/LlamaSession.h"
#include "Fakes.h"
#include "models/ModelStore.h"
#include "screens/EditModelFormModel.h"
#include "support/TempEnv.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

// The form's context choice is what the next load uses, in this run and
// after a relaunch (a new store over the same folder).
TEST(ContextChoice, AnEditIsWhatTheNextLoadUsesAndSurvivesARelaunch)
{
    const QString folder = test::makeTempFolder("models");
    test::writeModel(folder, "m.gguf", "llama", 32768);
    test::writeModel(folder, "other.gguf", "llama", 32768);

    auto store = std::make_unique<ModelStore>(folder);
    ASSERT_EQ(store->models().size(), 2);
    const ModelInfo before = store->models()[0];
    const uint64_t freeMb = 60000;
    ASSERT_NE(LlamaSession::contextSizeFor(before, freeMb), 16384) << "the automatic size differs";

    EditModelFormModel form(before, freeMb);
    form.setManual(true);
    form.setStepIndex(int(form.steps().indexOf(16384)));
    form.setTemplateIndex(1);
    form.chooseNameMode(EditModelFormModel::NameMode::Custom);
    form.setName(QStringLiteral("Mine"));
    QList<ModelInfo> models = store->models();
    models[0] = form.apply(models[0]);
    store->setModels(models);
    EXPECT_EQ(LlamaSession::contextSizeFor(*store->model(before.id), freeMb), 16384);

    store = std::make_unique<ModelStore>(folder);
    const auto relaunched = std::find_if(store->models().cbegin(), store->models().cend(),
                                         [&](const ModelInfo& m) { return m.fileName == before.fileName; });
    ASSERT_NE(relaunched, store->models().cend());
    EXPECT_EQ(relaunched->displayName, QStringLiteral("Mine"));
    EXPECT_EQ(relaunched->contextMode, QStringLiteral("manual"));
    EXPECT_EQ(relaunched->contextSizeManual, 16384);
    EXPECT_EQ(relaunched->chatTemplate, QStringLiteral("ChatML"));
    EXPECT_EQ(LlamaSession::contextSizeFor(*relaunched, freeMb), 16384);
    EXPECT_EQ(store->models().size(), 2) << "the saved choices are no model";
}

} // namespace
} // namespace cvn
