// Measures the chat page's transcript offscreen, the way a user meets it:
//
//  (a) a chat of N messages (30 % with a code block, 10 % with a table, the
//      user's messages with files): building it up to its first paint, the
//      widgets it takes per message and the memory it adds, scrolling one
//      viewport, appending a message and switching to another chat as long;
//  (b) a reply streamed in pieces of about four characters into the last
//      message of a chat of 10 and of N messages, each update timed from the
//      change of the turns to the rendered viewport.
//
// Each time includes the event-loop pass that applies the change and a
// repaint of the whole visible transcript through the offscreen platform's
// backing store (more than the pass itself would repaint). The two chats of
// (b) are streamed into piece by piece in turn, so both meet the same load
// of a shared machine.
//
//   bench-transcript [--messages N] [--pieces N]
#include "BenchSession.h"
#include "BenchTiming.h"

#include "chat/ChatSession.h"
#include "chat/ChatView.h"
#include "chat/transcript/TranscriptColumn.h"

#include <QApplication>
#include <QFile>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Turn = cvn::LlamaSession::Turn;
using Clock = std::chrono::steady_clock;

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: bench-transcript [--messages N] [--pieces N]\n"
                 "  Times the chat transcript offscreen: building, scrolling, appending to and switching a\n"
                 "  chat of N messages, and a reply streamed into chats of 10 and N messages.\n"
                 "  --messages N  messages in the long chat (default 1000, at least 10)\n"
                 "  --pieces N    streamed pieces of about four characters (default 2000)\n"
                 "  The last line is \"ratio <p99 per update at N / p99 at 10>\".\n");
}

bool parseCount(const char* text, int low, int high, int& value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (!end || *end || parsed < low || parsed > high)
        return false;
    value = int(parsed);
    return true;
}

const QString kProse = QStringLiteral(
    "The short answer is that it depends on how often the data changes. If it is read far more often than "
    "it is written, a cache in front of the database pays for itself quickly; otherwise the invalidation "
    "work costs more than it saves. ");

const QString kCode = QStringLiteral(
    "```cpp\nint sumEven(const std::vector<int>& values)\n{\n    int sum = 0;\n    for (int v : values)\n"
    "        if (v % 2 == 0)\n            sum += v;\n    return sum;\n}\n```\n\n");

const QString kTable = QStringLiteral(
    "| Option | Reads | Writes | Notes |\n|---|---|---|---|\n| Cache | fast | slow | needs invalidation |\n"
    "| Replica | fast | fast | eventual consistency |\n| Index | medium | medium | cheap to add |\n\n");

// Message i of a chat: users ask with one file, or two every other time; the
// assistant answers; every tenth message carries a table, three in ten a code
// block.
Turn message(int i)
{
    Turn t;
    t.state = Turn::State::complete();
    if (i % 2 == 0) {
        t.role = cvn::ChatMessage::Role::user;
        t.content = QStringLiteral("[Attached file: data-%1.csv]\na,b\n1,2\n[End file]\n\n").arg(i);
        if (i % 4 == 0)
            t.content += QStringLiteral("[Attached file: notes-%1.md]\nnotes\n[End file]\n\n").arg(i);
        t.content += QStringLiteral("Question %1: should we put a cache in front of the orders table?").arg(i);
        return t;
    }
    t.role = cvn::ChatMessage::Role::assistant;
    t.content = kProse;
    if (i % 10 < 3)
        t.content += QStringLiteral("\n\n") + kCode;
    if (i % 10 == 5)
        t.content += QStringLiteral("\n\n") + kTable;
    t.content += kProse;
    return t;
}

QList<Turn> chat(int count)
{
    QList<Turn> turns;
    for (int i = 0; i < count; ++i)
        turns.append(message(i));
    return turns;
}

double rssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

// The page in a window of the offscreen platform, painted through its
// backing store as on screen.
struct Page {
    BenchSession session;
    cvn::ChatView view{&session, nullptr, nullptr};

    Page()
    {
        view.resize(1280, 800);
        view.show();
        QApplication::processEvents();
    }
    // The event loop's pass that applies the change, then the whole visible
    // transcript painted (more than the pass itself would repaint).
    void settleAndRender(bool toEnd)
    {
        const auto start = Clock::now();
        QApplication::processEvents();
        if (toEnd) {
            QScrollBar* bar = view.scrollArea()->verticalScrollBar();
            bar->setValue(bar->maximum());
        }
        applyMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        view.scrollArea()->viewport()->repaint();
    }
    double applyMs = 0;
};

// A chat of `count` messages ending in a reply that has just started.
void startReply(Page& page, int count)
{
    page.session.list = chat(count);
    page.session.publish();
    page.settleAndRender(true);
    Turn reply;
    reply.role = cvn::ChatMessage::Role::assistant;
    reply.state = Turn::State::streaming();
    page.session.list.append(reply);
    page.session.publish();
    page.settleAndRender(true);
}

