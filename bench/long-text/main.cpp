// Long texts in the transcript. Lays out an unbroken run of hex, as a pasted
// dump or a minified file gives, in the Markdown view at the chat column's
// width of 797 px, for N and 4N characters, and prints how much longer the
// larger one takes:
//
//   layout ratio <t(4N)/t(N)>
//
// linear layout gives about 4. Then the time to lay out one run of --once
// characters a single time.
//
// Then a long chat in the chat page: a seeded chat of about --chat characters
// of prose and code opens in a ChatView of 1280 x 800 on the offscreen
// platform and is scrolled through from top to bottom; the growth of the
// resident memory (VmRSS) over the empty page is measured after scrolling,
// and again after the page has moved on to an empty chat:
//
//   open-chat growth <MB> for <characters> characters
//   after closing it <MB>
//
// Then a chat holding one message of --huge characters opens, and the time
// until an event posted at that moment is handled is printed.
//
// Last, keys in a message of --edit characters of unbroken hex: the same
// text in the composer and in the edit dialog of a sent message, whose limit
// is the message's own length. Twenty keys alternate a letter typed at the
// end of the text and Backspace; each is timed from the key until the field
// has repainted, and the medians are printed with their ratio:
//
//   composer key <ms>
//   edit dialog key <ms>
//   edit key ratio <edit dialog / composer>
//
// Each measurement is a function of its own.
//
//   bench-long-text [--chars N] [--once N] [--chat N] [--huge N] [--edit N]
//
// --chars takes at least 1,024 (default 65,536), --once, --chat, --huge and
// --edit 0 (skipped) or more (defaults 1,000,000, 1,700,000, 1,000,000 and
// 1,000,000). --help prints the usage; an unknown option or a bad value is
// one line on stderr and exit status 2. Nothing is written to disk.
#include "BenchSession.h"
#include "BenchTiming.h"

#include "chat/ChatSession.h"
#include "chat/ChatView.h"
#include "chat/composer/Composer.h"
#include "chat/transcript/EditMessageDialog.h"
#include "chat/transcript/TranscriptColumn.h"
#include "platform/ProcessMemory.h"
#include "rendering/MarkdownText.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <random>
#include <string>

namespace {

constexpr int kColumnWidth = 797;

const char* const kUsage = "usage: bench-long-text [--chars N] [--once N] [--chat N] [--huge N] [--edit N]\n"
                          "  --chars N  unbroken run for the layout ratio (default 65536, at least 1024)\n"
                          "  --once N   one run laid out once (default 1000000; 0 skips)\n"
                          "  --chat N   characters of the long chat opened and scrolled (default 1700000; 0 skips)\n"
                          "  --huge N   characters of the one message opened (default 1000000; 0 skips)\n"
                          "  --edit N   characters of the message keyed into (default 1000000; 0 skips)\n";

struct Options {
    int chars = 65536;
    int once = 1000000;
    int chat = 1700000;
    int huge = 1000000;
    int edit = 1000000;
};

int usageError(const std::string& why)
{
    std::fprintf(stderr, "bench-long-text: %s (see --help)\n", why.c_str());
    return 2;
}

// A whole number from `minimum` to 10,000,000, or -1.
int wholeNumber(const char* text, int minimum)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end || value < minimum || value > 10000000)
        return -1;
    return int(value);
}

