#include "chat/shared/DebugPanel.h"
#include "chat/shared/LayoutProbe.h"

#include "platform/AppSettings.h"
#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"

#include <QRegularExpression>

using namespace cvn;
using S = DebugPanelModel::Status;

namespace {

class DebugPanelTest : public cvn::test::KitTest {};

LoadAttempt attempt(LoadAttempt::Outcome outcome)
{
    return {QStringLiteral("x.gguf"), QDateTime(QDate(2026, 3, 1), QTime(14, 3, 7)), std::move(outcome)};
}
const LoadAttempt kFailed = attempt(LoadAttempt::Failed{QStringLiteral("boom")});

LlamaSession::Snapshot session(std::optional<QString> model, bool streaming, std::optional<double> rate)
{
    LlamaSession::Snapshot s{QStringLiteral("3F2A9C1B"), std::move(model), 4096, {}, {}, streaming, rate};
    return s;
}

// What a process that has just started gathers.
DebugPanelModel::Inputs fresh()
{
    return {QDateTime::currentDateTime(), defaultGpuDevice(), {}, {}, {}, {}, readProcessMemory(), {}};
}

QStringList probeLines(const QStringList& keys)
{
    QStringList lines = LayoutProbe::snapshot();
    lines.removeIf([&](const QString& l) { return !keys.contains(l.section(QStringLiteral(": "), 0, 0)); });
    return lines;
}

} // namespace

TEST_F(DebugPanelTest, Readings)
{
    using namespace DebugReadings;
    const QList<LlamaSession::Snapshot> sessions = {session(QStringLiteral("Qwen 7B"), false, std::nullopt),
                                                    session(std::nullopt, true, std::nullopt),
                                                    session(QStringLiteral("Phi"), true, 12.345)};
    ScrollDiagnostics::Values scroll{3, 2, false, 200, 1000, 400, 600};
    ScrollDiagnostics::Values noTurns = scroll;
    noTurns.turns = 0;
    const std::pair<QString, QString> cases[] = {
        {lastLoadLine(attempt(LoadAttempt::Ok{4096, QStringLiteral("qwen2")})),
         QStringLiteral("x.gguf at 14:03:07 \u2014 OK ctx=4096 arch=qwen2")},
        {lastLoadLine(attempt(LoadAttempt::Ok{4096, std::nullopt})),
         QStringLiteral("x.gguf at 14:03:07 \u2014 OK ctx=4096 arch=unknown")},
        {lastLoadLine(kFailed), QStringLiteral("x.gguf at 14:03:07 \u2014 FAILED boom")},
        {loadedModelsLines(sessions.mid(0, 2)), QStringLiteral("Qwen 7B (ctx=4096, arch=unknown, chat=chatML)")},
        {loadedModelsLines({}), QStringLiteral("none")},
        {streamingLines(sessions), QStringLiteral("3F2A9C1B \u2014 starting\n3F2A9C1B \u2014 12.3 tok/s")},
        {streamingLines({}), QStringLiteral("idle")},
        {scrollLine(scroll), QStringLiteral("updates=3 turns=2 autoFollow=no offset=200 content=1000 viewport=400 "
                                            "scrollable=600 bottom=600 -> BUTTON SHOWS")},
        {scrollLine(noTurns).section(u'>', 1), QStringLiteral(" button hidden")},
        {scrollLine({5000000000, 1, true, 0, 300, 400, 0}),
         QStringLiteral("updates=5000000000 turns=1 autoFollow=YES offset=0 content=300 viewport=400 scrollable=0 "
                        "bottom=0 -> button hidden")},
        {memoryLine(parseProcessStatus("Name:\tx\nVmRSS:\t  204800 kB\nRssAnon:\t  102400 kB\nVmSwap:\t0 kB\n")),
         QStringLiteral("resident 200 MB, footprint 100 MB")},
        {memoryLine(parseProcessStatus("VmRSS: 2047 kB\nRssAnon: 1000 kB\nVmSwap: 1048 kB")),
         QStringLiteral("resident 1 MB, footprint 2 MB")},
        {memoryLine(parseProcessStatus("VmRSSX: 9999 kB\nVmRSS: nope\n")),
         QStringLiteral("resident 0 MB, footprint 0 MB")},
    };
    for (const auto& [got, expected] : cases)
        EXPECT_EQ(got, expected);
}

