#include "Fakes.h"
#include "platform/AppSettings.h"
#include "platform/SystemInfo.h"
#include "screens/AppearancePage.h"
#include "screens/ChatsPage.h"
#include "screens/HardwarePage.h"
#include "screens/RigCardLines.h"
#include "screens/SettingsPage.h"
#include "storage/ChatStore.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnCardToggle.h"
#include "ui_kit/CvnDialogCard.h"

#include <QAtomicInt>
#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

using namespace cvn;
using namespace cvn::test;

namespace {

// Every case starts with nothing stored for the pages' settings and ends
// with no read of the hardware page still running.
struct PagesTest : KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        for (const char* key : {AppSettings::appearanceMode, AppSettings::metalOffload, AppSettings::threadCountKey})
            AppSettings::remove(key);
    }
    void TearDown() override
    {
        QThreadPool::globalInstance()->waitForDone();
        QApplication::processEvents();
        SetUp();
        Theme::setAppearanceMode(AppearanceMode::System);
        KitTest::TearDown();
    }
};

// The settings and appearance pages, shown.
struct SettingsPagesTest : PagesTest {
    void SetUp() override
    {
        PagesTest::SetUp();
        page = std::make_unique<SettingsPage>([this] { ran.append("close"); }, [this] { ran.append("appearance"); },
                                              [this] { ran.append("models"); }, [this] { ran.append("hardware"); },
                                              [this] { ran.append("chats"); },
                                              [this](const QUrl& url) { opened.append(url); });
        page->resize(800, 700);
        showAndSettle(*page);
        appearance.resize(800, 600);
        showAndSettle(appearance);
    }
    std::unique_ptr<SettingsPage> page;
    AppearancePage appearance{{}};
    QStringList ran;
    QList<QUrl> opened;
};
using HardwarePageTest = PagesTest;

SystemFacts intel(int processors = 8, bool gpuUsable = false, const QString& cpu = QStringLiteral("Intel Core i7-9750H"))
{
    return {.rig = {.ramTotalMb = 16000, .ramFreeMb = 8000, .cpuShortName = cpu}, .processorCount = processors,
            .gpuUsable = gpuUsable};
}

// A page over `read`, shown; `settled` waits for its first read to land.
struct Page {
    explicit Page(std::function<SystemFacts()> read, bool settled = true, std::function<HardwarePage::Run()> run = {})
        : override([this, read] {
              reads.fetchAndAddOrdered(1);
              return read();
          })
        , page({}, nullptr, std::move(run))
    {
        page.resize(800, 1000);
        showAndSettle(page);
        EXPECT_TRUE(!settled || waitUntil([&] { return page.facts().has_value(); }));
    }
    explicit Page(const SystemFacts& facts) : Page([facts] { return facts; }) {}
    Page(const SystemFacts& facts, std::function<HardwarePage::Run()> run)
        : Page([facts] { return facts; }, true, std::move(run))
    {
    }
    QAtomicInt reads = 0;
    SystemFacts::Override override;
    HardwarePage page;
};

} // namespace

TEST_F(SettingsPagesTest, CardsBackControlsRowsAndLinks)
{
    EXPECT_EQ(page->generalCard()->height(), 186);
    EXPECT_EQ(appearance.themeCard()->height(), 92);
    for (auto [back, label] : {std::pair{page->frame()->backButton(), "Close"},
                               std::pair{appearance.frame()->backButton(), "Back"}}) {
        EXPECT_EQ(back->pos(), QPoint(39, 53));
        EXPECT_EQ(back->toolTip(), QLatin1String(label));
        EXPECT_EQ(back->accessibleName(), QLatin1String(label));
        EXPECT_TRUE(back->text().isEmpty());
    }
    QTest::mouseClick(page->frame()->backButton(), Qt::LeftButton);
    for (CardRowButton* row : page->generalCard()->findChildren<CardRowButton*>())
        QTest::mouseClick(row, Qt::LeftButton);
    EXPECT_EQ(ran, (QStringList{"close", "appearance", "models", "hardware", "chats"}));

    // The capsule and the separators are no buttons.
    QTest::mouseClick(page->findChild<QWidget*>("cvn.settings.version"), Qt::LeftButton);
    QWidget* links = page->findChild<QWidget*>("cvn.settings.links");
    QAbstractButton* licences = nullptr;
    for (QWidget* child : links->findChildren<QWidget*>()) {
        if (auto* button = qobject_cast<QAbstractButton*>(child))
            licences = button->text() == QStringLiteral("Licences") ? button : licences;
        else
            QTest::mouseClick(child, Qt::LeftButton);
    }
    EXPECT_EQ(ran.size(), 5);
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_TRUE(licences);
    QTest::mouseClick(licences, Qt::LeftButton, {}, QPoint(1, 1)); // the padding takes clicks too
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].scheme() + opened[0].path(), QStringLiteral("https/licenses/"));
    EXPECT_EQ(page->findChild<OneLineText*>("cvn.settings.versionText")->text(), QStringLiteral("1.0.0"));
}

