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

class HardwarePageTest : public KitTest {
protected:
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

// A page shown with fixed facts, after its first read has landed.
struct Page {
    explicit Page(const SystemFacts& facts)
        : override([this, facts] {
              reads.fetchAndAddOrdered(1);
              return facts;
          })
    {
        page.resize(800, 1000);
        showAndSettle(page);
        EXPECT_TRUE(waitUntil([&] { return page.facts().has_value(); }));
    }
    QAtomicInt reads = 0;
    SystemFacts::Override override;
    HardwarePage page{{}};
};

} // namespace

TEST_F(HardwarePageTest, ReadsOffTheMainThreadThenShowsTheLines)
{
    QSemaphore gate;
    SystemFacts::Override facts([&gate] {
        gate.acquire();
        return intel();
    });
    HardwarePage page({});
    page.resize(800, 1000);
    showAndSettle(page);
    EXPECT_TRUE(page.readingText()->isVisible());
    EXPECT_EQ(page.readingText()->text(), QStringLiteral("Reading hardware…"));
    EXPECT_EQ(page.readingText()->color()(), kWhite);
    EXPECT_GE(page.rigCard()->height(), 134);
    gate.release();
    ASSERT_TRUE(waitUntil([&] { return page.rigLines() && page.rigLines()->isVisible(); }));
    EXPECT_FALSE(page.readingText()->isVisible());
    EXPECT_EQ(page.rigLines()->plainLine(0), QStringLiteral("Your Mac: Intel Core i7-9750H, 16 GB RAM, No GPU detected"));
}

TEST_F(HardwarePageTest, StaleReadNeverReplacesANewerOne)
{
    QSemaphore entered;
    QSemaphore release;
    std::atomic<bool> blockNext = false;
    SystemFacts::Override facts([&] {
        if (blockNext.exchange(false)) {
            entered.release();
            release.acquire();
            return intel(8, false, QStringLiteral("Old"));
        }
        return intel(8, false, QStringLiteral("New"));
    });
    HardwarePage page({});
    page.resize(800, 1000);
    showAndSettle(page);
    ASSERT_TRUE(waitUntil([&] { return page.facts().has_value(); }));

    blockNext = true;
    page.refreshRig();
    entered.acquire(); // the older read is in flight and holds "Old"
    page.refreshRig();
    ASSERT_TRUE(waitUntil([&] { return page.facts()->rig.cpuShortName == QStringLiteral("New"); }));
    release.release();
    QThreadPool::globalInstance()->waitForDone();
    QApplication::processEvents();
    EXPECT_EQ(page.facts()->rig.cpuShortName, QStringLiteral("New"));
}