// `length` characters of hex with no break opportunity in them.
QString hexRun(int length)
{
    static const char digits[] = "0123456789abcdef";
    QString text(length, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (int i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        text[i] = QLatin1Char(digits[state & 15]);
    }
    return text;
}

// One layout of `text` as a reply in the transcript, in milliseconds.
double layOutOnce(const QString& text)
{
    const auto start = std::chrono::steady_clock::now();
    cvn::MarkdownText view(text, cvn::Theme::ink);
    view.resize(kColumnWidth, view.heightForWidth(kColumnWidth));
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void measureLayoutRatio(int chars)
{
    const QString small = hexRun(chars);
    const QString large = hexRun(4 * chars);
    layOutOnce(small); // fonts and glyph caches warm
    const double tSmall = cvn::bench::medianMs(5, [&] { layOutOnce(small); });
    const double tLarge = cvn::bench::medianMs(3, [&] { layOutOnce(large); });
    std::printf("layout of %d characters %.1f ms, of %d characters %.1f ms\n", chars, tSmall, 4 * chars, tLarge);
    std::printf("layout ratio %.2f\n", tLarge / tSmall);
}

void measureOnce(int chars)
{
    std::printf("layout of %d characters once %.1f ms\n", chars, layOutOnce(hexRun(chars)));
}

using Turn = cvn::LlamaSession::Turn;

// Seeded prose and code, as a long coding conversation has them.
class ChatWriter {
public:
    explicit ChatWriter(unsigned seed) : m_random(seed) {}

    QString sentence()
    {
        static const char* const words[] = {
            "the", "cache", "request", "returns", "a", "value", "when", "index", "is", "stale", "we", "should",
            "measure", "first", "because", "queue", "worker", "thread", "holds", "lock", "while", "reading",
            "file", "and", "then", "writes", "result", "to", "database", "so", "that", "each", "call", "costs",
            "less", "memory", "than", "before", "parser", "layout", "function", "compiler", "optimises", "loop"};
        QString text;
        const int count = pick(6, 22);
        for (int i = 0; i < count; ++i) {
            QString word = QString::fromLatin1(words[pick(0, int(std::size(words)) - 1)]);
            if (i == 0)
                word[0] = word[0].toUpper();
            text += word + (i + 1 < count ? QStringLiteral(" ") : QStringLiteral(". "));
        }
        return text;
    }
    QString paragraph()
    {
        QString text;
        for (int i = pick(2, 7); i > 0; --i)
            text += sentence();
        return text.trimmed();
    }
    QString code()
    {
        QString text = QStringLiteral("```cpp\n");
        for (int i = pick(8, 50); i > 0; --i) {
            const int indent = pick(0, 3) * 4;
            text += QString(indent, u' ');
            switch (pick(0, 3)) {
            case 0: text += QStringLiteral("for (int i = 0; i < values.size(); ++i)"); break;
            case 1: text += QStringLiteral("total += compute(values[i], \"factor\", %1);").arg(pick(0, 999)); break;
            case 2: text += QStringLiteral("// keeps the %1 entries sorted by key").arg(pick(2, 64)); break;
            default: text += QStringLiteral("if (cache.contains(key)) return cache.value(key);"); break;
            }
            text += u'\n';
        }
        return text + QStringLiteral("```");
    }
    QString question()
    {
        QString text = sentence() + sentence();
        if (pick(0, 3) == 0)
            text += QStringLiteral("\n\n") + code();
        return text + QStringLiteral("\nWhat would you change?");
    }
    QString answer()
    {
        QStringList blocks;
        for (int i = pick(2, 6); i > 0; --i) {
            blocks.append(paragraph());
            if (pick(0, 2) == 0)
                blocks.append(code());
            if (pick(0, 5) == 0)
                blocks.append(QStringLiteral("- %1\n- %2\n- %3").arg(sentence(), sentence(), sentence()));
        }
        return blocks.join(QStringLiteral("\n\n"));
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    std::mt19937 m_random;
};

Turn turn(cvn::ChatMessage::Role role, const QString& content)
{
    Turn t;
    t.role = role;
    t.content = content;
    t.state = Turn::State::complete();
    return t;
}

// Questions and answers until about `characters` characters.
QList<Turn> longChat(int characters, qint64& total)
{
    ChatWriter writer(20240611);
    QList<Turn> turns;
    total = 0;
    while (total < characters) {
        const bool user = turns.size() % 2 == 0;
        turns.append(turn(user ? cvn::ChatMessage::Role::user : cvn::ChatMessage::Role::assistant,
                          user ? writer.question() : writer.answer()));
        total += turns.last().content.size();
    }
    return turns;
}

double residentMb()
{
    // Read here to the kB, where the platform layer rounds to whole MB.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return double(cvn::readProcessMemory().residentMb);
}

// The chat page in a window of the offscreen platform.
struct Page {
    BenchSession session;
    cvn::ChatView view{&session, nullptr, nullptr};

    Page()
    {
        view.resize(1280, 800);
        view.show();
        settle();
    }
    static void settle()
    {
        for (int i = 0; i < 4; ++i)
            QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void open(QList<Turn> turns)
    {
        session.list = std::move(turns);
        session.publish();
        settle();
    }
    int steps = 0;
    int mostBubbles = 0;
    void scrollThrough()
    {
        // As the user's own scrolling, so that the page stops following the
        // tail on the way up; the maximum may move as text is laid out.
        QScrollBar* bar = view.scrollArea()->verticalScrollBar();
        bar->triggerAction(QAbstractSlider::SliderToMinimum);
        settle();
        view.scrollArea()->viewport()->repaint();
        while (bar->value() < bar->maximum()) {
            bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
            settle();
            view.scrollArea()->viewport()->repaint();
            ++steps;
            mostBubbles = std::max(mostBubbles, view.transcript()->bubbleCount());
        }
    }
};

void measureOpenChat(int characters)
{
    qint64 total = 0;
    QList<Turn> turns = longChat(characters, total);
    Page page;
    const double before = residentMb();
    page.open(turns);
    page.scrollThrough();
    const double open = residentMb() - before;
    page.open({});
    const double closed = residentMb() - before;
    std::printf("chat of %lld messages scrolled through in %d steps, at most %d laid out at once\n",
                static_cast<long long>(turns.size()), page.steps, page.mostBubbles);
    std::printf("open-chat growth %.1f for %lld characters\n", open, static_cast<long long>(total));
    std::printf("after closing it %.1f\n", closed);
}

void measureHugeMessage(int characters)
{
    ChatWriter writer(7);
    QString text;
    while (text.size() < characters)
        text += writer.answer() + QStringLiteral("\n\n");
    text.truncate(characters);
    const QList<Turn> turns = {turn(cvn::ChatMessage::Role::user, QStringLiteral("Show me the whole log.")),
                               turn(cvn::ChatMessage::Role::assistant, text)};
    Page page;
    bool answered = false;
    const auto start = std::chrono::steady_clock::now();
    page.session.list = turns;
    page.session.publish();
    QMetaObject::invokeMethod(qApp, [&answered] { answered = true; }, Qt::QueuedConnection);
    while (!answered)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("message of %d characters: answering input after %.0f ms\n", characters, ms);
}

// Counts the paints of one widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// The median time of `keys` keys in `field`, alternating a letter at the end
// of the text and Backspace, each from the key until the field has painted
// what it changed.
double medianKeyMs(QPlainTextEdit* field, int keys)
{
    field->setFocus();
    field->moveCursor(QTextCursor::End);
    Page::settle();
    PaintCounter counter(field->viewport());
    std::vector<double> times;
    for (int i = 0; i < keys; ++i) {
        const bool letter = i % 2 == 0;
        const int key = letter ? Qt::Key_A : Qt::Key_Backspace;
        const QString text = letter ? QStringLiteral("a") : QString();
        field->moveCursor(QTextCursor::End);
        Page::settle();
        const int before = counter.paints;
        const auto start = std::chrono::steady_clock::now();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QApplication::sendEvent(field, &press);
        QApplication::sendEvent(field, &release);
        // The repaint comes from an update request posted by the change; a
        // key that changed nothing has nothing to wait for.
        for (int round = 0; round < 8 && counter.paints == before; ++round)
            QApplication::processEvents();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return cvn::bench::median(std::move(times));
}

void measureEditKeys(int characters)
{
    constexpr int kKeys = 20;
    // A pasted dump: one run without a break opportunity, the text that
    // froze the dialog.
    const QString text = hexRun(characters);

    double composerMs = 0;
    {
        QWidget page;
        page.resize(1280, 800);
        auto* composer = new cvn::Composer(&page);
        composer->move((1280 - cvn::Composer::panelWidth) / 2, 800 - cvn::Composer::maxPanelHeight);
        page.show();
        Page::settle();
        composer->editor()->setPlainText(text);
        Page::settle();
        composerMs = medianKeyMs(composer->editor(), kKeys);
    }

    double dialogMs = 0;
    {
        QWidget page;
        page.resize(1280, 800);
        page.show();
        auto* dialog = new cvn::EditMessageDialog(QStringLiteral("Edit message"), text, cvn::ChatView::editMaxLength,
                                                  {}, {}, &page);
        dialog->show();
        Page::settle();
        dialogMs = medianKeyMs(dialog->field(), kKeys);
    }

    std::printf("keys in a message of %d characters, median of %d\n", characters, kKeys);
    std::printf("composer key %.1f\n", composerMs);
    std::printf("edit dialog key %.1f\n", dialogMs);
    std::printf("edit key ratio %.2f\n", dialogMs / composerMs);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        int* target = arg == "--chars" ? &options.chars
                    : arg == "--once"  ? &options.once
                    : arg == "--chat"  ? &options.chat
                    : arg == "--huge"  ? &options.huge
                    : arg == "--edit"  ? &options.edit
                                       : nullptr;
        if (!target)
            return usageError("unknown option " + arg);
        if (i + 1 >= argc)
            return usageError("missing value for " + arg);
        const bool isChars = arg == "--chars";
        const int value = wholeNumber(argv[++i], isChars ? 1024 : 0);
        if (value < 0)
            return usageError(arg + (isChars ? " takes a whole number from 1024" : " takes a whole number from 0")
                              + " to 10000000, not " + argv[i]);
        *target = value;
    }
    QApplication app(argc, argv);
    std::printf("unbroken hex in the Markdown view at %d px\n", kColumnWidth);
    measureLayoutRatio(options.chars);
    if (options.once > 0)
        measureOnce(options.once);
    if (options.chat > 0)
        measureOpenChat(options.chat);
    if (options.huge > 0)
        measureHugeMessage(options.huge);
    if (options.edit > 0)
        measureEditKeys(options.edit);
    return 0;
}