TEST_F(SettingsPagesTest, RowHighlightsOnlyWhileHeldAndElidesLongTitles)
{
    SettingsCard card;
    auto* row = new CardRowButton(QString(60, QLatin1Char('W')), CardRowButton::Trailing::Chevron, {});
    card.addRow(row);
    card.resize(300, 45);
    showAndSettle(card);
    EXPECT_EQ(row->width(), 300) << "a long title does not widen the row";
    const QColor held(qRound(0x29 + 0.08 * (255 - 0x29)), qRound(0x29 + 0.08 * (255 - 0x29)),
                      qRound(0x2A + 0.08 * (255 - 0x2A)));
    QTest::mousePress(row, Qt::LeftButton, {}, QPoint(150, 22));
    EXPECT_TRUE(pixelNear(renderOver(card, Qt::transparent), 150, 2, held));
    QTest::mouseRelease(row, Qt::LeftButton, {}, QPoint(150, 22));
    const QImage released = renderOver(card, Qt::transparent);
    // Between the elided title and the chevron nothing is drawn.
    for (int x = 300 - 22 - 10 - 9; x < 300 - 22 - 10; ++x)
        for (int y = 0; y < 45; ++y)
            ASSERT_TRUE(pixelNear(released, x, y, kInk)) << x << "," << y;

    PageTitle title(QStringLiteral("A PAGE TITLE FAR TOO LONG FOR ONE LINE"));
    title.resize(300, title.heightForWidth(300));
    showAndSettle(title);
    EXPECT_GT(title.textView()->lineCount(), 1);
}

TEST_F(SettingsPagesTest, AppearanceSwitchRecoloursCardsAndText)
{
    QWidget* card = page->generalCard();
    const QPoint middle = card->mapTo(page.get(), QPoint(card->width() / 2, 1));
    // A row title of one full block shows its colour in its middle.
    SettingsCard rowCard;
    rowCard.addRow(new CardRowButton(QStringLiteral("\u2588"), CardRowButton::Trailing::None, {}));
    rowCard.resize(200, 45);
    showAndSettle(rowCard);
    const QPoint glyph(22 + QFontMetrics(Theme::interMedium13()).horizontalAdvance(QChar(0x2588)) / 2, 22);
    for (const auto& [mode, ink, paper] :
         {std::tuple{Appearance::Light, kInk, kWhite}, std::tuple{Appearance::Dark, kWhite, kInk}}) {
        Theme::setAppearance(mode);
        const QImage image = page->grab().toImage();
        EXPECT_TRUE(pixelNear(image, middle.x(), middle.y(), ink));
        EXPECT_TRUE(pixelNear(image, 2, 2, paper));
        EXPECT_TRUE(pixelNear(rowCard.grab().toImage(), glyph.x(), glyph.y(), paper));
    }
}

TEST_F(SettingsPagesTest, AppearanceRowsStoreApplyAndMarkExactMatches)
{
    const auto marked = [&] {
        return QList<bool>{appearance.lightRow()->trailing() == CardRowButton::Trailing::CheckMark,
                           appearance.darkRow()->trailing() == CardRowButton::Trailing::CheckMark};
    };
    EXPECT_EQ(marked(), (QList<bool>{false, false}));
    QTest::mouseClick(appearance.darkRow(), Qt::LeftButton);
    EXPECT_EQ(AppSettings::value(AppSettings::appearanceMode).toString(), QStringLiteral("dark"));
    EXPECT_EQ(marked(), (QList<bool>{false, true}));
    const QImage once = appearance.grab().toImage();
    EXPECT_TRUE(pixelNear(once, 2, 2, kInk)) << "the page turns dark at once";
    QTest::mouseClick(appearance.darkRow(), Qt::LeftButton);
    EXPECT_EQ(appearance.grab().toImage(), once);

    AppSettings::setValue(AppSettings::appearanceMode, QStringLiteral("Dark"));
    applyAppearance();
    EXPECT_EQ(marked(), (QList<bool>{false, false}));
    EXPECT_EQ(Theme::appearanceMode(), AppearanceMode::System);
}

