#include "chat/DebugPanel.h"
#include "chat/LayoutProbe.h"

#include "platform/AppSettings.h"
#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"

#include <QRegularExpression>
#include <QShortcut>

using namespace cvn;

namespace {

class DebugPanelTest : public cvn::test::KitTest {};

QDateTime at140307()
{
    return QDateTime(QDate(2026, 3, 1), QTime(14, 3, 7), Qt::LocalTime);
}

LoadAttempt attempt(const QString& file, LoadAttempt::Outcome outcome)
{
    return {file, at140307(), std::move(outcome)};
}

LlamaSession::Snapshot session(std::optional<QString> model, bool streaming, std::optional<double> rate)
{
    LlamaSession::Snapshot s;
    s.shortId = QStringLiteral("3F2A9C1B");
    s.modelName = std::move(model);
    s.contextSize = 4096;
    s.isStreaming = streaming;
    s.tokensPerSecond = rate;
    return s;
}

// What a process that has just started would gather.
DebugPanelModel::Inputs fresh()
{
    DebugPanelModel::Inputs in;
    in.now = QDateTime::currentDateTime();
    in.gpu = defaultGpuDevice();
    in.memory = readProcessMemory();
    return in;
}

QStringList probeLines(const QStringList& keys)
{
    QStringList out;
    for (const QString& line : LayoutProbe::snapshot()) {
        if (keys.contains(line.section(QStringLiteral(": "), 0, 0)))
            out << line;
    }
    return out;
}

} // namespace

TEST_F(DebugPanelTest, ReadingsOfEachRecord)
{
    using namespace DebugReadings;
    EXPECT_EQ(lastLoadLine(attempt(QStringLiteral("q.gguf"), LoadAttempt::Ok{4096, QStringLiteral("qwen2")})),
              QStringLiteral("q.gguf at 14:03:07 \u2014 OK ctx=4096 arch=qwen2"));
    EXPECT_TRUE(lastLoadLine(attempt(QStringLiteral("q.gguf"), LoadAttempt::Ok{4096, std::nullopt}))
                    .endsWith(QStringLiteral("arch=unknown")));
    EXPECT_EQ(lastLoadLine(attempt(QStringLiteral("x.gguf"), LoadAttempt::Failed{QStringLiteral("boom")})),
              QStringLiteral("x.gguf at 14:03:07 \u2014 FAILED boom"));
    EXPECT_EQ(lastLoadLine(std::nullopt), QStringLiteral("not called"));

    const QList<LlamaSession::Snapshot> sessions = {session(QStringLiteral("Qwen 7B"), false, std::nullopt),
                                                    session(std::nullopt, true, std::nullopt),
                                                    session(QStringLiteral("Phi"), true, 12.345)};
    EXPECT_EQ(loadedModelsLines(sessions.mid(0, 2)), QStringLiteral("Qwen 7B (ctx=4096, arch=unknown, chat=chatML)"));
    EXPECT_EQ(loadedModelsLines({}), QStringLiteral("none"));
    EXPECT_EQ(streamingLines(sessions),
              QStringLiteral("3F2A9C1B \u2014 starting\n3F2A9C1B \u2014 12.3 tok/s"));
    EXPECT_EQ(streamingLines(sessions.mid(0, 1)), QStringLiteral("idle"));

    ScrollDiagnostics::Values d{3, 2, false, 200, 1000, 400, 600};
    EXPECT_EQ(scrollLine(d), QStringLiteral("updates=3 turns=2 autoFollow=no offset=200 content=1000 viewport=400 "
                                            "scrollable=600 bottom=600 -> BUTTON SHOWS"));
    d.turns = 0;
    EXPECT_TRUE(scrollLine(d).endsWith(QStringLiteral("-> button hidden")));
    d = {5000000000, 1, true, 0, 300, 400, 0};
    EXPECT_EQ(scrollLine(d), QStringLiteral("updates=5000000000 turns=1 autoFollow=YES offset=0 content=300 "
                                            "viewport=400 scrollable=0 bottom=0 -> button hidden"));

    EXPECT_EQ(memoryLine(parseProcessStatus("Name:\tx\nVmRSS:\t  204800 kB\nRssAnon:\t  102400 kB\nVmSwap:\t0 kB\n")),
              QStringLiteral("resident 200 MB, footprint 100 MB"));
    EXPECT_EQ(parseProcessStatus("VmRSS: 2047 kB\nRssAnon: 1000 kB\nVmSwap: 1048 kB"), (ProcessMemory{1, 2}));
    EXPECT_EQ(parseProcessStatus("VmRSSX: 9999 kB\nVmRSS: nope\n"), (ProcessMemory{0, 0}));
}