struct StreamTimes {
    std::vector<double> updates; // from the change to the painted viewport
    std::vector<double> applies; // the event loop's pass that applies it
};

// Streams `pieces` pieces into the replies of both pages, alternating piece
// by piece so that both see the same load of the (shared) machine.
void stream(Page& shortPage, Page& longPage, int pieces, StreamTimes& shortTimes, StreamTimes& longTimes)
{
    // The reply to stream: prose, a growing code block, more prose.
    QString source;
    while (source.size() < pieces * 4)
        source += kProse + QStringLiteral("\n\n") + kCode + kProse + QStringLiteral("\n\n");
    for (int i = 0; i < pieces; ++i) {
        const QString piece = source.mid(qsizetype(i) * 4, 4);
        for (auto [page, times] : {std::pair{&shortPage, &shortTimes}, std::pair{&longPage, &longTimes}}) {
            const auto start = Clock::now();
            page->session.list.last().content += piece;
            page->session.publish();
            page->settleAndRender(true);
            times->updates.push_back(msSince(start));
            times->applies.push_back(page->applyMs);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    int messages = 1000;
    int pieces = 2000;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--messages") && hasValue) {
            if (!parseCount(argv[++i], 10, 20000, messages)) {
                std::fprintf(stderr, "bench-transcript: --messages needs a whole number from 10 to 20000\n");
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--pieces") && hasValue) {
            if (!parseCount(argv[++i], 10, 100000, pieces)) {
                std::fprintf(stderr, "bench-transcript: --pieces needs a whole number from 10 to 100000\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "bench-transcript: unknown option or missing value: %s (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    // (a) the long chat.
    {
        Page page;
        const double rssBefore = rssMb();
        const int widgetsBefore = int(page.view.findChildren<QWidget*>().size());
        auto start = Clock::now();
        page.session.list = chat(messages);
        page.session.publish();
        page.settleAndRender(false);
        const double build = msSince(start);
        const double rssGrowth = rssMb() - rssBefore;
        const int widgets = int(page.view.findChildren<QWidget*>().size()) - widgetsBefore;

        QScrollBar* bar = page.view.scrollArea()->verticalScrollBar();
        const int viewport = page.view.scrollArea()->viewport()->height();
        std::vector<double> scrolls;
        for (int i = 0; i < 40 && bar->value() < bar->maximum(); ++i) {
            start = Clock::now();
            bar->setValue(bar->value() + viewport);
            page.settleAndRender(false);
            scrolls.push_back(msSince(start));
        }

        std::vector<double> appends;
        for (int i = 0; i < 20; ++i) {
            start = Clock::now();
            page.session.list.append(message(messages + i));
            page.session.publish();
            page.settleAndRender(true);
            appends.push_back(msSince(start));
        }

        start = Clock::now();
        page.session.list = chat(messages);
        page.session.publish();
        page.settleAndRender(false);
        const double switched = msSince(start);

        std::printf("chat of %d messages: build and first paint %.1f ms, %.2f widgets per message, RSS +%.1f MB\n",
                    messages, build, double(widgets) / messages, rssGrowth);
        std::printf("scroll one viewport (%d px): median %.2f ms, p99 %.2f ms over %zu steps\n", viewport,
                    cvn::bench::median(scrolls), percentile(scrolls, 0.99), scrolls.size());
        std::printf("append a message: median %.2f ms, p99 %.2f ms\n", cvn::bench::median(appends),
                    percentile(appends, 0.99));
        std::printf("switch to another %d-message chat: %.1f ms\n", messages, switched);
    }

    // (b) streaming into a short and a long chat.
    Page shortPage;
    Page longPage;
    startReply(shortPage, 10);
    startReply(longPage, messages);
    StreamTimes shortTimes, longTimes;
    stream(shortPage, longPage, pieces, shortTimes, longTimes);
    const std::vector<double>& shortChat = shortTimes.updates;
    const std::vector<double>& longChat = longTimes.updates;
    const std::vector<double>& shortApplies = shortTimes.applies;
    const std::vector<double>& longApplies = longTimes.applies;
    const double p99Short = percentile(shortChat, 0.99);
    const double p99Long = percentile(longChat, 0.99);
    std::printf("stream %d pieces into a chat of 10: median %.3f ms, p99 %.3f ms (applying the turns: median "
                "%.3f ms)\n",
                pieces, cvn::bench::median(shortChat), p99Short, cvn::bench::median(shortApplies));
    std::printf("stream %d pieces into a chat of %d: median %.3f ms, p99 %.3f ms (applying the turns: median "
                "%.3f ms)\n",
                pieces, messages, cvn::bench::median(longChat), p99Long, cvn::bench::median(longApplies));
    std::printf("ratio %.3f\n", p99Short > 0 ? p99Long / p99Short : 0.0);
    return 0;
}
