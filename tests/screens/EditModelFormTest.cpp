#include "Fakes.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"

#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/KitTest.h"

#include <QLineEdit>
#include <QTest>

namespace cvn {
namespace {

using EditModelFormTest = test::KitTest;

using test::sampleModel;

TEST_F(EditModelFormTest, ChoicesShowTheirRows)
{
    EditModelFormModel model(sampleModel(), 6144);
    QWidget host;
    host.resize(600, 900);
    auto* form = new EditModelForm(&model, &host);
    test::showAndSettle(host);
    EXPECT_EQ(form->width(), 520);
    EXPECT_EQ(form->autoNameChoice()->text(), QStringLiteral("Auto-cleaned: Sample Model"));
    EXPECT_EQ(form->originalNameChoice()->text(), QStringLiteral("Original filename: Sample-Model.Q4"));
    EXPECT_EQ(form->templateChoice()->options(), EditModelFormModel::chatTemplateChoices());
    EXPECT_FALSE(form->nameField()->isEnabled());
    EXPECT_EQ(form->nameFieldOpacity(), 0.5);
    EXPECT_TRUE(form->autoCaption()->isVisibleTo(form));
    EXPECT_FALSE(form->manualCaption()->isVisibleTo(form));
    EXPECT_FALSE(form->slider()->isEnabled());
    EXPECT_EQ(form->slider()->value(), 1);
    EXPECT_EQ(form->slider()->mapTo(form, QPoint()).x(), EditModelForm::kIndent);
    const int autoHeight = form->heightForWidth(520);

    QTest::mouseClick(form->manualContextChoice(), Qt::LeftButton);
    EXPECT_TRUE(model.manual());
    EXPECT_TRUE(form->slider()->isEnabled());
    EXPECT_FALSE(form->autoCaption()->isVisibleTo(form));
    EXPECT_TRUE(form->trainedCaption()->isVisibleTo(form));
    EXPECT_FALSE(form->warning()->isVisibleTo(form)) << "4096 fits";
    emit form->slider()->valueWritten(2);
    EXPECT_EQ(model.stepIndex(), 2);
    EXPECT_EQ(form->manualCaption()->text(), QStringLiteral("8192 / 32768  —  uses ~1024 MB extra RAM"));
    EXPECT_TRUE(form->warning()->isVisibleTo(form));
    EXPECT_EQ(form->warning()->color()(Appearance::Light), QColor(0xF2, 0x8B, 0x93));
    EXPECT_EQ(form->warning()->color()(Appearance::Dark), QColor(0xB3, 0x20, 0x2B));
    EXPECT_GT(form->heightForWidth(520), autoHeight) << "the manual rows take room";
}

TEST_F(EditModelFormTest, NameFieldFollowsTheSourceAndCapsAt80)
{
    EditModelFormModel model(sampleModel(), 6144);
    EditModelForm form(&model);
    test::showAndSettle(form);
    QTest::mouseClick(form.customNameChoice(), Qt::LeftButton);
    ASSERT_TRUE(form.nameField()->isEnabled());
    EXPECT_EQ(form.nameFieldOpacity(), 1.0);
    form.nameField()->setFocus();
    form.nameField()->selectAll();
    QTest::keyClicks(form.nameField(), QString(85, u'x'));
    EXPECT_EQ(form.nameField()->text(), QString(80, u'x'));
    EXPECT_EQ(model.name(), QString(80, u'x'));
    EXPECT_EQ(form.nameField()->cursorPosition(), 80);

    QTest::mouseClick(form.originalNameChoice(), Qt::LeftButton);
    EXPECT_EQ(form.nameField()->text(), QStringLiteral("Sample-Model.Q4"));
    EXPECT_FALSE(form.nameField()->isEnabled());
    QTest::mouseClick(form.customNameChoice(), Qt::LeftButton);
    EXPECT_EQ(form.nameField()->text(), QStringLiteral("Sample-Model.Q4"));
    EXPECT_TRUE(form.nameField()->isEnabled());
}

} // namespace
} // namespace cvn