TEST_F(DebugPanelTest, GpuSummaryFormsFromTheFactsTheGpuLayerReports)
{
    // This machine has no GPU; the GPU layer reports what the test gives it.
    GpuDevice unified{QStringLiteral("Apple M2 Max"), true, false, 49152ull * 1048576, true};
    GpuDevice integrated{QStringLiteral("Intel(R) Iris(R) Plus Graphics"), false, true, 1048575, false};
    GpuDevice discrete{QStringLiteral("AMD Radeon Pro 5500M"), false, false, 4ull * 1073741824 + 1048575, false};
    const LoadedModelSnapshot cpuOnly{1, QStringLiteral("a.gguf"), 4096, std::nullopt, 0, 32};
    const LoadedModelSnapshot offloaded{2, QStringLiteral("b.gguf"), 4096, std::nullopt, 28, 28};
    const LoadedModelSnapshot alsoOffloaded{3, QStringLiteral("c.gguf"), 4096, std::nullopt, 5, 40};
    const struct {
        std::optional<GpuDevice> device;
        std::vector<LoadedModelSnapshot> models;
        QString summary;
    } cases[] = {
        {unified, {}, QStringLiteral("Apple M2 Max, unified, device memory 49152 MB, not used - no model loaded")},
        {unified, {cpuOnly, offloaded, alsoOffloaded},
         QStringLiteral("Apple M2 Max, unified, device memory 49152 MB, used (28 of 28 layers, b.gguf)")},
        // Below 1 MB of memory: no memory part; no guess at a low-power part.
        {integrated, {cpuOnly},
         QStringLiteral("Intel(R) Iris(R) Plus Graphics, discrete/integrated, not used - CPU only "
                        "(GPU offload off or not supported on this GPU)")},
        {discrete, {alsoOffloaded},
         QStringLiteral("AMD Radeon Pro 5500M, discrete/integrated, device memory 4096 MB, used (5 of 40 layers, "
                        "c.gguf)")},
        {std::nullopt, {offloaded}, QStringLiteral("none")},
    };
    for (const auto& c : cases) {
        const GpuDevice::Override gpu(c.device);
        const DebugPanelModel::Inputs in = DebugPanelModel::gather(QDateTime::currentDateTime());
        EXPECT_EQ(in.gpu, c.device);
        EXPECT_EQ(DebugReadings::metalSummary(in.gpu, c.models), c.summary);
        DebugPanelModel::Inputs withModels = in;
        withModels.liveModels = c.models;
        const DebugPanelModel::Row row = DebugPanelModel::build(withModels).rows[1];
        EXPECT_EQ(row, (DebugPanelModel::Row{QStringLiteral("GPU"), c.summary, c.device ? S::ok : S::failed}));
    }
    // The override goes with its scope: the machine's own reading is back.
    EXPECT_EQ(defaultGpuDevice(), machineGpuDevice());
    EXPECT_EQ(DebugPanelModel::gather(QDateTime::currentDateTime()).gpu, std::nullopt);
}

TEST_F(DebugPanelTest, TheGpuRowSaysWhyAModelRunsOnTheCpu)
{
    const GpuDevice discrete{QStringLiteral("AMD Radeon RX 7600"), false, false, 8ull << 30, true};
    const auto row = [&](CpuReason reason, DebugReadings::GpuSwitch gpuSwitch) {
        LoadedModelSnapshot model{1, QStringLiteral("a.gguf"), 4096, std::nullopt, 0, 32};
        model.cpuReason = reason;
        return DebugReadings::metalSummary(discrete, {model}, gpuSwitch)
            .section(QStringLiteral(", "), 3);
    };
    const QString cpu = QStringLiteral("not used - CPU only (%1)");
    EXPECT_EQ(row(CpuReason::offloadOff, {false, false}), cpu.arg(u"GPU offload is off"));
    EXPECT_EQ(row(CpuReason::offloadOff, {true, false}), cpu.arg(u"loaded before GPU offload was switched on"));
    EXPECT_EQ(row(CpuReason::noRoom, {true, false}), cpu.arg(u"the GPU had no room for it"));
    EXPECT_EQ(row(CpuReason::fellBack, {true, false}), cpu.arg(u"the GPU could not load it"));
    // After a GPU fault the row says so whatever the models, until a restart.
    EXPECT_EQ(row(CpuReason::gpuStopped, {true, true}),
              QStringLiteral("stopped - offload is off until Corvanthelis restarts"));
    EXPECT_EQ(DebugReadings::metalSummary(discrete, {}, {true, true}),
              QStringLiteral("AMD Radeon RX 7600, discrete/integrated, device memory 8192 MB, "
                             "stopped - offload is off until Corvanthelis restarts"));
    // The live records reach the row: the switch as it reads now.
    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), true);
    EXPECT_TRUE(DebugPanelModel::gather(QDateTime::currentDateTime()).gpuSwitch.offloadOn);
    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), false);
    EXPECT_FALSE(DebugPanelModel::gather(QDateTime::currentDateTime()).gpuSwitch.offloadOn);
}