TEST_F(HardwarePageTest, ReadsOffTheMainThreadAndAStaleReadNeverWins)
{
    QSemaphore gate, entered;
    std::atomic<bool> block = true;
    Page p(
        [&] {
            if (!block.exchange(false))
                return intel(8, false, QStringLiteral("New"));
            entered.release();
            gate.acquire();
            return intel(8, false, QStringLiteral("Old"));
        },
        false);
    EXPECT_TRUE(p.page.readingText()->isVisible());
    EXPECT_EQ(p.page.readingText()->text(), QStringLiteral("Reading hardware…"));
    EXPECT_EQ(p.page.readingText()->color()(), kWhite);
    EXPECT_GE(p.page.rigCard()->height(), 134);

    // The first read still runs when a newer one lands; it is dropped.
    entered.acquire();
    p.page.refreshRig();
    ASSERT_TRUE(waitUntil([&] { return p.page.rigLines() && p.page.rigLines()->isVisible(); }));
    EXPECT_FALSE(p.page.readingText()->isVisible());
    gate.release();
    QThreadPool::globalInstance()->waitForDone();
    QApplication::processEvents();
    EXPECT_EQ(p.page.facts()->rig.cpuShortName, QStringLiteral("New"));
}

TEST_F(HardwarePageTest, ThreadValueShowsTheStoredCountAndTheSliderClamps)
{
    const struct { int processors; std::optional<int> stored; QString value; int position; } cases[] = {
        {8, std::nullopt, "2", 1}, {8, 0, "0", 0}, {8, 64, "64", 7}, {1, std::nullopt, "1", 0}};
    for (const auto& c : cases) {
        AppSettings::remove(AppSettings::threadCountKey);
        if (c.stored)
            AppSettings::setValue(AppSettings::threadCountKey, *c.stored);
        Page p(intel(c.processors));
        EXPECT_EQ(p.page.threadValue()->text(), c.value) << c.processors;
        EXPECT_EQ(p.page.threadSlider()->steps(), c.processors);
        EXPECT_EQ(p.page.threadSlider()->value(), c.position) << c.value.toStdString();
        const QString available = QStringLiteral("the CPU does. %1 available, default %2. Both").arg(c.processors);
        EXPECT_TRUE(p.page.threadsExplanation()->text().contains(available.arg(std::min(c.processors, 2))));
    }
    Page p(intel(8));
    // The wrapped explanation is inside its card, not cut off below it.
    QWidget* text = p.page.threadsExplanation();
    QWidget* card = p.page.findChild<QWidget*>(QStringLiteral("cvn.hardware.performance"));
    EXPECT_GT(text->height(), 3 * QFontMetrics(Theme::interRegular13()).height() - 4);
    EXPECT_LE(text->mapTo(card, QPoint(0, text->height())).y() + 13, card->height());
    emit p.page.threadSlider()->valueWritten(3);
    EXPECT_EQ(AppSettings::value(AppSettings::threadCountKey).toInt(), 4);
    EXPECT_EQ(p.page.threadValue()->text(), QStringLiteral("4"));
}

TEST_F(HardwarePageTest, UnusableGpuKeepsTheSwitchOffDimmedAndSilent)
{
    AppSettings::setValue(AppSettings::metalOffload, true);
    Page p(intel(8, false));
    EXPECT_FALSE(p.page.metalToggle()->isOn());
    EXPECT_EQ(p.page.metalToggle()->accessibleDescription(), QStringLiteral("unavailable"));
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    EXPECT_EQ(p.page.metalExplanation()->text(),
              QStringLiteral("Not available on this computer's GPU. Corvanthelis runs on your CPU."));
    EXPECT_EQ(p.page.metalLine()->toolTip(),
              QStringLiteral("No GPU detected. Vulkan reports no GPU here, at most a software renderer, which is no "
                             "faster than the CPU."));
}