TEST_F(DebugPanelTest, FreshProcessRows)
{
    const DebugPanelModel model = DebugPanelModel::build(fresh());
    using S = DebugPanelModel::Status;
    ASSERT_EQ(model.rows.size(), 8);
    const QList<DebugPanelModel::Row> expected = {
        {QStringLiteral("Llama runtime"), QStringLiteral("linked"), S::ok},
        {QStringLiteral("Metal"), QStringLiteral("none"), S::failed},
        {QStringLiteral("Last load attempt"), QStringLiteral("not called"), S::none},
        {QStringLiteral("Loaded models"), QStringLiteral("none"), S::none},
        {QStringLiteral("Streaming"), QStringLiteral("idle"), S::none},
        {QStringLiteral("Chat scroll"), QStringLiteral("no updates yet - the NSScrollView observer has not reported"),
         S::none},
    };
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(model.rows[i], expected[i]) << i;
    EXPECT_EQ(model.rows[6].label, QStringLiteral("Process memory"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^resident \\d+ MB, footprint \\d+ MB$")).match(model.rows[6].value).hasMatch())
        << model.rows[6].value.toStdString();
    EXPECT_NE(model.rows[6].value, QStringLiteral("resident 0 MB, footprint 0 MB"));
    EXPECT_EQ(model.rows[7], (DebugPanelModel::Row{QStringLiteral("Layout"), QStringLiteral("no probes have reported yet"), S::none}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(model.clock).hasMatch());
    EXPECT_EQ(DebugPanelModel::title, QStringLiteral("DEBUG \u00B7 RUNTIME"));
}

TEST_F(DebugPanelTest, GatherCopiesTheLiveRecords)
{
    const LoadAttempt failed = attempt(QStringLiteral("x.gguf"), LoadAttempt::Failed{QStringLiteral("boom")});
    LlamaModel::recordLoadAttempt(failed);
    ScrollDiagnostics::publish({10, 900, 300}, 600, false, 4);
    const DebugPanelModel::Inputs in = DebugPanelModel::gather(QDateTime::currentDateTime());
    EXPECT_EQ(in.lastLoad, failed);
    EXPECT_EQ(in.scroll.turns, 4);
    EXPECT_EQ(in.scroll.maxOffset, 600);
    EXPECT_EQ(in.probes, LayoutProbe::snapshot());
    const DebugPanelModel model = DebugPanelModel::build(in);
    EXPECT_EQ(model.rows[2].status, DebugPanelModel::Status::failed);
    EXPECT_TRUE(model.rows[5].value.endsWith(QStringLiteral("-> BUTTON SHOWS")));
}

TEST_F(DebugPanelTest, FailedValuesPaintInDangerAndOthersInInk)
{
    struct Case {
        Appearance appearance;
        QColor danger, ink;
    };
    for (const Case& c : {Case{Appearance::Light, QColor(0xB3, 0x20, 0x2B), cvn::test::kInk},
                          Case{Appearance::Dark, QColor(0xF2, 0x8B, 0x93), cvn::test::kWhite}}) {
        Theme::setAppearance(c.appearance);
        for (bool ok : {false, true}) {
            DebugPanelModel::Inputs in = fresh();
            in.lastLoad = ok ? attempt(QStringLiteral("q.gguf"), LoadAttempt::Ok{4096, std::nullopt})
                             : attempt(QStringLiteral("x.gguf"), LoadAttempt::Failed{QStringLiteral("boom")});
            DebugPanel panel;
            panel.setSource([in] { return DebugPanelModel::build(in); });
            panel.resize(560, panel.heightForWidth(560));
            const QImage image = cvn::test::renderOver(panel, Theme::pageBackground());
            const QRect metal = panel.valueRect(1).toAlignedRect();
            const QRect load = panel.valueRect(2).toAlignedRect();
            EXPECT_GT(cvn::test::countPixels(image, c.danger, 3, metal), 4); // "none"
            EXPECT_EQ(cvn::test::countPixels(image, c.danger, 3, load) > 4, !ok);
            EXPECT_EQ(cvn::test::countPixels(image, c.ink, 3, load) > 4, ok);
        }
    }
}

TEST_F(DebugPanelTest, LayoutWrapsLongValuesWithoutOverlap)
{
    DebugPanelModel::Inputs in = fresh();
    in.sessions = {session(QStringLiteral("A model with a rather long display name indeed"), true, 3.0),
                   session(QStringLiteral("Second"), true, std::nullopt)};
    in.probes = {QStringLiteral("composer: x 100  y 600  w 797  h 140"),
                 QStringLiteral("mention popup: x 120  y 300  w 400  h 241  (5 rows)")};
    DebugPanel panel;
    panel.setSource([in] { return DebugPanelModel::build(in); });
    const int width = 420;
    panel.resize(width, panel.heightForWidth(width));
    EXPECT_EQ(panel.labelRect(0).left(), 12);
    EXPECT_EQ(panel.labelRect(0).width(), 124);
    EXPECT_EQ(panel.valueRect(0).left(), 12 + 124 + 8);
    EXPECT_EQ(panel.valueRect(0).right(), width - 12);
    qreal bottom = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(panel.labelRect(i).top(), panel.valueRect(i).top()); // labels stay on the first line
        EXPECT_GE(panel.valueRect(i).top(), bottom + 6) << i;
        bottom = std::max(panel.valueRect(i).bottom(), panel.labelRect(i).bottom());
    }
    EXPECT_LE(bottom + 12, panel.height());
    // Two lines each, and the long model line wraps to more.
    const qreal line = panel.labelRect(0).height();
    EXPECT_GE(panel.valueRect(3).height(), 3 * line - 1);
    EXPECT_GE(panel.valueRect(7).height(), 2 * line - 1);
}

TEST_F(DebugPanelTest, TicksOnlyWhileShownAndFollowsTheSetting)
{
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::setValue(key, false);
    QWidget window;
    window.resize(600, 400);
    auto* panel = new DebugPanel(&window);
    panel->bindToSetting();
    cvn::test::showAndSettle(window);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->ticker().isActive());
    DebugPanel::toggleSetting();
    EXPECT_TRUE(AppSettings::boolValue(key));
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->ticker().isActive());
    EXPECT_EQ(panel->ticker().interval(), 1000);
    AppSettings::setValue(key, false);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->ticker().isActive());

    QShortcut* shortcut = DebugPanel::installToggleShortcut(&window);
    EXPECT_EQ(shortcut->key(), QKeySequence(QStringLiteral("Ctrl+Shift+D")));
    emit shortcut->activated();
    EXPECT_TRUE(panel->isVisible());
    AppSettings::setValue(key, false);
}

