#include "Fakes.h"
#include "support/Wait.h"

#include "chat/shared/LayoutProbe.h"
#include "platform/AppSettings.h"
#include "screens/CopyProgressOverlay.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"

#include <QLineEdit>
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <unistd.h>

namespace cvn {
namespace {

using ModelsScreenTest = test::KitTest;
using test::memory;
using test::Road;

QList<QUrl> urls(const QStringList& paths)
{
    QList<QUrl> out;
    for (const QString& p : paths)
        out.append(QUrl::fromLocalFile(p));
    return out;
}

void fireHover(ModelsScreen& screen)
{
    ASSERT_TRUE(screen.hoverTimer()->isActive());
    screen.hoverTimer()->stop();
    QMetaObject::invokeMethod(screen.hoverTimer(), "timeout");
}

// The sheet or dialog on top, as T.
template <typename T>
T* top(ModelsScreen& s)
{
    QApplication::processEvents(); // closed overlays are deleted later
    return s.overlays().isEmpty() ? nullptr : qobject_cast<T*>(s.overlays().last());
}

// The action sheet on top: its header, then its items ("!" marks a destructive one).
QStringList sheet(ModelsScreen& s)
{
    CvnActionSheet* sheet = top<CvnActionSheet>(s);
    QStringList texts{sheet ? sheet->header() : QString()};
    for (const CvnActionSheet::Item& item : sheet ? sheet->items() : QList<CvnActionSheet::Item>())
        texts.append(item.label + (item.destructive ? "!" : ""));
    return texts;
}

void choose(ModelsScreen& s, const QString& id)
{
    QTest::mouseClick(top<CvnActionSheet>(s)->findChild<QWidget*>(QStringLiteral("cvn.row.") + id), Qt::LeftButton);
}

// The texts of the confirm dialog on top, then its confirm button is clicked.
QStringList confirmTop(ModelsScreen& s)
{
    CvnConfirmDialog* d = top<CvnConfirmDialog>(s);
    const QStringList shown = test::texts(d);
    if (d)
        QTest::mouseClick(d->confirmButton(), Qt::LeftButton);
    return shown;
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

TEST(ModelImport, DropTakesTheFirstGgufInAnyCaseAppendsItAndExplainsTheRest)
{
    Road road(0, false);
    test::writeModel(road.folder, "zeta.gguf");
    road.store->reload();
    const QString b = test::writeModel(road.source, "b.gguf");
    QFile(road.source + "/a.txt").open(QIODevice::WriteOnly);
    ASSERT_TRUE(road.import->drop(urls({road.source + "/a.txt", b, test::writeModel(road.source, "d.gguf")})));
    EXPECT_EQ(road.copier.sources, QStringList{b});
    EXPECT_TRUE(road.import->isBusy());
    static QStringList lines;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context,
                                                                const QString& message) {
        if (QLatin1String(context.category) == QLatin1String("org.corvanthelis.models.runtime"))
            lines.append(message);
    });
    road.land();
    qInstallMessageHandler(previous);
    EXPECT_EQ(std::exchange(lines, {}),
              QStringList{"Model added: arch=llama trained_ctx=4096 planned_ctx=4096 file=b.gguf"});
    EXPECT_EQ(road.message(), QString());
    EXPECT_FALSE(road.import->isBusy());
    ASSERT_EQ(road.store->models().size(), 2);
    EXPECT_EQ(road.store->models().last().displayName, QStringLiteral("b")) << "appended, not sorted";

    const QString upper = test::writeModel(road.source, "B2.GGUF");
    ASSERT_TRUE(road.import->drop(urls({upper})));
    EXPECT_EQ(road.copier.sources.last(), upper);
    road.copier.finish({std::nullopt, {}});

    // The rest is explained.
    EXPECT_FALSE(road.import->drop({QUrl(QStringLiteral("https://example.com/x.gguf"))})) << "no local file";
    EXPECT_EQ(road.message(), QString());
    ASSERT_TRUE(road.import->drop(urls({road.source + "/notes.txt"})));
    EXPECT_EQ(road.import->message(),
              (ModelImport::Message{"Not a model file", "Drop a .gguf file to add it. Nothing else can be loaded here."}));