TEST_F(HardwarePageTest, TextsNameThisComputerAndTheGpuItReports)
{
    const GpuDevice::Override gpu(GpuDevice{QStringLiteral("Intel(R) UHD Graphics 630"), false, true, 0, false});
    Page p(intel(8, false));
    QStringList paragraphs;
    for (const DialogText* text : p.page.findChildren<DialogText*>())
        paragraphs << QString(text->text()).replace(QChar::LineSeparator, u'\n');
    EXPECT_TRUE(paragraphs.contains(QStringLiteral("This is what Corvanthelis sees.\n"
                                                   "Numbers update when you open this screen \u2014\n"
                                                   "free RAM changes as you use your computer.")))
        << paragraphs.join(u'|').toStdString();
    QStringList head;
    // OneLineText has no meta-object of its own: findChildren cannot tell it apart.
    for (QWidget* child : p.page.metalLine()->findChildren<QWidget*>()) {
        if (const auto* text = dynamic_cast<OneLineText*>(child))
            head << text->text();
    }
    EXPECT_EQ(head.join(u'|'), QStringLiteral("GPU OFFLOAD"));
    EXPECT_EQ(p.page.metalToggle()->accessibleName(), QStringLiteral("GPU offload"));
    EXPECT_EQ(p.page.metalLine()->toolTip(),
              QStringLiteral("Not available on Intel UHD Graphics 630. Vulkan reports no GPU here, at most a software "
                             "renderer, which is no faster than the CPU."));
}

TEST_F(HardwarePageTest, UsableGpuAsksBeforeStoringAndReadsAgainOnConfirm)
{
    Page p(intel(8, true));
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    CvnConfirmDialog* dialog = p.page.metalDialog();
    ASSERT_TRUE(dialog);
    const QString body = "This takes effect the next time a model is loaded. To apply it now, pick the model again in "
                         "SELECT A MODEL.";
    EXPECT_EQ(texts(dialog), (QStringList{"Turn on GPU offload?", body, "TURN ON", "CANCEL"}));
    EXPECT_FALSE(p.page.metalToggle()->isOn()) << "the switch waits for the answer";

    const int readsBefore = p.reads.loadAcquire();
    QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::metalOffload));
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    EXPECT_EQ(p.page.pendingMetal(), std::nullopt);

    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    QTest::mouseClick(p.page.metalDialog()->confirmButton(), Qt::LeftButton);
    EXPECT_TRUE(AppSettings::boolValue(AppSettings::metalOffload));
    EXPECT_TRUE(p.page.metalToggle()->isOn());
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(p.reads.loadAcquire(), readsBefore + 1);

    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    EXPECT_EQ(texts(p.page.metalDialog()), (QStringList{"Turn off GPU offload?", body, "TURN OFF", "CANCEL"}));
}

// Flipped, the switch speaks of the next load, and the words under it say
// what the model loaded now keeps running on until then.
TEST_F(HardwarePageTest, SwitchWordsTellWhatTheLoadedModelRunsOnUntilTheNextLoad)
{
    std::atomic<int64_t> layers = 0;
    Page p(intel(8, true), [&] { return HardwarePage::Run{.gpuLayers = layers.load()}; });
    const QString runs = QStringLiteral("Runs the model's layers on the GPU. Off keeps everything on the CPU.");
    EXPECT_EQ(p.page.metalExplanation()->text(), runs);

    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    QTest::mouseClick(p.page.metalDialog()->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(p.page.metalExplanation()->text(),
              runs + QStringLiteral(" The model loaded now runs on the CPU until the next load."));

    layers = 12; // loaded again, on the GPU
    p.page.refreshRig();
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_TRUE(waitUntil([&] { return p.page.run().gpuLayers == 12; }));
    EXPECT_EQ(p.page.metalExplanation()->text(), runs);
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    QTest::mouseClick(p.page.metalDialog()->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::metalOffload));
    EXPECT_EQ(p.page.metalExplanation()->text(),
              runs + QStringLiteral(" The model loaded now keeps 12 layers on the GPU until the next load."));
}