TEST_F(DebugPanelTest, ProbesRecordTheirWidgetsPlaceSortedByKey)
{
    QWidget window;
    window.resize(1000, 700);
    auto* card = new QWidget(&window);
    card->setGeometry(368, 204, 544, 350);
    auto* plain = new QWidget(&window);
    plain->setGeometry(10, 20, 30, 40);
    LayoutProbe::attach(card, QStringLiteral("models card"), QStringLiteral("5 models, fitted"));
    LayoutProbe* plainProbe = LayoutProbe::attach(plain, QStringLiteral("plain probe"));
    for (const char* key : {"b", "Z", "a"})
        LayoutProbe::attach(new QWidget(&window), QString::fromLatin1(key));

    QWidget hidden; // never shown: records nothing, even when resized
    LayoutProbe::attach(&hidden, QStringLiteral("never shown"));
    hidden.resize(50, 50);
    EXPECT_TRUE(probeLines({QStringLiteral("models card"), QStringLiteral("never shown")}).isEmpty());

    cvn::test::showAndSettle(window);
    EXPECT_EQ(probeLines({QStringLiteral("models card")}),
              QStringList{QStringLiteral("models card: x 368  y 204  w 544  h 350  (5 models, fitted)")});
    EXPECT_EQ(probeLines({QStringLiteral("plain probe")}),
              QStringList{QStringLiteral("plain probe: x 10  y 20  w 30  h 40")});
    const QStringList sorted = probeLines({QStringLiteral("b"), QStringLiteral("Z"), QStringLiteral("a")});
    ASSERT_EQ(sorted.size(), 3);
    EXPECT_TRUE(sorted[0].startsWith(QStringLiteral("Z: ")) && sorted[1].startsWith(QStringLiteral("a: "))
                && sorted[2].startsWith(QStringLiteral("b: ")));

    // One key, two probes: the last record wins.
    auto* other = new QWidget(&window);
    other->setGeometry(1, 2, 3, 4);
    other->show();
    LayoutProbe::attach(other, QStringLiteral("plain probe"));
    EXPECT_EQ(probeLines({QStringLiteral("plain probe")}), QStringList{QStringLiteral("plain probe: x 1  y 2  w 3  h 4")});
    plainProbe->setDetail(QStringLiteral("again"));
    EXPECT_EQ(probeLines({QStringLiteral("plain probe")}),
              QStringList{QStringLiteral("plain probe: x 10  y 20  w 30  h 40  (again)")});

    // A window is not measured in a window of its own.
    QWidget top;
    top.resize(200, 100);
    LayoutProbe::attach(&top, QStringLiteral("top level"));
    cvn::test::showAndSettle(top);
    EXPECT_TRUE(probeLines({QStringLiteral("top level")}).isEmpty());
    EXPECT_TRUE(probeLines({QStringLiteral("never shown")}).isEmpty());
}
