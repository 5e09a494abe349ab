// Long texts in the transcript. Lays out an unbroken run of hex, as a pasted
// dump or a minified file gives, in the Markdown view at the chat column's
// width of 797 px, for N and 4N characters, and prints how much longer the
// larger one takes:
//
//   layout ratio <t(4N)/t(N)>
//
// linear layout gives about 4. Then the time to lay out one run of --once
// characters a single time. Each measurement is a function of its own; more
// can follow in main().
//
//   bench-long-text [--chars N] [--once N]
//
// --chars takes at least 1,024 (default 65,536), --once 0 (skipped) or more
// (default 1,000,000). --help prints the usage; an unknown option or a bad
// value is one line on stderr and exit status 2. Nothing is written to disk.
#include "BenchTiming.h"

#include "rendering/MarkdownText.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kColumnWidth = 797;

const char* const kUsage = "usage: bench-long-text [--chars N] [--once N]\n";

struct Options {
    int chars = 65536;
    int once = 1000000;
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
        if (arg != "--chars" && arg != "--once")
            return usageError("unknown option " + arg);
        if (i + 1 >= argc)
            return usageError("missing value for " + arg);
        const bool isChars = arg == "--chars";
        const int value = wholeNumber(argv[++i], isChars ? 1024 : 0);
        if (value < 0)
            return usageError(arg + (isChars ? " takes a whole number from 1024" : " takes a whole number from 0")
                              + " to 10000000, not " + argv[i]);
        (isChars ? options.chars : options.once) = value;
    }
    QApplication app(argc, argv);
    std::printf("unbroken hex in the Markdown view at %d px\n", kColumnWidth);
    measureLayoutRatio(options.chars);
    if (options.once > 0)
        measureOnce(options.once);
    return 0;
}