// After a GPU fault the device stays lost for the rest of the run: the
// switch is off and dimmed, and the words say a restart brings it back.
TEST_F(HardwarePageTest, AStoppedGpuKeepsTheSwitchOffUntilARestart)
{
    AppSettings::setValue(AppSettings::metalOffload, true);
    Page p(intel(8, true), [] { return HardwarePage::Run{.gpuStopped = true, .gpuLayers = 0}; });
    EXPECT_FALSE(p.page.metalToggle()->isOn());
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    const QString stopped = QStringLiteral("The GPU stopped during a reply, so GPU offload is off until Corvanthelis "
                                           "restarts: restart Corvanthelis to use the GPU again.");
    EXPECT_EQ(p.page.metalExplanation()->text(), stopped);
    EXPECT_EQ(p.page.metalLine()->toolTip(), stopped);
}

TEST_F(HardwarePageTest, ToggleDrawsItsStatesAndIgnoresTapsWhenDisabled)
{
    QWidget host;
    auto* toggle = new CvnCardToggle(false, QStringLiteral("GPU offload"), true, &host);
    host.resize(40, 20);
    showAndSettle(host);
    int asked = 0;
    QObject::connect(toggle, &CvnCardToggle::writeRequested, [&](bool on) { asked += on ? 1 : 100; });
    const QColor grey(0x94, 0x94, 0x94);
    const QImage off = renderOver(*toggle, kInk);
    EXPECT_TRUE(pixelNear(off, 10, 10, grey)) << "the knob";
    EXPECT_TRUE(pixelNear(off, 30, 10, kInk)) << "the empty track";
    EXPECT_TRUE(pixelNear(off, 20, 0, grey, 40)) << "the outline";
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(1, 1)); // a corner outside the capsule still counts
    EXPECT_EQ(asked, 1);

    toggle->setOn(true);
    const QImage on = renderOver(*toggle, kInk);
    EXPECT_TRUE(pixelNear(on, 30, 10, kInk));
    EXPECT_TRUE(pixelNear(on, 10, 10, kWhite));

    toggle->setToggleEnabled(false);
    EXPECT_EQ(toggle->accessibleDescription(), QStringLiteral("unavailable"));
    EXPECT_NEAR(alphaAt(renderOver(*toggle, Qt::transparent), 10, 10), 255 * 0.4, 2);
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_EQ(asked, 1);
}

TEST_F(HardwarePageTest, RigLinesColourRunsAndSpaceTheNote)
{
    const RigInfo rig = intel().rig;
    for (const bool compact : {true, false}) {
        RigCardLines lines(rig, compact, 20);
        ASSERT_EQ(lines.lineCount(), 4);
        const QList<QRectF> r = lines.lineRects(2000);
        const qreal spacing = compact ? 10 : 12;
        EXPECT_DOUBLE_EQ(r[1].top() - r[0].bottom(), spacing);
        EXPECT_DOUBLE_EQ(r[3].top() - r[2].bottom(), spacing + (compact ? 12 : 15));
        EXPECT_EQ(lines.heightForWidth(2000), qCeil(r[3].bottom() + 20));
    }

    // Each tone has its colour; untoned runs take the paper pen.
    QList<std::pair<QString, QColor>> runs;
    for (const HardwareInfo::Line& line : HardwareInfo::summaryRuns(rig)) {
        const RigCardLines::LineText text = RigCardLines::lineText(line);
        for (const auto& range : text.formats)
            runs.append({text.text.mid(range.start, range.length), range.format.foreground().color()});
    }
    const QColor muted(0xB0, 0xB0, 0xB0), amber(0xE0, 0xA0, 0x30), good(0x7F, 0xD1, 0x84), danger(0xF2, 0x8B, 0x93);
    for (const auto& expected : {std::pair{QStringLiteral("Free right now: "), muted}, {"No GPU detected", amber},
                                 {"3B", good}, {"70B", danger}})
        EXPECT_TRUE(runs.contains(expected)) << expected.first.toStdString();
    RigInfo blocks = rig;
    blocks.cpuShortName = QString(4, QChar(0x2588));
    RigCardLines drawn(blocks, true, 0);
    drawn.resize(500, drawn.heightForWidth(500));
    showAndSettle(drawn);
    const int x = qRound(QFontMetricsF(Theme::interMedium13()).horizontalAdvance(QStringLiteral("Your computer: ")) + 10);
    EXPECT_TRUE(pixelNear(renderOver(drawn, kInk), x, int(drawn.lineRects(500)[0].center().y()), kWhite));

    const QString m1 = QStringLiteral("Apple M1 Pro");
    RigCardLines three({.ramTotalMb = 16384, .ramFreeMb = 9000, .cpuShortName = m1, .gpuName = m1, .gpuVramMb = 10922,
                        .isUsableForInference = true},
                       false, 0);
    ASSERT_EQ(three.lineCount(), 3);
    const QList<QRectF> r = three.lineRects(2000);
    EXPECT_DOUBLE_EQ(r[2].top() - r[1].bottom(), 12);
    EXPECT_EQ(three.heightForWidth(2000), qCeil(r[2].bottom()));
}