    // An image projector, known by header or by name, is copied as a model is.
    road.import->dismissMessage();
    const QString eyes = test::writeModel(road.source, "eyes.gguf", "clip");
    ASSERT_TRUE(road.import->drop(urls({eyes})));
    EXPECT_EQ(road.message(), QString());
    EXPECT_EQ(road.copier.sources.last(), eyes);
    road.copier.finish({std::nullopt, {}});
    const QString named = test::writeModel(road.source, "mmproj-x.gguf");
    ASSERT_TRUE(road.import->drop(urls({named})));
    EXPECT_EQ(road.copier.sources.last(), named);
    EXPECT_EQ(road.copier.sources.size(), 4);
}

TEST(ModelImport, RamWarningAsksOnceAndRefusesAnotherFileMeanwhile)
{
    Road road(0, false);
    SystemFacts::Override tight(memory(4000, 16384));
    // A sparse 3 GiB file without a GGUF header.
    const QString big = test::GgufWriter().raw("not a header").hole(3LL << 30).writeTo(road.source, "big.gguf");
    const QString small = test::writeModel(road.source, "small.gguf");
    ASSERT_TRUE(road.import->drop(urls({big})));
    ASSERT_TRUE(road.import->pendingAdd());
    EXPECT_EQ(road.import->pendingAdd()->warning.title,
              QStringLiteral("This model fits your computer, but you need to free up RAM"));
    road.import->cancelPending();
    EXPECT_FALSE(road.import->pendingAdd());

    road.import->addFile(big);
    // Neither a drop nor the dialog's file may start a copy while the warning waits.
    EXPECT_FALSE(road.import->drop(urls({small})));
    road.import->addFile(small);
    road.import->confirmPending();
    road.import->confirmPending();
    EXPECT_EQ(road.copier.sources, QStringList{big});
    EXPECT_FALSE(road.import->pendingAdd());
    // Nor while the copy runs.
    EXPECT_FALSE(road.import->drop(urls({small})));
    road.import->addFile(small);
    EXPECT_EQ(road.copier.sources.size(), 1);
}

TEST(ModelImport, TheApplicationCopierTellsFailureFromSuccess)
{
    Road road(0, false);
    ModelCopier copier(road.folder);
    ModelCopierImport adapter(copier);
    ModelImport import(*road.store, adapter);
    import.addFile(test::writeModel(road.source, "real.gguf"));
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    ASSERT_EQ(road.store->models().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(QDir(road.folder).filePath("real.gguf")));

    // A source that vanished before its copy: a failure, reported.
    import.addFile(road.source + "/gone.gguf");
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    EXPECT_EQ(import.message(),
              (ModelImport::Message{"Could not add that file", "Cannot open the source as a regular file."}));
    EXPECT_EQ(road.store->models().size(), 1);
}

TEST_F(ModelsScreenTest, EmptyFolderShowsTheEmptyCardAndAdd)
{
    Road f(0);
    ModelsScreen& s = *f.screen;
    EXPECT_FALSE(s.listCard());
    ASSERT_TRUE(s.emptyCard());
    EXPECT_EQ(ModelsScreen::emptyText, QStringLiteral("No models yet. Drag a .gguf here or tap ADD."));
    EXPECT_EQ(s.emptyCard()->width(), 544);
    EXPECT_EQ(s.addButton()->text(), QStringLiteral("ADD MODEL"));
    EXPECT_EQ(s.addButton()->width(), 226);
    EXPECT_EQ(s.backButton()->pos(), QPoint(39, 53));
    EXPECT_EQ(s.backButton()->toolTip(), QStringLiteral("Back"));
    QTest::mouseClick(s.backButton(), Qt::LeftButton);
    EXPECT_EQ(f.backs, 1);

    test::writeModel(f.folder, QStringLiteral("mmproj-eyes.gguf"));
    f.store->reload();
    ASSERT_EQ(s.rows().size(), 1);
    EXPECT_EQ(s.rows()[0]->nameOpacity(), 0.5);
    EXPECT_EQ(s.rows()[0]->secondLine(),
              QStringLiteral("Vision adapter, not a model · not selectable · delete it from ⋯ if you like"));
    s.setPanelFactory([] {
        auto* panel = new QWidget;
        panel->setFixedSize(544, 120);
        return panel;
    });
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), true);
    ASSERT_TRUE(s.debugPanel());
    QApplication::processEvents();
    EXPECT_TRUE(s.debugPanel()->isVisibleTo(&s));
    EXPECT_EQ(s.titleLabel()->mapTo(s.column(), QPoint()).y(), 120 + 16);
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), false);
    EXPECT_FALSE(s.debugPanel()->isVisibleTo(&s));
}

