#include "rendering/LineWrap.h"
#include "rendering/MarkdownText.h"
#include "rendering/SpanText.h"
#include "ui_kit/KitTest.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

#include <random>
#include <utility>
#include <vector>

namespace cvn {
namespace {

using Lines = std::vector<std::pair<int, int>>; // start and length of each line

QString hex(int length)
{
    QString text;
    text.reserve(length);
    for (int i = 0; text.size() < length; ++i)
        text += QString::number((i * 7919 + 13) % 65536, 16).rightJustified(4, u'0');
    return text.left(length);
}

QString prose(int words)
{
    static const char* const kWords[] = {"the", "layout", "of", "a", "reply", "wraps", "at", "words,", "quickly",
                                         "and", "keeps", "every", "character", "intact."};
    QString text;
    for (int i = 0; i < words; ++i)
        text += QString::fromLatin1(kWords[(i * 5 + i / 3) % 14]) + u' ';
    return text.trimmed();
}

Lines linesOf(const QTextLayout& layout)
{
    Lines lines;
    for (int i = 0; i < layout.lineCount(); ++i)
        lines.emplace_back(layout.lineAt(i).textStart(), layout.lineAt(i).textLength());
    return lines;
}

// Qt's own word mode, line after line: the layout as it always was.
Lines qtLines(const QString& text, const QFont& font, qreal width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        line.setLineWidth(width);
    layout.endLayout();
    return linesOf(layout);
}

LineWrap::Work wrap(QTextLayout& layout, qreal width)
{
    qreal y = 0;
    return LineWrap::layOut(layout, width, [&y](QTextLine& line) {
        line.setPosition(QPointF(0, y));
        y += line.height();
    });
}

// The lines cover the text once, in order, and each fits a width that any
// one character fits.
void expectWholeAndWithin(const QTextLayout& layout, qreal width, const char* what)
{
    QString joined;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        EXPECT_EQ(line.textStart(), joined.size()) << what << " line " << i;
        joined += layout.text().mid(line.textStart(), line.textLength());
        if (width >= 40) {
            EXPECT_LE(line.naturalTextWidth(), width + 0.01) << what << " line " << i;
        }
    }
    EXPECT_EQ(joined, layout.text()) << what;
}

class LineWrapTest : public test::KitTest {};

TEST_F(LineWrapTest, BreaksExactlyWhereQtsWordModeDoes)
{
    const QString run = hex(3000);
    const struct {
        const char* name;
        QString text;
    } cases[] = {
        {"prose", prose(400)},
        {"run alone", run},
        {"run inside prose", prose(30) + u' ' + run + u' ' + prose(30)},
        {"runs back to back", run + u' ' + run.left(700) + u'\n' + run.left(71) + u' ' + prose(20)},
        {"long words", QStringLiteral("https://example.org/") + hex(90) + u' ' + prose(40) + u' ' + hex(130)},
        {"ideographs", QString(2500, QChar(0x6587)) + QStringLiteral("\u3002") + prose(10)},
        {"spaces", QString(300, u' ') + run.left(500) + QString(300, u' ')},
    };
    const QFont font = Theme::inter(400, 16);
    for (const auto& c : cases) {
        for (qreal width : {797.0, 311.5, 40.0, 1.0}) {
            if (width < 5 && c.text.size() > 1000)
                continue;
            QTextLayout layout(c.text, font);
            const LineWrap::Work work = wrap(layout, width);
            EXPECT_EQ(linesOf(layout), qtLines(c.text, font, width)) << c.name << " at " << width;
            EXPECT_EQ(work.lines, layout.lineCount()) << c.name;
            expectWholeAndWithin(layout, width, c.name);
            EXPECT_EQ(layout.textOption().wrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere) << c.name;
        }
    }
}

TEST_F(LineWrapTest, WorkGrowsInStepWithAnUnbrokenRun)
{
    // Spans of two faces, as a reply with a code span in its run.
    auto layOutRun = [](int length) {
        const QString text = hex(length);
        QTextLayout layout;
        SpanText::fill(layout, {{text.left(length / 3)}, {text.mid(length / 3, length / 3), false, false, true},
                                {text.mid(2 * (length / 3))}},
                       {}, {Qt::black, Qt::red});
        const LineWrap::Work work = wrap(layout, 797);
        expectWholeAndWithin(layout, 797, "run");
        return work;
    };
    const int n = 16384;
    const LineWrap::Work small = layOutRun(n);
    const LineWrap::Work large = layOutRun(4 * n);
    EXPECT_GT(small.lines, n / 200);
    EXPECT_LE(large.scanned, 5 * small.scanned);
    EXPECT_LE(small.scanned, 3 * n);
    EXPECT_LE(large.lines, 5 * small.lines);
}

TEST_F(LineWrapTest, MarkdownViewWrapsALongRunWholeAndWithinTheColumn)
{
    const QString run = hex(20000);
    MarkdownText view(QStringLiteral("Dump:\n\n") + run + QStringLiteral("\n\n| a |\n|---|\n| ") + run.left(5000)
                          + QStringLiteral(" |\n"),
                      Theme::ink);
    view.resize(797, view.heightForWidth(797));
    ASSERT_EQ(view.itemCount(), 3);
    const QTextLayout& layout = view.item(1)->rows()[0]->layout;
    EXPECT_EQ(layout.text(), run);
    EXPECT_GT(layout.lineCount(), 100);
    expectWholeAndWithin(layout, 797, "paragraph");
    // The table cell wraps the same way: its height holds every line.
    EXPECT_GT(view.item(2)->height(), 5000 / 100 * 15);
}

TEST_F(LineWrapTest, EditorRunsAreOverlongOnlyWithoutAnyBreakOpportunity)
{
    EXPECT_FALSE(LineWrap::hasOverlongRun(prose(2000), 100));
    EXPECT_FALSE(LineWrap::hasOverlongRun(hex(100), 100));
    EXPECT_TRUE(LineWrap::hasOverlongRun(prose(10) + u' ' + hex(101) + u'\n' + prose(3), 100));
    // Hyphens and ideographs are break opportunities; a no-break space is not.
    EXPECT_FALSE(LineWrap::hasOverlongRun(QString(400, QChar(0x6587)), 100));
    EXPECT_FALSE(LineWrap::hasOverlongRun(QStringLiteral("abcdefghi-").repeated(40), 100));
    EXPECT_TRUE(LineWrap::hasOverlongRun((hex(60) + QChar(0x00A0)).repeated(3), 100));
}

// Edits of every size anywhere in a text of prose, hex runs, hyphens, line
// breaks and no-break spaces: after each, the tracker holds the runs a read
// of the whole text finds, having read no more than the edit and the limit
// either side. Whole new texts come as QTextDocument reports them, with one
// more character counted on both sides.
TEST_F(LineWrapTest, TrackedRunsMatchAWholeReadAfterEveryEdit)
{
    constexpr qsizetype kLimit = 40;
    std::mt19937 random(20261207);
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto piece = [&]() -> QString {
        switch (pick(0, 7)) {
        case 0: return hex(pick(1, 120));
        case 1: return QStringLiteral(" ");
        case 2: return QStringLiteral("-");
        case 3: return QStringLiteral("\n");
        case 4: return QString(QChar(0x00A0));
        case 5: return prose(pick(1, 12));
        case 6: return hex(pick(1, 8)) + QChar(0x6587);
        default: return hex(pick(20, 45));
        }
    };

    LineWrap::RunTracker tracker(kLimit);
    QString text;
    const LineWrap::RunTracker::Reader read = [&text](qsizetype from, qsizetype to) {
        return text.mid(from, to - from);
    };
    for (int step = 0; step < 1500; ++step) {
        if (step % 300 == 0) {
            const qsizetype old = text.size();
            text = hex(pick(0, 300)) + u' ' + prose(20) + u' ' + hex(pick(0, 300));
            tracker.change(0, old + 1, text.size() + 1, text.size(), read);
        } else {
            const int at = pick(0, int(text.size()));
            const int removed = pick(0, 10) == 0 ? pick(0, int(text.size()) - at) : std::min(pick(0, 3), int(text.size()) - at);
            const QString added = pick(0, 2) == 0 ? QString() : piece();
            text.replace(at, removed, added);
            const qsizetype scanned = tracker.change(at, removed, added.size(), text.size(), read);
            EXPECT_LE(scanned, added.size() + 2 * (kLimit + 1)) << "step " << step;
        }
        ASSERT_EQ(tracker.runs(), LineWrap::overlongRuns(text, kLimit)) << "step " << step;
    }
}

// A key in a megabyte of hex reads a few thousand characters and keeps the
// editor wrapping anywhere; when the run is gone, it wraps at words again.
TEST_F(LineWrapTest, AnEditorFollowsItsRunsKeyByKey)
{
    QPlainTextEdit editor;
    editor.resize(400, 300);
    LineWrap::followOverlongRuns(&editor);
    const QString run = hex(1'000'000);
    editor.setPlainText(prose(20) + u' ' + run + u' ' + prose(5));
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAnywhere);

    LineWrap::RunTracker tracker(LineWrap::longestWrappedRun);
    QString text = prose(20) + u' ' + run;
    const LineWrap::RunTracker::Reader read = [&text](qsizetype from, qsizetype to) {
        return text.mid(from, to - from);
    };
    tracker.change(0, 0, text.size(), text.size(), read);
    text.insert(500'000, u' ');
    EXPECT_LE(tracker.change(500'000, 0, 1, text.size(), read), 2 * (LineWrap::longestWrappedRun + 1) + 1);
    EXPECT_EQ(tracker.runs().size(), 2u);

    QTextCursor cursor(editor.document());
    cursor.setPosition(int(prose(20).size()) + 1);
    cursor.setPosition(int(prose(20).size()) + 1 + int(run.size()) - 1500, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
    cursor.insertText(hex(600));
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAnywhere);
    editor.setPlainText(QStringLiteral("Short again"));
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
}

} // namespace
} // namespace cvn