TEST_F(HardwarePageTest, ThreadValueShowsTheStoredCountAndTheSliderClamps)
{
    struct Case {
        int processors;
        std::optional<int> stored;
        QString value;
        int position;
        QString available;
    };
    const Case cases[] = {
        {8, std::nullopt, "2", 1, "8 available, default 2"},
        {8, 0, "0", 0, "8 available, default 2"},
        {8, 64, "64", 7, "8 available, default 2"},
        {1, std::nullopt, "1", 0, "1 available, default 1"},
    };
    for (const Case& c : cases) {
        AppSettings::remove(kThreads);
        if (c.stored)
            AppSettings::setValue(kThreads, *c.stored);
        Page p(intel(c.processors));
        EXPECT_EQ(p.page.threadValue()->text(), c.value) << c.processors;
        EXPECT_EQ(p.page.threadSlider()->steps(), c.processors);
        EXPECT_EQ(p.page.threadSlider()->value(), c.position) << c.value.toStdString();
        EXPECT_TRUE(p.page.threadsExplanation()->text().endsWith(
            QStringLiteral("the CPU does. ") + c.available
            + QStringLiteral(". Both settings take effect the next time a model is loaded.")));
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
    CvnCardToggle* toggle = p.page.metalToggle();
    EXPECT_FALSE(toggle->isOn());
    EXPECT_EQ(toggle->accessibleDescription(), QStringLiteral("unavailable"));
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_EQ(p.page.metalDialog(), nullptr);
    EXPECT_EQ(p.page.metalExplanation()->text(),
              QStringLiteral("Not available on this Mac's GPU. Corvanthelis runs on your CPU."));
    EXPECT_TRUE(p.page.metalLine()->toolTip().startsWith(QStringLiteral("Not available on No Metal GPU. llama.cpp's")));
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
    EXPECT_EQ(p.page.pendingMetal(), std::optional<bool>(true));
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
    QImage off = renderOver(*toggle, kInk);
    EXPECT_TRUE(pixelNear(off, 10, 10, grey));
    EXPECT_TRUE(pixelNear(off, 30, 10, kInk));
    EXPECT_TRUE(pixelNear(off, 20, 0, grey, 40)) << "the outline";
    EXPECT_EQ(toggle->accessibleDescription(), QStringLiteral("off"));
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(1, 1)); // a corner outside the capsule still counts
    EXPECT_EQ(asked, 1);

    toggle->setOn(true);
    const QImage on = renderOver(*toggle, kInk);
    EXPECT_TRUE(pixelNear(on, 30, 10, kInk));
    EXPECT_TRUE(pixelNear(on, 10, 10, kWhite));
    EXPECT_TRUE(pixelNear(on, 20, 2, kWhite));

    toggle->setToggleEnabled(false);
    EXPECT_EQ(toggle->accessibleDescription(), QStringLiteral("unavailable"));
    EXPECT_NEAR(alphaAt(renderOver(*toggle, Qt::transparent), 10, 10), 255 * 0.4, 2);
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_EQ(asked, 1);
}

TEST_F(HardwarePageTest, RigLinesColourRunsAndSpaceTheNote)
{
    const RigInfo rig = intel().rig;
    const QStringList expected = {
        QStringLiteral("Your Mac: Intel Core i7-9750H, 16 GB RAM, No GPU detected"),
        QStringLiteral("Free right now: 7.8 GB"),
        QStringLiteral("You can run: 3B (now), 7B (now), 13B (close apps). 30B, 70B won't fit."),
        QStringLiteral("GPU acceleration is not available on this Mac. Corvanthelis runs on your CPU."),
    };
    for (const bool compact : {true, false}) {
        RigCardLines lines(rig, compact, 20);
        ASSERT_EQ(lines.lineCount(), 4);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(lines.plainLine(i), expected[i]);
        const QList<QRectF> r = lines.lineRects(2000);
        const qreal spacing = compact ? 10 : 12;
        EXPECT_DOUBLE_EQ(r[1].top() - r[0].bottom(), spacing);
        EXPECT_DOUBLE_EQ(r[3].top() - r[2].bottom(), spacing + (compact ? 12 : 15));
        EXPECT_EQ(lines.heightForWidth(2000), qCeil(r[3].bottom() + 20));
    }

    const auto colours = [](const HardwareInfo::Line& line) {
        QList<std::pair<QString, QColor>> out;
        const RigCardLines::LineText text = RigCardLines::lineText(line);
        for (const auto& range : text.formats)
            out.append({text.text.mid(range.start, range.length), range.format.foreground().color()});
        return out;
    };
    const QList<HardwareInfo::Line> runs = HardwareInfo::summaryRuns(rig);
    EXPECT_EQ(colours(runs[0]), (QList<std::pair<QString, QColor>>{{"Your Mac: ", QColor(0xB0, 0xB0, 0xB0)},
                                                                   {"No GPU detected", QColor(0xE0, 0xA0, 0x30)}}))
        << "the CPU and RAM run has no colour of its own: it takes the paper pen";
    const auto run = colours(runs[2]);
    EXPECT_EQ(run[1], (std::pair<QString, QColor>{"3B", QColor(0x7F, 0xD1, 0x84)}));
    EXPECT_EQ(run.last(), (std::pair<QString, QColor>{"70B", QColor(0xF2, 0x8B, 0x93)}));

    // Untoned runs take the paper pen: a CPU named by full blocks shows it.
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