TEST_F(ModelsScreenTest, ListFitsFiveRowsScrollsFromSixAndDrawsInBothAppearances)
{
    for (const auto& [count, height, detail, appearance] : {std::tuple{5, 350, "5 models, fitted", Appearance::Light},
                                                            {6, 365, "6 models, scrolling", Appearance::Dark}}) {
        Theme::setAppearance(appearance);
        Road f(count);
        ModelsScreen& s = *f.screen;
        ASSERT_TRUE(s.listCard());
        EXPECT_FALSE(s.emptyCard());
        EXPECT_EQ(s.listCard()->size(), QSize(544, height)) << count;
        EXPECT_EQ(s.column()->mapTo(&s, QPoint()).x(), (900 - 544) / 2) << "centred";
        EXPECT_EQ(s.listScrollArea() && s.listScrollArea()->verticalScrollBar()->maximum() > 0, count > 5);
        const QStringList probes = LayoutProbe::snapshot().filter(QStringLiteral("models card: "));
        ASSERT_EQ(probes.size(), 1);
        EXPECT_TRUE(probes[0].endsWith(QStringLiteral("  (%1)").arg(QLatin1String(detail)))) << probes[0].toStdString();
        QList<bool> dividers;
        for (ModelRow* row : s.rows())
            dividers.append(row->showsDivider() && row->dividerRect() == QRectF(31, 68, 544 - 62, 2));
        QList<bool> expected(count, true);
        expected.last() = false;
        EXPECT_EQ(dividers, expected);

        const QImage image = test::renderOver(s, Theme::paper());
        const bool dark = appearance == Appearance::Dark;
        const QColor page = dark ? test::kInk : test::kWhite, ink = dark ? test::kWhite : test::kInk;
        EXPECT_TRUE(test::pixelNear(image, 5, 5, page));
        const QPoint card = s.listCard()->mapTo(&s, QPoint());
        EXPECT_TRUE(test::pixelNear(image, card.x() + 20, card.y() + 35, ink));
        // The divider: paper at half opacity over ink.
        const QColor half((page.red() + ink.red() + 1) / 2, (page.green() + ink.green() + 1) / 2,
                          (page.blue() + ink.blue() + 1) / 2);
        EXPECT_TRUE(test::pixelNear(image, card.x() + 272, card.y() + 69, half, 3));
    }
}

TEST_F(ModelsScreenTest, ARowSaysItSeesImagesOnlyWithAProjector)
{
    Road f(3);
    QList<ModelInfo> models = f.store->models();
    for (ModelInfo& m : models)
        m.discoveredMetadata = GgufInfo{.nEmbd = 4096, .fileSizeMb = 1};
    models[1].projectorChoice = ModelInfo::noProjector;
    models[2].discoveredMetadata->nEmbd = 2048;
    models.append(test::sampleProjector("mmproj-model-f16.gguf", 4096));
    models.append(test::sampleProjector("mmproj-orphan-f16.gguf", 1234));
    f.store->setModels(models);
    test::showAndSettle(*f.screen);
    QList<bool> sees;
    for (ModelRow* row : f.screen->rows())
        sees.append(!row->tagRect().isEmpty());
    EXPECT_EQ(sees, (QList<bool>{true, false, false, false, false}));
    // A projector's row names the model that sees through it; one that fits
    // none is only an adapter to delete if you like.
    EXPECT_EQ(f.screen->rows()[3]->secondLine(),
              QStringLiteral("Vision adapter in use · %1").arg(models[0].displayName));
    EXPECT_EQ(f.screen->rows()[4]->secondLine(),
              QStringLiteral("Vision adapter, not a model · not selectable · delete it from ⋯ if you like"));
    // The tag follows the name, inside the room left of the buttons.
    const ModelRow* row = f.screen->rows().first();
    EXPECT_GT(row->tagRect().left(), ModelRow::kPadding);
    EXPECT_LT(row->tagRect().right(), row->infoButton()->geometry().left());
}