TEST_F(DebugPanelTest, FreshProcessRowsAndLiveGathering)
{
    const DebugPanelModel model = DebugPanelModel::build(fresh());
    const QList<DebugPanelModel::Row> expected = {
        {QStringLiteral("Llama runtime"), QStringLiteral("linked"), S::ok},
        {QStringLiteral("GPU"), QStringLiteral("none"), S::failed},
        {QStringLiteral("Last load attempt"), QStringLiteral("not called"), S::none},
        {QStringLiteral("Loaded models"), QStringLiteral("none"), S::none},
        {QStringLiteral("Streaming"), QStringLiteral("idle"), S::none},
        {QStringLiteral("Chat scroll"),
         QStringLiteral("no updates yet - the chat's scroll position has not been reported"), S::none},
        {QStringLiteral("Process memory"), model.rows.value(6).value, S::none},
        {QStringLiteral("Layout"), QStringLiteral("no probes have reported yet"), S::none}};
    EXPECT_EQ(model.rows, expected);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^resident [1-9]\\d* MB, footprint \\d+ MB$"))
                    .match(model.rows[6].value)
                    .hasMatch());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(model.clock).hasMatch());

    LlamaModel::recordLoadAttempt(kFailed);
    ScrollDiagnostics::publish({10, 900, 300}, 600, false, 4);
    const DebugPanelModel::Inputs in = DebugPanelModel::gather(QDateTime::currentDateTime());
    EXPECT_EQ(in.lastLoad, kFailed);
    EXPECT_EQ(in.scroll.turns, 4);
    EXPECT_EQ(in.probes, LayoutProbe::snapshot());
    EXPECT_EQ(DebugPanelModel::build(in).rows[2].status, S::failed);
}

TEST_F(DebugPanelTest, FailedValuesPaintInDangerAndOthersInInk)
{
    for (Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        const bool light = appearance == Appearance::Light;
        const QColor danger = light ? QColor(0xB3, 0x20, 0x2B) : QColor(0xF2, 0x8B, 0x93);
        const QColor ink = light ? cvn::test::kInk : cvn::test::kWhite;
        for (bool ok : {false, true}) {
            DebugPanelModel::Inputs in = fresh();
            in.lastLoad = ok ? attempt(LoadAttempt::Ok{4096, std::nullopt}) : kFailed;
            DebugPanel panel;
            panel.setSource([in] { return DebugPanelModel::build(in); });
            panel.resize(560, panel.heightForWidth(560));
            const QImage image = cvn::test::renderOver(panel, Theme::pageBackground());
            const QRect load = panel.valueRect(2).toAlignedRect();
            EXPECT_GT(cvn::test::countPixels(image, danger, 3, panel.valueRect(1).toAlignedRect()), 4); // "none"
            EXPECT_EQ(cvn::test::countPixels(image, danger, 3, load) > 4, !ok);
            EXPECT_EQ(cvn::test::countPixels(image, ink, 3, load) > 4, ok);
        }
    }
}

TEST_F(DebugPanelTest, LayoutWrapsLongValuesWithoutOverlap)
{
    DebugPanelModel::Inputs in = fresh();
    in.sessions = {session(QStringLiteral("A model with a rather long display name indeed"), true, 3.0),
                   session(QStringLiteral("Second"), true, std::nullopt)};
    DebugPanel panel;
    panel.setSource([in] { return DebugPanelModel::build(in); });
    panel.resize(420, panel.heightForWidth(420));
    EXPECT_EQ(panel.labelRect(0).left(), 12);
    EXPECT_EQ(panel.labelRect(0).width(), 124);
    EXPECT_EQ(panel.valueRect(0).left(), 12 + 124 + 8);
    EXPECT_EQ(panel.valueRect(0).right(), 420 - 12);
    qreal bottom = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(panel.labelRect(i).top(), panel.valueRect(i).top()); // the label stays on the first line
        EXPECT_GE(panel.valueRect(i).top(), bottom + 6) << i;
        bottom = std::max(panel.valueRect(i).bottom(), panel.labelRect(i).bottom());
    }
    EXPECT_LE(bottom + 12, panel.height());
    EXPECT_GE(panel.valueRect(3).height(), 3 * panel.labelRect(0).height() - 1); // two models, one wrapped
}

