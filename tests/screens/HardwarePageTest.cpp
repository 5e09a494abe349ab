#include "platform/AppSettings.h"
#include "screens/HardwarePage.h"
#include "screens/RigCardLines.h"
#include "support/Wait.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnCardToggle.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <QAtomicInt>
#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

using namespace cvn;
using namespace cvn::test;

namespace {

const QString kMetal = QString::fromLatin1(AppSettings::metalOffload);
const QString kThreads = QString::fromLatin1(AppSettings::threadCountKey);

SystemFacts intel(int processors = 8, bool gpuUsable = false, const QString& cpu = QStringLiteral("Intel Core i7-9750H"))
{
    SystemFacts facts;
    facts.rig.ramTotalMb = 16000;
    facts.rig.ramFreeMb = 8000;
    facts.rig.cpuShortName = cpu;
    facts.processorCount = processors;
    facts.gpuUsable = gpuUsable;
    return facts;
}

struct HardwarePageTest : KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::remove(kMetal);
        AppSettings::remove(kThreads);
    }
    void TearDown() override
    {
        QThreadPool::globalInstance()->waitForDone();
        QApplication::processEvents();
        KitTest::TearDown();
    }
};

// A page over `read`, shown; `settled` waits for its first read to land.
struct Page {
    explicit Page(std::function<SystemFacts()> read, bool settled = true)
        : override([this, read] {
              reads.fetchAndAddOrdered(1);
              return read();
          })
    {
        page.resize(800, 1000);
        showAndSettle(page);
        if (settled)
            EXPECT_TRUE(waitUntil([&] { return page.facts().has_value(); }));
    }
    explicit Page(const SystemFacts& facts) : Page([facts] { return facts; }) {}
    QAtomicInt reads = 0;
    SystemFacts::Override override;
    HardwarePage page{{}};
};

} // namespace

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
        AppSettings::remove(kThreads);
        if (c.stored)
            AppSettings::setValue(kThreads, *c.stored);
        Page p(intel(c.processors));
        EXPECT_EQ(p.page.threadValue()->text(), c.value) << c.processors;
        EXPECT_EQ(p.page.threadSlider()->steps(), c.processors);
        EXPECT_EQ(p.page.threadSlider()->value(), c.position) << c.value.toStdString();
        const QString available = QStringLiteral("%1 available, default %2.").arg(c.processors).arg(std::min(c.processors, 2));
        EXPECT_TRUE(p.page.threadsExplanation()->text().contains("the CPU does. " + available + " Both"));
    }
    Page p(intel(8));
    // The wrapped explanation is inside its card, not cut off below it.
    QWidget* text = p.page.threadsExplanation();
    QWidget* card = p.page.findChild<QWidget*>(QStringLiteral("cvn.hardware.performance"));
    EXPECT_GT(text->height(), 3 * QFontMetrics(Theme::interRegular13()).height() - 4);
    EXPECT_LE(text->mapTo(card, QPoint(0, text->height())).y() + 13, card->height());
    emit p.page.threadSlider()->valueWritten(3);
    EXPECT_EQ(AppSettings::value(kThreads).toInt(), 4);
    EXPECT_EQ(p.page.threadValue()->text(), QStringLiteral("4"));
}

TEST_F(HardwarePageTest, UnusableGpuKeepsTheSwitchOffDimmedAndSilent)
{
    AppSettings::setValue(kMetal, true);
    Page p(intel(8, false));
    EXPECT_FALSE(p.page.metalToggle()->isOn());
    EXPECT_EQ(p.page.metalToggle()->accessibleDescription(), QStringLiteral("unavailable"));
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    EXPECT_EQ(p.page.metalExplanation()->text(),
              QStringLiteral("Not available on this Mac's GPU. Corvanthelis runs on your CPU."));
}

TEST_F(HardwarePageTest, UsableGpuAsksBeforeStoringAndReadsAgainOnConfirm)
{
    Page p(intel(8, true));
    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    CvnConfirmDialog* dialog = p.page.metalDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->titleText()->text(), QStringLiteral("Turn on Metal offload?"));
    EXPECT_EQ(dialog->bodyText()->text(), QStringLiteral("This takes effect the next time a model is loaded. To apply "
                                                         "it now, pick the model again in SELECT A MODEL."));
    EXPECT_EQ(dialog->confirmButton()->text(), QStringLiteral("TURN ON"));
    EXPECT_EQ(dialog->cancelButton()->text(), QStringLiteral("CANCEL"));
    EXPECT_FALSE(p.page.metalToggle()->isOn()) << "the switch waits for the answer";

    const int readsBefore = p.reads.loadAcquire();
    QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(AppSettings::boolValue(kMetal));
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    EXPECT_EQ(p.page.pendingMetal(), std::nullopt);

    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    QTest::mouseClick(p.page.metalDialog()->confirmButton(), Qt::LeftButton);
    EXPECT_TRUE(AppSettings::boolValue(kMetal));
    EXPECT_TRUE(p.page.metalToggle()->isOn());
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(p.reads.loadAcquire(), readsBefore + 1);

    QTest::mouseClick(p.page.metalToggle(), Qt::LeftButton);
    ASSERT_TRUE(p.page.metalDialog());
    EXPECT_EQ(p.page.metalDialog()->titleText()->text(), QStringLiteral("Turn off Metal offload?"));
    EXPECT_EQ(p.page.metalDialog()->confirmButton()->text(), QStringLiteral("TURN OFF"));
}

TEST_F(HardwarePageTest, ToggleDrawsItsStatesAndIgnoresTapsWhenDisabled)
{
    QWidget host;
    auto* toggle = new CvnCardToggle(false, QStringLiteral("Metal offload"), true, &host);
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
    const int x = qRound(QFontMetricsF(Theme::interMedium13()).horizontalAdvance(QStringLiteral("Your Mac: ")) + 10);
    EXPECT_TRUE(pixelNear(renderOver(drawn, kInk), x, int(drawn.lineRects(500)[0].center().y()), kWhite));

    RigInfo m1;
    m1.ramTotalMb = 16384;
    m1.ramFreeMb = 9000;
    m1.cpuShortName = m1.gpuName.emplace(QStringLiteral("Apple M1 Pro"));
    m1.gpuVramMb = 10922;
    m1.isUsableForInference = true;
    RigCardLines three(m1, false, 0);
    ASSERT_EQ(three.lineCount(), 3);
    const QList<QRectF> r = three.lineRects(2000);
    EXPECT_DOUBLE_EQ(r[2].top() - r[1].bottom(), 12);
    EXPECT_EQ(three.heightForWidth(2000), qCeil(r[2].bottom()));
}