TEST_F(ModelsScreenTest, HoverCardWaitsAndPinnedCardStays)
{
    Road f(8, true, {900, 700});
    ModelsScreen& s = *f.screen;
    ModelRow* first = s.rows()[0];
    ModelRow* second = s.rows()[1];

    test::sendEnter(first->infoButton());
    EXPECT_EQ(s.hoverTimer()->interval(), 400);
    test::sendLeave(first->infoButton()); // off the button before the delay ran out
    EXPECT_FALSE(s.hoverTimer()->isActive());
    EXPECT_FALSE(s.infoCard()->isVisible());

    test::sendEnter(first->infoButton());
    fireHover(s);
    ASSERT_TRUE(s.infoCard()->isVisible());
    EXPECT_EQ(s.infoCard()->text(), first->model().capacityTooltip(60000));
    EXPECT_EQ(s.infoCard()->textMaxWidth(), 368);
    EXPECT_TRUE(s.infoCard()->testAttribute(Qt::WA_TransparentForMouseEvents));
    test::sendLeave(first->infoButton());
    EXPECT_FALSE(s.infoCard()->isVisible());

    QTest::mouseClick(first->infoButton(), Qt::LeftButton);
    ASSERT_TRUE(s.infoCard()->isVisible());
    EXPECT_EQ(s.pinnedInfo(), first->model().id);
    EXPECT_EQ(s.infoCard()->textMaxWidth(), 448);
    EXPECT_LE(s.infoCard()->textWidth(), 448);
    // Hovering another button does not replace the pinned card.
    s.infoHovered(true, second->model().id);
    fireHover(s);
    EXPECT_EQ(s.infoCard()->property("modelId").toUuid(), first->model().id);
    // A click on the card keeps it; the first click elsewhere only closes it.
    QTest::mouseClick(s.infoCard(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(s.infoCard()->isVisible());
    const QPoint onSecond = second->infoButton()->mapTo(&s, QPoint(5, 5));
    QTest::mouseClick(s.childAt(onSecond), Qt::LeftButton, {}, s.childAt(onSecond)->mapFrom(&s, onSecond));
    EXPECT_FALSE(s.pinnedInfo());
    EXPECT_FALSE(s.clickCatcher()->isVisible());

    // A pinned card follows its button when the list scrolls.
    ModelRow* row = s.rows()[3];
    s.infoClicked(row->model().id);
    s.listScrollArea()->verticalScrollBar()->setValue(60);
    const QRect anchor(row->infoButton()->mapTo(&s, QPoint()), row->infoButton()->size());
    EXPECT_EQ(s.infoCard()->pos(), ModelsScreen::infoCardPosition(anchor, s.infoCard()->size(), 900));
}

TEST_F(ModelsScreenTest, InfoCardPlacement)
{
    const struct { QRect anchor; QSize card; int width; QPoint expected; } cases[] = {
        {{400, 300, 35, 35}, {200, 100}, 900, {318, 196}}, // centred, 4 above
        {{400, 50, 35, 35}, {200, 100}, 900, {318, 89}},   // too high: 4 below
        {{850, 300, 35, 35}, {200, 100}, 900, {692, 196}}, // right edge: W - 8
        {{10, 300, 35, 35}, {200, 100}, 900, {8, 196}},    // left edge: 8
        {{100, 300, 35, 35}, {500, 100}, 400, {8, 196}},   // wider than the window
    };
    for (const auto& c : cases)
        EXPECT_EQ(ModelsScreen::infoCardPosition(c.anchor, c.card, c.width), c.expected) << c.anchor.x();
}

TEST_F(ModelsScreenTest, TheAddRoadShowsItsSheetOverlayAndMessagesAndOutlivesTheScreen)
{
    Road f(1);
    ModelsScreen& s = *f.screen;
    const QString b = test::writeModel(f.source, QStringLiteral("b.gguf"));
    ASSERT_TRUE(dropOn(s, b));
    f.copier.setProgress(CopyProgress{3, 8, 1});
    ASSERT_TRUE(top<CopyProgressOverlay>(s));
    EXPECT_EQ(top<CopyProgressOverlay>(s)->progress(), (CopyProgress{3, 8, 1}));
    EXPECT_FALSE(dropOn(s, b)) << "refused while the copy runs";
    QTest::mouseClick(top<CopyProgressOverlay>(s)->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(f.copier.cancels, 1);
    f.copier.finish({std::nullopt, {}});
    EXPECT_TRUE(s.overlays().isEmpty()) << "a cancel is silent";
    EXPECT_EQ(s.rows().size(), 1);

    // ADD MODEL: one item; the panel opens on a later turn, after the sheet
    // went; a panel closed without a file changes nothing.
    QTest::mouseClick(s.addButton(), Qt::LeftButton);
    ASSERT_EQ(sheet(s), (QStringList{"ADD MODEL", "CHOOSE FILE…"}));
    choose(s, QStringLiteral("choose"));
    EXPECT_EQ(f.chooserOpened, 0);
    QApplication::processEvents();
    EXPECT_EQ(f.chooserOpened, 1);
    EXPECT_TRUE(f.copier.sources.size() == 1 && s.overlays().isEmpty());
    f.chooserAnswer = b;
    QTest::mouseClick(s.addButton(), Qt::LeftButton);
    choose(s, QStringLiteral("choose"));
    QApplication::processEvents();
    f.land();
    EXPECT_EQ(s.rows().last()->model().displayName, QStringLiteral("b"));

    dropOn(s, b);
    f.copier.finish({std::nullopt, QStringLiteral("No space left on device")});
    EXPECT_EQ(confirmTop(s), (QStringList{"Could not add that file", "No space left on device", "OK", ""}));
    EXPECT_FALSE(top<QWidget>(s));
    EXPECT_EQ(s.rows().size(), 2);

    // A file that may not fit asks first; ADD ANYWAY copies it.
    SystemFacts::Override tight(test::memory(4000, 16384));
    const QString big = test::GgufWriter().hole(3LL << 30).writeTo(f.source, "big.gguf");
    dropOn(s, big);
    EXPECT_EQ(confirmTop(s).value(2), QStringLiteral("ADD ANYWAY"));
    EXPECT_EQ(f.copier.sources.last(), big);

    // A copy outlives the screen: the user switched pages mid-copy.
    f.screen.reset();
    f.copier.finish({test::writeModel(f.folder, "late.gguf"), {}});
    EXPECT_EQ(f.store->models().last().displayName, QStringLiteral("late"));
}

TEST_F(ModelsScreenTest, RenameAndEdit)
{
    Road f(2);
    ModelsScreen& s = *f.screen;
    const ModelInfo first = s.rows()[0]->model();
    const QString longName(300, u'n');
    for (const QString& typed : {QStringLiteral("  ") + longName + QStringLiteral("  "), QStringLiteral("   ")}) {
        QTest::mouseClick(s.rows()[0]->moreButton(), Qt::LeftButton);
        ASSERT_EQ(sheet(s), (QStringList{s.rows()[0]->model().displayName, "RENAME", "EDIT", "DELETE!"}));
        choose(s, QStringLiteral("rename"));
        auto* rename = top<CvnInputDialog>(s);
        ASSERT_TRUE(rename);
        EXPECT_EQ(rename->titleText()->text(), QStringLiteral("Rename model"));
        EXPECT_EQ(rename->text(), s.rows()[0]->model().displayName);
        rename->field()->setText(typed);
        QTest::mouseClick(rename->saveButton(), Qt::LeftButton); // disabled for blanks
        if (top<CvnInputDialog>(s))
            QTest::mouseClick(rename->cancelButton(), Qt::LeftButton);
        EXPECT_EQ(f.store->model(first.id)->displayName, longName) << "trimmed, whole; blanks keep it";
    }

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
        EXPECT_EQ(now.displayName, save ? QStringLiteral("Edited") : longName);
        EXPECT_EQ(now.contextMode, save ? QStringLiteral("manual") : QStringLiteral("auto"));
        EXPECT_EQ(s.rows()[0]->model().displayName, now.displayName) << "the row shows it at once";
        EXPECT_FALSE(top<QWidget>(s));
    }
}

TEST_F(ModelsScreenTest, Remove)
{
    Road f(3);
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
    QTest::mouseClick(top<CvnConfirmDialog>(s)->cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(f.store->model(first.id) && !top<QWidget>(s));
    remove();
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
    if (root)
        QFile::remove(path), QDir().mkpath(path);
    else
        QFile::setPermissions(f.folder, QFile::ReadOwner | QFile::ExeOwner);
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
