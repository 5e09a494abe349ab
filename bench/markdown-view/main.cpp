// Streams a reply into a MarkdownText the way a generation does: 2,000
// pieces of about four characters, each followed by the update, the layout
// and a paint of the visible tail, and reports the time per update. The reply
// opens with some prose and a 300-line code block, then keeps growing, so the
// cost of later updates shows whether unchanged earlier blocks are redone.
//
//   bench-markdown-view [--pieces N] [--lead-lines N]
//
// --pieces takes at least 4 (the report compares quarters), --lead-lines 0
// or more. --help prints the usage; an unknown option or a bad value is one
// line on stderr and exit status 2. Nothing is written to disk.
#include "rendering/MarkdownText.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

QString codeBlock(int lines)
{
    QString code = QStringLiteral("```swift\n");
    for (int i = 0; i < lines; ++i)
        code += QStringLiteral("let value%1 = compute(%1, \"item %1\") // line %1\n").arg(i);
    return code + QStringLiteral("```\n\n");
}

// What the model writes after the lead: prose, a list, a table and more code.
QString tail()
{
    QString text;
    for (int round = 0; text.size() < 9000; ++round) {
        text += QStringLiteral("## Step %1\n\nThe **result** of step %1 is stored in `value%1`, and *then* it is "
                               "compared with the previous one before the loop goes on.\n\n")
                    .arg(round);
        text += QStringLiteral("- first point of %1\n- second point with `code`\n\n").arg(round);
        text += QStringLiteral("| key | value |\n|---|--:|\n| a%1 | %1 |\n| b%1 | %1 |\n\n").arg(round);
        text += QStringLiteral("```python\nfor i in range(%1):\n    print(i * 2)\n```\n\n").arg(round);
    }
    return text;
}

const char* const kUsage = "usage: bench-markdown-view [--pieces N] [--lead-lines N]\n";

int usageError(const std::string& why)
{
    std::fprintf(stderr, "bench-markdown-view: %s (see --help)\n", why.c_str());
    return 2;
}

// A whole number from `minimum` to 1,000,000, or -1.
int wholeNumber(const char* text, int minimum)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end || value < minimum || value > 1000000)
        return -1;
    return int(value);
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[at];
}

void report(const char* label, const std::vector<double>& ms)
{
    std::printf("%-28s median %.3f ms   p99 %.3f ms   max %.3f ms\n", label, percentile(ms, 0.5),
                percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()));
}

// The time of each update, in milliseconds.
std::vector<double> stream(int leadLines, int pieces, int pieceSize)
{
    const QString lead = QStringLiteral("# Answer\n\nHere is the code you asked for, in one block.\n\n") + codeBlock(leadLines);
    const QString rest = tail();
    // The view is drawn straight into an image of the screen's format, the
    // tail only, as a transcript that follows the newest text shows it; no
    // window system copies in between.
    const int width = 720;
    const int viewport = 800;
    cvn::MarkdownText view(lead, cvn::Theme::ink);
    view.resize(width, view.heightForWidth(width));
    QImage frame(width, viewport, QImage::Format_ARGB32_Premultiplied);
    std::vector<double> updates;
    updates.reserve(size_t(pieces));
    QString source = lead;
    for (int i = 0; i < pieces; ++i) {
        source += rest.mid((i * pieceSize) % rest.size(), pieceSize);
        const auto start = std::chrono::steady_clock::now();
        view.setSource(source);
        const int height = view.heightForWidth(width);
        view.resize(width, height);
        const int top = qMax(0, height - viewport);
        frame.fill(Qt::white);
        view.render(&frame, QPoint(), QRegion(0, top, width, viewport), QWidget::DrawChildren);
        updates.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return updates;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int pieces = 2000;
    int leadLines = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg != "--pieces" && arg != "--lead-lines")
            return usageError("unknown option " + arg);
        if (i + 1 >= argc)
            return usageError("missing value for " + arg);
        const bool isPieces = arg == "--pieces";
        const int value = wholeNumber(argv[++i], isPieces ? 4 : 0);
        if (value < 0)
            return usageError(arg + (isPieces ? " takes a whole number from 4" : " takes a whole number from 0")
                              + " to 1000000, not " + argv[i]);
        (isPieces ? pieces : leadLines) = value;
    }
    QApplication app(argc, argv);
    std::printf("%d pieces of 4 characters after a %d-line code block, 720 px wide, the last 800 px painted\n", pieces,
                leadLines);
    const std::vector<double> updates = stream(leadLines, pieces, 4);
    report("all updates", updates);
    const std::vector<double> first(updates.begin(), updates.begin() + updates.size() / 4);
    const std::vector<double> last(updates.end() - updates.size() / 4, updates.end());
    report("first quarter", first);
    report("last quarter", last);
    // The same stream after a lead ten times shorter: the unchanged lead
    // should not set the cost.
    report("lead of a tenth", stream(leadLines / 10, pieces, 4));
    return 0;
}