TEST_F(DebugPanelTest, TicksWhileShownFollowsTheSettingAndFitsItsRows)
{
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::setValue(key, false);
    QWidget window;
    window.resize(600, 800);
    auto* panel = new DebugPanel(&window);
    DebugPanelModel::Inputs in = fresh();
    panel->setSource([&in] { return DebugPanelModel::build(in); });
    panel->bindToSetting();
    cvn::test::showAndSettle(window);
    EXPECT_FALSE(panel->isVisible() || panel->ticker().isActive());
    AppSettings::setValue(key, true);
    EXPECT_TRUE(panel->isVisible() && panel->ticker().isActive());
    EXPECT_EQ(panel->ticker().interval(), 1000);

    // Placed by hand, the card keeps the height its rows need.
    panel->setGeometry(12, 8, 576, 10);
    const int oneLine = panel->height();
    EXPECT_EQ(oneLine, panel->heightForWidth(576));
    in.probes = {QStringLiteral("a: x 1  y 2  w 3  h 4"), QStringLiteral("b: x 1  y 2  w 3  h 4")};
    panel->refresh();
    EXPECT_GT(panel->height(), oneLine);
    EXPECT_EQ(panel->height(), panel->heightForWidth(576));

    AppSettings::setValue(key, false);
    EXPECT_FALSE(panel->isVisible() || panel->ticker().isActive());
}

TEST_F(DebugPanelTest, ProbesRecordTheirWidgetsPlaceSortedByKey)
{
    // The registry lives as long as the process: a run of the whole suite
    // repeated starts with the lines of the run before.
    const QStringList unseen = {QStringLiteral("models card"), QStringLiteral("never shown"), QStringLiteral("top level")};
    const QStringList before = probeLines(unseen);
    QWidget window, hidden, top;
    window.resize(1000, 700);
    auto* card = new QWidget(&window);
    card->setGeometry(368, 204, 544, 350);
    auto* plain = new QWidget(&window);
    plain->setGeometry(10, 20, 30, 40);
    LayoutProbe::attach(card, QStringLiteral("models card"), QStringLiteral("5 models, fitted"));
    LayoutProbe* plainProbe = LayoutProbe::attach(plain, QStringLiteral("plain probe"));
    for (const char* key : {"b", "Z", "a"})
        LayoutProbe::attach(new QWidget(&window), QString::fromLatin1(key));
    LayoutProbe::attach(&hidden, QStringLiteral("never shown"));
    hidden.resize(50, 50);
    LayoutProbe::attach(&top, QStringLiteral("top level")); // a window is not measured in itself
    cvn::test::showAndSettle(top);
    EXPECT_EQ(probeLines(unseen), before);

    cvn::test::showAndSettle(window);
    EXPECT_EQ(probeLines({QStringLiteral("models card"), QStringLiteral("plain probe")}),
              QStringList({QStringLiteral("models card: x 368  y 204  w 544  h 350  (5 models, fitted)"),
                           QStringLiteral("plain probe: x 10  y 20  w 30  h 40")}));
    QStringList sorted = probeLines({QStringLiteral("b"), QStringLiteral("Z"), QStringLiteral("a")});
    EXPECT_EQ(sorted.replaceInStrings(QRegularExpression(QStringLiteral(":.*")), {}), QStringList({"Z", "a", "b"}));

    // One key, two probes: the last record wins.
    auto* other = new QWidget(&window);
    other->setGeometry(1, 2, 3, 4);
    other->show();
    LayoutProbe::attach(other, QStringLiteral("plain probe"));
    EXPECT_EQ(probeLines({QStringLiteral("plain probe")}),
              QStringList{QStringLiteral("plain probe: x 1  y 2  w 3  h 4")});
    plainProbe->setDetail(QStringLiteral("again"));
    EXPECT_EQ(probeLines({QStringLiteral("plain probe")}),
              QStringList{QStringLiteral("plain probe: x 10  y 20  w 30  h 40  (again)")});
}
