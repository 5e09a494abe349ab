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

// The sheet or dialog on top, as T.
template <typename T>
T* top(ModelsScreen& s)
{
    QApplication::processEvents(); // closed overlays are deleted later
    return s.overlays().isEmpty() ? nullptr : qobject_cast<T*>(s.overlays().last());
}

void choose(ModelsScreen& s, const QString& id)
{
    QTest::mouseClick(top<CvnActionSheet>(s)->findChild<QWidget*>(QStringLiteral("cvn.row.") + id), Qt::LeftButton);
}

// The texts of the confirm dialog on top, then its confirm button is clicked.
QStringList confirmTop(ModelsScreen& s)
{
    CvnConfirmDialog* d = top<CvnConfirmDialog>(s);
    if (!d)
        return {};
    const QStringList texts{d->titleText()->text(), d->bodyText()->text(), d->confirmButton()->text(),
                            d->cancelButton() ? d->cancelButton()->text() : QString()};
    QTest::mouseClick(d->confirmButton(), Qt::LeftButton);
    return texts;
}

bool dropOn(ModelsScreen& s, const QString& path)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&s, &enter);
    QDropEvent drop(QPointF(400, 400), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&s, &drop);
    return enter.isAccepted() && drop.isAccepted();
}

TEST_F(ModelsScreenActionsTest, TheAddRoadShowsItsSheetOverlayAndMessages)
{
    ScreenFixture f(1);
    ModelsScreen& s = *f.screen;
    const QString b = f.writeModel(QStringLiteral("b.gguf"), test::makeTempFolder("source"));
    ASSERT_TRUE(dropOn(s, b));
    ASSERT_TRUE(top<CopyProgressOverlay>(s));
    f.copier.setProgress(CopyProgress{3, 8, 1});
    EXPECT_EQ(top<CopyProgressOverlay>(s)->progress(), (CopyProgress{3, 8, 1}));
    EXPECT_FALSE(dropOn(s, b)) << "refused while the copy runs";
    QTest::mouseClick(top<CopyProgressOverlay>(s)->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(f.copier.cancels, 1);
    f.copier.finish({std::nullopt, {}});
    EXPECT_TRUE(s.overlays().isEmpty()) << "a cancel is silent";

    // ADD MODEL: one item; the panel opens on a later turn, after the sheet went.
    f.chooserAnswer = b;
    QTest::mouseClick(s.addButton(), Qt::LeftButton);
    ASSERT_TRUE(top<CvnActionSheet>(s));
    EXPECT_EQ(top<CvnActionSheet>(s)->header(), QStringLiteral("ADD MODEL"));
    EXPECT_EQ(top<CvnActionSheet>(s)->items().size(), 1);
    EXPECT_EQ(top<CvnActionSheet>(s)->items()[0].label, QStringLiteral("CHOOSE FILE…"));
    choose(s, QStringLiteral("choose"));
    EXPECT_EQ(f.chooserOpened, 0);
    QApplication::processEvents();
    EXPECT_EQ(f.chooserOpened, 1);
    ASSERT_TRUE(QFile::copy(b, QDir(f.folder).filePath(QStringLiteral("b.gguf"))));
    f.copier.finish({QDir(f.folder).filePath(QStringLiteral("b.gguf")), {}});
    EXPECT_EQ(s.rows().last()->model().displayName, QStringLiteral("b"));

    dropOn(s, b);
    f.copier.finish({std::nullopt, QStringLiteral("No space left on device")});
    EXPECT_EQ(confirmTop(s), (QStringList{"Could not add that file", "No space left on device", "OK", ""}));
    EXPECT_FALSE(top<QWidget>(s));

    // A file that may not fit asks first; ADD ANYWAY copies it.
    SystemFacts::Override tight(test::memory(4000, 16384));
    const QString big = test::GgufWriter().hole(3LL << 30).writeTo(test::makeTempFolder("source"), "big.gguf");
    dropOn(s, big);
    EXPECT_EQ(confirmTop(s).value(2), QStringLiteral("ADD ANYWAY"));
    EXPECT_EQ(f.copier.sources.last(), big);
}

TEST_F(ModelsScreenActionsTest, ACopyOutlivesTheScreen)
{
    ScreenFixture f(0);
    const QString b = f.writeModel(QStringLiteral("b.gguf"), test::makeTempFolder("source"));
    dropOn(*f.screen, b);
    f.screen.reset(); // the user switched pages mid-copy
    QFile::copy(b, QDir(f.folder).filePath(QStringLiteral("b.gguf")));
    f.copier.finish({QDir(f.folder).filePath(QStringLiteral("b.gguf")), {}});
    ASSERT_EQ(f.store->models().size(), 1);
    EXPECT_EQ(f.store->models()[0].displayName, QStringLiteral("b"));
}

TEST_F(ModelsScreenActionsTest, RenameAndEdit)
{
    ScreenFixture f(2);
    ModelsScreen& s = *f.screen;
    const ModelInfo first = s.rows()[0]->model();
    QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
    ASSERT_TRUE(top<CvnActionSheet>(s));
    EXPECT_EQ(top<CvnActionSheet>(s)->header(), first.displayName);
    QStringList labels;
    for (const CvnActionSheet::Item& item : top<CvnActionSheet>(s)->items())
        labels.append(item.label + (item.destructive ? "!" : ""));
    EXPECT_EQ(labels, (QStringList{"RENAME", "EDIT", "DELETE!"}));
    choose(s, QStringLiteral("rename"));
    auto* rename = top<CvnInputDialog>(s);
    ASSERT_TRUE(rename);
    EXPECT_EQ(rename->titleText()->text(), QStringLiteral("Rename model"));
    EXPECT_EQ(rename->text(), first.displayName);
    EXPECT_EQ(rename->maxLength(), 0);
    rename->field()->setText(QStringLiteral("  ") + QString(300, u'n') + QStringLiteral("  "));
    QTest::mouseClick(rename->saveButton(), Qt::LeftButton);
    EXPECT_EQ(f.store->model(first.id)->displayName, QString(300, u'n'));

    for (const bool save : {false, true}) {
        QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
        choose(s, QStringLiteral("edit"));
        auto* edit = top<CvnContentDialog>(s);
        ASSERT_TRUE(edit);
        EXPECT_EQ(edit->titleText()->text(), QStringLiteral("Edit model"));
        EditModelFormModel* form = qobject_cast<EditModelForm*>(edit->body())->form();
        form->chooseNameMode(EditModelFormModel::NameMode::Custom);
        form->setName(QStringLiteral("Edited"));
        form->setManual(true);
        QTest::mouseClick(save ? edit->saveButton() : edit->cancelButton(), Qt::LeftButton);
        const ModelInfo now = *f.store->model(first.id);
        EXPECT_EQ(now.displayName, save ? QStringLiteral("Edited") : QString(300, u'n'));
        EXPECT_EQ(now.contextMode, save ? QStringLiteral("manual") : QStringLiteral("auto"));
        EXPECT_EQ(s.rows()[0]->model().displayName, now.displayName) << "the row shows it at once";
        EXPECT_FALSE(top<QWidget>(s));
    }
}

TEST_F(ModelsScreenActionsTest, Remove)
{
    ScreenFixture f(3);
    ModelsScreen& s = *f.screen;
    auto remove = [&] {
        const ModelInfo model = s.rows()[0]->model();
        QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
        choose(s, QStringLiteral("delete"));
        return model;
    };
    const ModelInfo first = remove();
    ASSERT_TRUE(top<CvnConfirmDialog>(s));
    EXPECT_EQ(top<CvnConfirmDialog>(s)->confirmButton()->style(), CvnButton::Style::Destructive);
    EXPECT_EQ(confirmTop(s), (QStringList{"Remove model?",
                                          "This deletes the local copy of \"" + first.displayName
                                              + "\" from your Corvanthelis models folder only. Your original .gguf "
                                                "file (in Downloads or wherever you got it) is NOT touched.",
                                          "REMOVE", "CANCEL"}));
    EXPECT_FALSE(f.store->model(first.id));
    EXPECT_FALSE(QFileInfo::exists(QDir(f.folder).filePath(first.fileName)));
    EXPECT_FALSE(top<QWidget>(s));

    // The file already gone: the row goes silently.
    QFile::remove(QDir(f.folder).filePath(s.rows()[0]->model().fileName));
    const ModelInfo second = remove();
    confirmTop(s);
    EXPECT_FALSE(f.store->model(second.id));
    EXPECT_FALSE(top<QWidget>(s));

    // A deletion that fails keeps the row and shows the reason. Root deletes
    // in a read-only folder, so there a folder in the file's place fails it.
    const bool root = ::geteuid() == 0;
    const QString path = QDir(f.folder).filePath(s.rows()[0]->model().fileName);
    if (root) {
        QFile::remove(path);
        QDir().mkpath(path);
    } else {
        QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    const ModelInfo third = remove();
    confirmTop(s);
    QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(f.store->model(third.id));
    const QString reason = root ? QStringLiteral("“%1” is not a model file, so it was not deleted.").arg(third.fileName)
                                : QStringLiteral("Permission denied");
    EXPECT_EQ(confirmTop(s), (QStringList{"Could not delete file", reason, "OK", ""}));
    EXPECT_FALSE(top<QWidget>(s));
}

} // namespace
} // namespace cvn
