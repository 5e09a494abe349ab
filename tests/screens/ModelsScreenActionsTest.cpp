#include "ScreenFixture.h"

#include "screens/CopyProgressOverlay.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/CvnInputDialog.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>

#include <unistd.h>

namespace cvn {
namespace {

using ModelsScreenActionsTest = test::KitTest;
using test::ScreenFixture;

template <typename T>
T* top(ModelsScreen& s)
{
    QApplication::processEvents(); // closed overlays are deleted later
    const QList<QWidget*> shown = s.overlays();
    return shown.isEmpty() ? nullptr : qobject_cast<T*>(shown.last());
}

void clickRow(CvnActionSheet* sheet, const QString& id)
{
    QWidget* row = sheet->findChild<QWidget*>(QStringLiteral("cvn.row.") + id);
    ASSERT_TRUE(row) << id.toStdString();
    QTest::mouseClick(row, Qt::LeftButton);
}

bool dropOn(ModelsScreen& s, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&s, &enter);
    QDropEvent drop(QPointF(400, 400), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&s, &drop);
    return enter.isAccepted() && drop.isAccepted();
}

QStringList names(const ModelStore& store)
{
    QStringList out;
    for (const ModelInfo& m : store.models())
        out.append(m.displayName);
    return out;
}

TEST_F(ModelsScreenActionsTest, DropsAndTheAddSheet)
{
    ScreenFixture f(1);
    ModelsScreen& s = *f.screen;
    const QString source = test::makeTempFolder("source");
    const QString b = f.writeModel(QStringLiteral("b.gguf"), source);
    ASSERT_TRUE(dropOn(s, {QUrl::fromLocalFile(source + "/a.txt"), QUrl::fromLocalFile(b)}));
    EXPECT_EQ(f.copier.sources, QStringList{b});
    auto* overlay = top<CopyProgressOverlay>(s);
    ASSERT_TRUE(overlay) << "the copy covers the screen";
    f.copier.setProgress(CopyProgress{3, 8, 1});
    EXPECT_EQ(overlay->progress(), (CopyProgress{3, 8, 1}));
    // A second drop while the copy runs is refused.
    EXPECT_FALSE(dropOn(s, {QUrl::fromLocalFile(b)}));
    QTest::mouseClick(overlay->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(f.copier.cancels, 1);
    f.copier.finish({std::nullopt, {}});
    EXPECT_TRUE(s.overlays().isEmpty()) << "a cancel is silent";

    // ADD MODEL: one item; the panel opens on a later turn, after the sheet went.
    f.chooserAnswer = b;
    QTest::mouseClick(s.addButton(), Qt::LeftButton);
    auto* sheet = top<CvnActionSheet>(s);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->header(), QStringLiteral("ADD MODEL"));
    ASSERT_EQ(sheet->items().size(), 1);
    EXPECT_EQ(sheet->items()[0].label, QStringLiteral("CHOOSE FILE…"));
    clickRow(sheet, QStringLiteral("choose"));
    EXPECT_EQ(f.chooserOpened, 0);
    QApplication::processEvents();
    EXPECT_EQ(f.chooserOpened, 1);
    ASSERT_EQ(f.copier.sources.size(), 2);
    ASSERT_TRUE(QFile::copy(b, QDir(f.folder).filePath(QStringLiteral("b.gguf"))));
    f.copier.finish({QDir(f.folder).filePath(QStringLiteral("b.gguf")), {}});
    EXPECT_EQ(s.rows().last()->model().displayName, QStringLiteral("b"));

    // A failure is a one-button message.
    dropOn(s, {QUrl::fromLocalFile(b)});
    f.copier.finish({std::nullopt, QStringLiteral("No space left on device")});
    auto* message = top<CvnConfirmDialog>(s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->titleText()->text(), QStringLiteral("Could not add that file"));
    EXPECT_EQ(message->bodyText()->text(), QStringLiteral("No space left on device"));
    EXPECT_FALSE(message->cancelButton());
    EXPECT_EQ(message->confirmButton()->text(), QStringLiteral("OK"));
    QTest::mouseClick(message->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(top<CvnConfirmDialog>(s));
}

TEST_F(ModelsScreenActionsTest, RamWarningIsConfirmedOnce)
{
    ScreenFixture f(0);
    SystemFacts tight;
    tight.rig.ramFreeMb = 4000;
    tight.rig.ramTotalMb = 16384;
    SystemFacts::Override facts(tight);
    ModelsScreen& s = *f.screen;
    const QString big =
        test::GgufWriter().raw("not a header").hole(3LL << 30).writeTo(test::makeTempFolder("source"), "big.gguf");
    ASSERT_TRUE(dropOn(s, {QUrl::fromLocalFile(big)}));
    auto* confirm = top<CvnConfirmDialog>(s);
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->titleText()->text(), QStringLiteral("This model fits your Mac, but you need to free up RAM"));
    EXPECT_EQ(confirm->confirmButton()->text(), QStringLiteral("ADD ANYWAY"));
    EXPECT_EQ(confirm->cancelButton()->text(), QStringLiteral("CANCEL"));
    EXPECT_FALSE(dropOn(s, {QUrl::fromLocalFile(big)})) << "no second file while one waits";
    QTest::mouseClick(confirm->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(f.copier.sources, QStringList{big});
    EXPECT_TRUE(top<CopyProgressOverlay>(s));
}

TEST_F(ModelsScreenActionsTest, ACopyOutlivesTheScreen)
{
    ScreenFixture f(0);
    const QString b = f.writeModel(QStringLiteral("b.gguf"), test::makeTempFolder("source"));
    dropOn(*f.screen, {QUrl::fromLocalFile(b)});
    f.screen.reset(); // the user switched pages mid-copy
    QFile::copy(b, QDir(f.folder).filePath(QStringLiteral("b.gguf")));
    f.copier.finish({QDir(f.folder).filePath(QStringLiteral("b.gguf")), {}});
    EXPECT_EQ(names(*f.store), QStringList{"b"});
}

TEST_F(ModelsScreenActionsTest, RenameAndEdit)
{
    ScreenFixture f(2);
    ModelsScreen& s = *f.screen;
    const ModelInfo first = s.rows()[0]->model();
    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    auto* sheet = top<CvnActionSheet>(s);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->header(), first.displayName);
    ASSERT_EQ(sheet->items().size(), 3);
    const QStringList labels{sheet->items()[0].label, sheet->items()[1].label, sheet->items()[2].label};
    EXPECT_EQ(labels, (QStringList{"RENAME", "EDIT", "DELETE"}));
    EXPECT_TRUE(sheet->items()[2].destructive);
    clickRow(sheet, QStringLiteral("rename"));
    auto* rename = top<CvnInputDialog>(s);
    ASSERT_TRUE(rename);
    EXPECT_EQ(rename->titleText()->text(), QStringLiteral("Rename model"));
    EXPECT_EQ(rename->text(), first.displayName);
    EXPECT_EQ(rename->maxLength(), 0);
    const QString longName(300, u'n');
    rename->field()->setText(QStringLiteral("  ") + longName + QStringLiteral("  "));
    QTest::mouseClick(rename->saveButton(), Qt::LeftButton);
    EXPECT_EQ(f.store->model(first.id)->displayName, longName);

    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    clickRow(top<CvnActionSheet>(s), QStringLiteral("edit"));
    auto* edit = top<CvnContentDialog>(s);
    ASSERT_TRUE(edit);
    EXPECT_EQ(edit->titleText()->text(), QStringLiteral("Edit model"));
    auto* form = qobject_cast<EditModelForm*>(edit->body());
    ASSERT_TRUE(form);
    form->form()->chooseNameMode(EditModelFormModel::NameMode::Custom);
    form->form()->setName(QStringLiteral("Edited"));
    form->form()->setManual(true);
    QTest::mouseClick(edit->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(f.store->model(first.id)->displayName, longName) << "CANCEL changes nothing";

    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    clickRow(top<CvnActionSheet>(s), QStringLiteral("edit"));
    edit = top<CvnContentDialog>(s);
    form = qobject_cast<EditModelForm*>(edit->body());
    form->form()->chooseNameMode(EditModelFormModel::NameMode::Custom);
    form->form()->setName(QStringLiteral("Edited"));
    form->form()->setManual(true);
    QTest::mouseClick(edit->saveButton(), Qt::LeftButton);
    const ModelInfo saved = *f.store->model(first.id);
    EXPECT_EQ(saved.displayName, QStringLiteral("Edited"));
    EXPECT_EQ(saved.contextMode, QStringLiteral("manual"));
    EXPECT_EQ(s.rows()[0]->model().displayName, QStringLiteral("Edited")) << "the row shows it at once";
    EXPECT_TRUE(s.overlays().isEmpty());
}

TEST_F(ModelsScreenActionsTest, Remove)
{
    ScreenFixture f(3);
    ModelsScreen& s = *f.screen;
    const ModelInfo first = s.rows()[0]->model();
    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    clickRow(top<CvnActionSheet>(s), QStringLiteral("delete"));
    auto* confirm = top<CvnConfirmDialog>(s);
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->titleText()->text(), QStringLiteral("Remove model?"));
    EXPECT_EQ(confirm->bodyText()->text(),
              QStringLiteral("This deletes the local copy of \"") + first.displayName
                  + QStringLiteral("\" from your Corvanthelis models folder only. Your original .gguf file (in "
                                   "Downloads or wherever you got it) is NOT touched."));
    EXPECT_EQ(confirm->confirmButton()->text(), QStringLiteral("REMOVE"));
    EXPECT_EQ(confirm->confirmButton()->style(), CvnButton::Style::Destructive);
    QTest::mouseClick(confirm->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(f.store->model(first.id));
    EXPECT_FALSE(QFileInfo::exists(QDir(f.folder).filePath(first.fileName)));
    EXPECT_FALSE(top<QWidget>(s));

    // The file already gone: the row goes silently.
    const ModelInfo second = s.rows()[0]->model();
    QFile::remove(QDir(f.folder).filePath(second.fileName));
    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    clickRow(top<CvnActionSheet>(s), QStringLiteral("delete"));
    QTest::mouseClick(top<CvnConfirmDialog>(s)->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(f.store->model(second.id));
    EXPECT_FALSE(top<QWidget>(s));

    // A deletion that fails: the row stays and the reason shows, with OK.
    // Root deletes in a read-only folder, so there a folder in the file's
    // place makes it fail instead.
    const ModelInfo third = s.rows()[0]->model();
    const bool root = ::geteuid() == 0;
    const QString path = QDir(f.folder).filePath(third.fileName);
    if (root) {
        QFile::remove(path);
        QDir().mkpath(path);
    } else {
        QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    clickRow(top<CvnActionSheet>(s), QStringLiteral("delete"));
    QTest::mouseClick(top<CvnConfirmDialog>(s)->confirmButton(), Qt::LeftButton);
    QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(f.store->model(third.id));
    auto* error = top<CvnConfirmDialog>(s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->titleText()->text(), QStringLiteral("Could not delete file"));
    EXPECT_EQ(error->bodyText()->text(),
              root ? QStringLiteral("“%1” is not a model file, so it was not deleted.").arg(third.fileName)
                   : QStringLiteral("Permission denied"));
    EXPECT_EQ(error->confirmButton()->text(), QStringLiteral("OK"));
    EXPECT_FALSE(error->cancelButton());
    QTest::mouseClick(error->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(top<QWidget>(s));
}

} // namespace
} // namespace cvn
