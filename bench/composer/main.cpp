// Types into a composer that holds a 4,000-character text with 20 mentions of
// known models, the way a user types in the middle of a long message, and
// reports the time of each keystroke: the edit, the composer's mention work,
// the heavier drawing of the mentions and the height measurement.
//
// With --idle-mb N it instead pastes N megabytes of prose, one paragraph,
// into the focused composer, leaves it alone for ten seconds and reports
// the share of that time the main thread spent working.
//
//   bench-composer [--keys N] [--paragraphs N] [--idle-mb N]
#include "BenchTiming.h"
#include "MainThreadWatch.h"

#include "chat/composer/Composer.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: bench-composer [--keys N] [--paragraphs N] [--idle-mb N]\n"
                 "  Times keystrokes in a 4,000-character composer text holding 20 mentions.\n"
                 "  --keys N        keystrokes to time (default 500)\n"
                 "  --paragraphs N  lines the text is split into (default 1, the longest block)\n"
                 "  --idle-mb N     instead: paste N megabytes (1 to 100) and report the main\n"
                 "                  thread's busy share over 10 s left alone\n");
}

bool parseCount(const char* text, int& value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (!end || *end || parsed < 1 || parsed > 100000)
        return false;
    value = int(parsed);
    return true;
}

QList<cvn::ModelInfo> models()
{
    QList<cvn::ModelInfo> list;
    for (const char* name : {"Qwen2.5 7B Instruct", "Llama 3.2 3B", "Gemma 3 · 12B", "Phi-4 Mini"}) {
        cvn::ModelInfo info;
        info.displayName = QString::fromUtf8(name);
        list.append(info);
    }
    return list;
}

// 4,000 characters: prose with 20 mentions spread evenly, in `paragraphs` lines.
QString text(int paragraphs)
{
    const QStringList handles = {QStringLiteral("@Qwen2.5_7B_Instruct"), QStringLiteral("@Llama_3.2_3B"),
                                 QStringLiteral("@Gemma_3_12B"), QStringLiteral("@Phi-4_Mini")};
    QString out;
    const int perMention = 4000 / 20;
    for (int i = 0; i < 20; ++i) {
        QString part = handles[i % handles.size()] + QStringLiteral(" what do you make of this part? ");
        while (part.size() < perMention)
            part += QStringLiteral("words ");
        part.truncate(perMention - 1);
        const bool breakHere = paragraphs > 1 && (i + 1) % qMax(1, 20 / paragraphs) == 0 && i < 19;
        out += part + (breakHere ? u'\n' : u' ');
    }
    return out.left(4000);
}

// About `megabytes` million characters of prose in one paragraph, as a
// pasted log or data dump has them: the longest block to lay out.
QString prose(int megabytes)
{
    const QString sentence = QStringLiteral("The river ran past the garden while the model weighed its answer. ");
    QString out;
    const qsizetype size = qsizetype(megabytes) * 1000 * 1000;
    out.reserve(size + sentence.size());
    while (out.size() < size)
        out += sentence;
    return out;
}

// Pastes the text into the focused composer of the active window, lets it
// settle, then leaves it alone for ten seconds.
int idle(cvn::Composer* composer, QWidget* page, int megabytes)
{
    page->activateWindow();
    QApplication::setActiveWindow(page);
    cvn::ComposerEditor* editor = composer->editor();
    editor->setFocus();
    QApplication::clipboard()->setText(prose(megabytes));
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
    QApplication::sendEvent(editor, &paste);
    if (editor->text().size() < qsizetype(megabytes) * 1000 * 1000) {
        std::fprintf(stderr, "bench-composer: the paste did not reach the composer\n");
        return 1;
    }
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    cvn::bench::MainThreadWatch watch(cvn::bench::MainThreadWatch::Measure::processorShare);
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("idle main thread with %d MB: %.2f %%\n", megabytes, watch.busyPercent());
    return 0;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[at];
}

} // namespace

int main(int argc, char** argv)
{
    int keys = 500;
    int paragraphs = 1;
    int idleMegabytes = 0;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--keys") && hasValue) {
            if (!parseCount(argv[++i], keys)) {
                std::fprintf(stderr, "bench-composer: --keys needs a whole number from 1 to 100000\n");
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--paragraphs") && hasValue) {
            if (!parseCount(argv[++i], paragraphs) || paragraphs > 20) {
                std::fprintf(stderr, "bench-composer: --paragraphs needs a whole number from 1 to 20\n");
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--idle-mb") && hasValue) {
            if (!parseCount(argv[++i], idleMegabytes) || idleMegabytes > 100) {
                std::fprintf(stderr, "bench-composer: --idle-mb needs a whole number from 1 to 100\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "bench-composer: unknown option or missing value: %s (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    QWidget page;
    page.resize(900, 700);
    auto* composer = new cvn::Composer(&page);
    composer->move(50, 400);
    composer->setMentionModels(models());
    composer->setCouncilOn(true);
    page.show();
    QApplication::processEvents();
    if (idleMegabytes > 0)
        return idle(composer, &page, idleMegabytes);
    cvn::ComposerEditor* editor = composer->editor();
    editor->setPlainText(text(paragraphs));
    const qsizetype mentions = editor->boldRanges().size();
    const qsizetype length = editor->text().size();
    editor->setFocus();
    editor->setPendingCaret(editor->text().size() / 2);
    QApplication::processEvents();

    // Letters and now and then a blank, typed in the middle of the text, so
    // every mention after the caret moves with each keystroke.
    std::vector<double> times;
    times.reserve(size_t(keys));
    for (int i = 0; i < keys; ++i) {
        const bool blank = i % 6 == 5;
        QKeyEvent press(QEvent::KeyPress, blank ? Qt::Key_Space : Qt::Key_A, Qt::NoModifier,
                        blank ? QStringLiteral(" ") : QStringLiteral("a"));
        const auto start = std::chrono::steady_clock::now();
        QApplication::sendEvent(editor, &press);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        QApplication::processEvents();
    }
    std::printf("text of %lld characters, %lld mentions drawn heavier, %d paragraph(s), %d keystrokes\n",
                static_cast<long long>(length), static_cast<long long>(mentions), paragraphs, keys);
    std::printf("keystroke median %.3f ms   max %.3f ms\n", cvn::bench::median(times),
                *std::max_element(times.begin(), times.end()));
    std::printf("keystroke p99 %.3f\n", percentile(times, 0.99));
    return 0;
}
