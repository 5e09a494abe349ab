// Parse and highlight timings for streamed replies, hostile inputs and code.
// Each family runs at doubling sizes so the reported complexity shows the
// scaling; BM_CmarkParse runs cmark on the very same replies.
//
//   bench_markdown --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

#include "platform/Unicode.h"
#include "rendering/Markdown.h"
#include "rendering/SyntaxHighlight.h"

#include <QRandomGenerator>
#include <QTextBoundaryFinder>

#include <benchmark/benchmark.h>
#include <cmark.h>

using namespace cvn;

namespace {

// A reply of about `size` characters in the shape models write: headings,
// prose with emphasis and code spans, lists, a table, code and a quote.
QString mixedReply(qsizetype size, bool withEmoji = false)
{
    static const char* const words[] = {"model", "context", "token", "layer", "memory", "thread", "cache",
                                        "the", "a", "of", "and", "with", "faster", "value", "queue"};
    QRandomGenerator random(42);
    const auto sentence = [&](int count) {
        QString text;
        for (int k = 0; k < count; ++k) {
            if (k > 0)
                text += u' ';
            const QString word = QString::fromLatin1(words[random.bounded(int(std::size(words)))]);
            switch (random.bounded(12)) {
            case 0: text += QStringLiteral("**") + word + QStringLiteral("**"); break;
            case 1: text += u'*' + word + u'*'; break;
            case 2: text += u'`' + word + u'`'; break;
            case 3: text += withEmoji ? word + QStringLiteral(" \U0001F600") : word; break;
            default: text += word;
            }
        }
        return text + u'.';
    };

    QString reply;
    for (int section = 0; reply.size() < size; ++section) {
        reply += QStringLiteral("## Step %1\n\n").arg(section);
        reply += sentence(40) + u'\n' + sentence(30) + QStringLiteral("\n\n");
        for (int k = 0; k < 4; ++k)
            reply += QStringLiteral("- ") + sentence(8) + u'\n';
        reply += u'\n';
        for (int k = 1; k <= 3; ++k)
            reply += QString::number(k) + QStringLiteral(". ") + sentence(10) + u'\n';
        reply += QStringLiteral("\n| Name | Size | Notes |\n|:--|--:|:-:|\n");
        for (int k = 0; k < 4; ++k)
            reply += QStringLiteral("| `q%1` | %2 MB | ").arg(k).arg(k * 512) + sentence(4) + QStringLiteral(" |\n");
        reply += QStringLiteral("\n```python\ndef load(path):\n    with open(path) as f:\n"
                                "        return f.read()  # whole file\n```\n\n> ");
        reply += sentence(15) + QStringLiteral("\n\n");
    }
    return reply.left(size);
}

QString hostileMarkers(qsizetype size)
{
    QRandomGenerator random(7);
    QString text(size, Qt::Uninitialized);
    for (qsizetype k = 0; k < size; ++k)
        text[k] = QChar(u"*_`|"[random.bounded(4)]);
    return text;
}

QString tableRows(qsizetype rows)
{
    return QStringLiteral("| a | b | c |\n|---|:-:|--:|\n") + QStringLiteral("| 1 | *two* | `3` |\n").repeated(rows);
}

QString unclosedFence(qsizetype lines)
{
    return QStringLiteral("```swift\n") + QStringLiteral("let x = 1\n").repeated(lines);
}

// Lines of about 30 characters.
QString codeLines(qsizetype lines)
{
    static const QString pattern[] = {
        QStringLiteral("int total = count * 0x1F;    \n"), QStringLiteral("if (x > 3.14f) return y;     \n"),
        QStringLiteral("    // keep the last entry   \n"), QStringLiteral("s = \"quoted \\\" text\";      \n"),
        QStringLiteral("/* block */ for (;;) break;  \n"),
    };
    QString code;
    for (qsizetype k = 0; k < lines; ++k)
        code += pattern[k % std::size(pattern)];
    return code;
}

void runParse(benchmark::State& state, const QString& text)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Markdown::parse(text));
    state.SetBytesProcessed(state.iterations() * text.toUtf8().size());
    state.SetComplexityN(state.range(0));
}

void BM_ParseReply(benchmark::State& state) { runParse(state, mixedReply(state.range(0))); }
void BM_ParseReplyWithEmoji(benchmark::State& state) { runParse(state, mixedReply(state.range(0), true)); }
void BM_ParseHostileMarkers(benchmark::State& state) { runParse(state, hostileMarkers(state.range(0))); }
void BM_ParseTableRows(benchmark::State& state) { runParse(state, tableRows(state.range(0))); }
void BM_ParseUnclosedFence(benchmark::State& state) { runParse(state, unclosedFence(state.range(0))); }

void BM_CmarkParse(benchmark::State& state)
{
    const QByteArray utf8 = mixedReply(state.range(0)).toUtf8();
    for (auto _ : state) {
        cmark_node* document = cmark_parse_document(utf8.constData(), size_t(utf8.size()), CMARK_OPT_DEFAULT);
        benchmark::DoNotOptimize(document);
        cmark_node_free(document);
    }
    state.SetBytesProcessed(state.iterations() * utf8.size());
    state.SetComplexityN(state.range(0));
}

void BM_Highlight(benchmark::State& state)
{
    const QString code = codeLines(state.range(0));
    const std::optional<QString> language = QStringLiteral("c");
    for (auto _ : state)
        benchmark::DoNotOptimize(SyntaxHighlight::tokenize(code, language));
    state.SetBytesProcessed(state.iterations() * code.size());
    state.SetComplexityN(state.range(0));
}

// Character segmentation of ASCII code: our fast path against walking
// QTextBoundaryFinder over the same text.
void BM_GraphemeIndexAscii(benchmark::State& state)
{
    const QString code = codeLines(state.range(0));
    for (auto _ : state) {
        const GraphemeIndex index(code);
        benchmark::DoNotOptimize(index.size());
    }
    state.SetBytesProcessed(state.iterations() * code.size());
}

void BM_BoundaryFinderAscii(benchmark::State& state)
{
    const QString code = codeLines(state.range(0));
    for (auto _ : state) {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, code);
        qsizetype count = 0;
        while (finder.toNextBoundary() >= 0)
            ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(state.iterations() * code.size());
}

} // namespace

BENCHMARK(BM_ParseReply)->Arg(20000)->Arg(40000)->Arg(80000)->Arg(160000)->Arg(200000)->Arg(320000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_CmarkParse)->Arg(20000)->Arg(40000)->Arg(80000)->Arg(160000)->Arg(200000)->Arg(320000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseReplyWithEmoji)->Arg(20000)->Arg(200000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseHostileMarkers)->Arg(25000)->Arg(50000)->Arg(100000)->Arg(200000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseTableRows)->Arg(5000)->Arg(10000)->Arg(20000)->Arg(40000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseUnclosedFence)->Arg(50000)->Arg(100000)->Arg(200000)->Arg(400000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_Highlight)->Arg(1000)->Arg(2000)->Arg(4000)->Arg(8000)
    ->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_GraphemeIndexAscii)->Arg(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BoundaryFinderAscii)->Arg(2000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