// The chats page over a database of its own: its two rows ask for a file,
// and an export and an import run to an outcome the page states.
TEST_F(PagesTest, ChatsPageExportsEveryChatAndImportsThemOnceNamingABadLine)
{
    const QString folder = cvn::test::makeTempFolder("chats-page");
    ChatDatabase db(folder + "/chats.db");
    for (const char* title : {"First", "Second"}) {
        const int64_t id = db.insertChat(title, "M");
        db.insertMessage(id, "user", QStringLiteral("Hello from %1").arg(title));
    }
    ChatStore store(db);
    ChatsPage page(store, {});
    QStringList asked;
    const QString file = folder + "/all.jsonl";
    page.setFileChoosers([&](QWidget*, auto chosen) { asked << "export"; chosen(file); },
                         [&](QWidget*, auto chosen) { asked << "import"; chosen(file); });
    page.resize(800, 600);
    showAndSettle(page);
    auto runToEnd = [&] {
        for (int i = 0; i < 1000 && page.isRunning(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    };

    const QList<CardRowButton*> rows = page.card()->findChildren<CardRowButton*>();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0]->text(), QStringLiteral("Export all chats…"));
    EXPECT_EQ(rows[1]->text(), QStringLiteral("Import chats…"));
    QTest::mouseClick(rows[0], Qt::LeftButton);
    runToEnd();
    EXPECT_EQ(page.outcome(), QStringLiteral("Exported 2 chats."));

    QTest::mouseClick(rows[1], Qt::LeftButton);
    runToEnd();
    EXPECT_EQ(page.outcome(), QStringLiteral("Imported 0 chats; 2 chats already there were skipped."));
    EXPECT_EQ(asked, (QStringList{"export", "import"}));
    EXPECT_EQ(store.rows().size(), 2);

    QFile bad(file);
    ASSERT_TRUE(bad.open(QIODevice::Append));
    bad.write("{\"format\": \"corvanthelis-chat\"}\n");
    bad.close();
    db.run("DELETE FROM chats");
    store.reload();
    ASSERT_TRUE(store.rows().isEmpty());
    page.importFrom(file);
    runToEnd();
    EXPECT_EQ(page.outcome(), QStringLiteral("Import stopped at line 3: missing field \"version\". Imported 2 chats "
                                             "before it."));
    EXPECT_EQ(store.rows().size(), 2);

    // A database with no room left ends the import, saying why, instead of
    // waiting as it does for another program's lock.
    ChatDatabase full(folder + "/full.db");
    const ChatDatabase::Statement pages = full.prepare("PRAGMA page_count");
    ASSERT_TRUE(pages && ChatDatabase::stepRow(pages.get()));
    ASSERT_TRUE(full.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(ChatDatabase::integerColumn(pages.get(), 0))));
    ChatStore fullStore(full);
    ChatsPage fullPage(fullStore, {});
    // Too long for the free room of the pages there are.
    QFile big(folder + "/big.jsonl");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write("{\"format\":\"corvanthelis-chat\",\"version\":1,\"title\":\"Big\",\"pinned\":false,\"council\":false,"
              "\"councilOn\":false,\"createdAt\":5,\"updatedAt\":null,\"model\":null,\"messages\":[{\"role\":\"user\","
              "\"text\":\"" + QByteArray(20000, 'x') + "\",\"createdAt\":5,\"model\":null,\"reasoning\":null,"
              "\"reasoningDurationMs\":null,\"attachments\":[]}]}\n");
    big.close();
    fullPage.importFrom(big.fileName());
    for (int i = 0; i < 1000 && fullPage.isRunning(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(fullPage.outcome(),
              QStringLiteral("Import stopped: the disk that holds the chats is full. Imported 0 chats before it."));
}
