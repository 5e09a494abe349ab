#include "DialogHarness.h"

#include "ui_kit/ContextWarningDialog.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"

#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

struct Warning {
    explicit Warning(ContextWarning warning)
    {
        dialog = host.open(new ContextWarningDialog(warning, [this] { ++calls.save; }, [this] { ++calls.cancel; },
                                                    &host.window));
    }
    ContextWarningTable* table() const { return dialog->table(); }
    DialogWindow host;
    Calls calls;
    ContextWarningDialog* dialog;
};

using Row = ContextWarningTable::Row;

QString detailOf(const ContextWarning& w, int row)
{
    return ContextWarningTable::rowsFor(w)[row].detail;
}

// Pixels in `rect` of the image within 40 per channel of `colour`.
int pixelsNear(const QImage& image, const QRectF& rect, const QColor& colour)
{
    int n = 0;
    const QRect r = rect.toAlignedRect() & image.rect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += rgbNear(QColor::fromRgba(image.pixel(x, y)), colour, 40) ? 1 : 0;
    return n;
}

} // namespace

namespace cvn {
void PrintTo(const ContextWarningTable::Row& r, std::ostream* os)
{
    *os << qPrintable(r.label) << " | " << qPrintable(r.value) << " | " << qPrintable(r.detail)
        << (r.highlighted ? " (highlighted)" : "");
}
} // namespace cvn

using ContextWarningDialogTest = KitTest;

TEST_F(ContextWarningDialogTest, RowsOfTheMainExample)
{
    const QList<Row> expected = {
        {QStringLiteral("Context"), QStringLiteral("4,096 tokens"), QStringLiteral("3,840 for input"), false},
        {QStringLiteral("Attachments"), QStringLiteral("\u22485,000 tokens"), QStringLiteral("15 pages"), false},
        {QStringLiteral("Prompt"), QStringLiteral("\u22480 tokens"), {}, false},
        {QStringLiteral("Total"), QStringLiteral("5,000 tokens"), {}, false},
        {QStringLiteral("Overflow"), QStringLiteral("+1,160 tokens"), QStringLiteral("28%"), true},
    };
    EXPECT_EQ(ContextWarningTable::rowsFor({4096, 5000, 0}), expected);

    const QList<Row> mixed = ContextWarningTable::rowsFor({8192, 8744, 500});
    EXPECT_EQ(mixed[3].value, QStringLiteral("9,244 tokens"));
    EXPECT_EQ(mixed[4].value, QStringLiteral("+1,308 tokens"));
    EXPECT_EQ(mixed[4].detail, QStringLiteral("16%")) << "of the whole context, not of the input budget";
}

TEST_F(ContextWarningDialogTest, PagesRoundTiesToEvenAndBudgetsMayBeNegative)
{
    const QList<std::pair<int64_t, const char*>> pages = {
        {3000, "9 pages"}, {1000, "3 pages"}, {100, "0 pages"}, {1500, "4 pages"}, {500, "2 pages"},
        {2500, "8 pages"}, {1234567, "3,704 pages"}};
    for (const auto& [tokens, text] : pages)
        EXPECT_EQ(detailOf({4096, tokens, 0}, 1), QLatin1String(text)) << tokens;

    EXPECT_EQ(detailOf({100, 0, 0}, 0), QStringLiteral("-156 for input"));
    EXPECT_EQ(detailOf({0, 5, 5}, 0), QStringLiteral("-256 for input"));
    EXPECT_EQ(detailOf({0, 5, 5}, 4), QStringLiteral("0%"));
    EXPECT_EQ(ContextWarningTable::rowsFor({0, 5, 5})[4].value, QStringLiteral("+266 tokens"));
    EXPECT_EQ(detailOf({200, 1, 0}, 4), QStringLiteral("29%"));
}

TEST_F(ContextWarningDialogTest, TextsButtonsAndCardLayout)
{
    Warning w({4096, 5000, 0});
    const QList<DialogText*> texts = w.dialog->card()->findChildren<DialogText*>();
    QStringList shown;
    for (DialogText* t : texts)
        shown.append(t->text());
    EXPECT_EQ(shown, (QStringList{QStringLiteral("Model context warning"),
                                  QStringLiteral("The model may fail or return incomplete answers."),
                                  QStringLiteral("Send anyway? Truncation will apply.")}));
    EXPECT_EQ(texts[1]->font().weight(), QFont::Normal);
    EXPECT_EQ(texts[2]->font().weight(), QFont::Medium);
    EXPECT_EQ(texts[2]->y() - texts[1]->geometry().bottom() - 1, 8);
    EXPECT_EQ(w.dialog->cancelButton()->text(), QStringLiteral("CANCEL"));
    EXPECT_EQ(w.dialog->sendButton()->text(), QStringLiteral("SEND ANYWAY"));
    EXPECT_EQ(w.dialog->sendButton()->style(), CvnButton::Style::SelectedPill);
    EXPECT_EQ(w.dialog->sendButton()->geometry().right() + 1, 467);
    // The label is never cut short: its pill grows past 140 instead.
    EXPECT_GE(w.dialog->sendButton()->width(), w.dialog->sendButton()->sizeHint().width());
    EXPECT_GE(w.dialog->cancelButton()->width(), 140);

    EXPECT_EQ(w.table()->geometry(), QRect(33, texts[0]->geometry().bottom() + 1 + 20, 434, w.table()->height()));
    EXPECT_EQ(w.dialog->card()->width(), 500);
}

TEST_F(ContextWarningDialogTest, FiguresAlignRightOnOneBaselinePerRow)
{
    // Tabular digits: every digit takes the same advance in both faces.
    for (const QFont& font : {Theme::interMedium16(), Theme::interRegular16()})
        EXPECT_DOUBLE_EQ(ContextWarningTable::tabularAdvance(QStringLiteral("1,111"), font),
                         ContextWarningTable::tabularAdvance(QStringLiteral("0,000"), font));

    Warning w({4096, 5000, 0});
    ContextWarningTable* table = w.table();
    const qreal right = table->width() - 16;
    for (int i = 0; i < table->rows().size(); ++i) {
        const QRectF value = table->valueRect(i);
        const QRectF detail = table->detailRect(i);
        const QRectF last = detail.isEmpty() ? value : detail;
        EXPECT_DOUBLE_EQ(last.right(), right) << i;
        if (!detail.isEmpty()) {
            EXPECT_DOUBLE_EQ(detail.left() - value.right(), 8) << i;
        }
        EXPECT_DOUBLE_EQ(table->labelRect(i).left(), 16) << i;
        EXPECT_DOUBLE_EQ(table->labelRect(i).top(), value.top()) << i;
        EXPECT_EQ(table->shownLabel(i), table->rows()[i].label) << i;
    }
    // Rows 8 apart, the divider between Prompt and Total with 8 either side.
    EXPECT_DOUBLE_EQ(table->valueRect(0).top(), 14);
    EXPECT_DOUBLE_EQ(table->valueRect(1).top() - table->valueRect(0).bottom(), 8);
    EXPECT_DOUBLE_EQ(table->dividerRect().top() - table->valueRect(2).bottom(), 8);
    EXPECT_DOUBLE_EQ(table->valueRect(3).top() - table->dividerRect().bottom(), 8);
    EXPECT_DOUBLE_EQ(table->dividerRect().width(), 434 - 32);
    EXPECT_NEAR(table->height() - table->valueRect(4).bottom(), 14, 1);
    // Equal-length figures of the same form end in the same column: "5,000"
    // of Total and "+1,160" shifted by its sign alone.
    EXPECT_NEAR(table->valueRect(3).width(),
                ContextWarningTable::tabularAdvance(QStringLiteral("9,999 tokens"), Theme::interMedium16()), 0.01);

    // Nine-digit figures stay on one line: the table keeps its height and
    // the figures never run into the label.
    Warning big({123456789, 987654321, 12345});
    EXPECT_EQ(big.table()->height(), table->height());
    for (int i = 0; i < big.table()->rows().size(); ++i) {
        EXPECT_GE(big.table()->valueRect(i).left(), big.table()->labelRect(i).right() + 12) << i;
        EXPECT_GE(big.table()->labelRect(i).left(), 16) << i;
    }
    EXPECT_EQ(big.table()->rows()[0].value, QStringLiteral("123,456,789 tokens"));
}

TEST_F(ContextWarningDialogTest, OverflowRowInTheDangerColour)
{
    Warning w({4096, 5000, 0});
    ContextWarningTable* table = w.table();
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        const QColor danger = appearance == Appearance::Light ? QColor(0xF2, 0x8B, 0x93) : QColor(0xB3, 0x20, 0x2B);
        const QImage image = renderOver(*table, Theme::card());
        EXPECT_GT(pixelsNear(image, table->valueRect(4), danger), 20);
        EXPECT_GT(pixelsNear(image, table->detailRect(4), danger), 10);
        EXPECT_EQ(pixelsNear(image, table->valueRect(3), danger), 0);
        EXPECT_EQ(pixelsNear(image, table->labelRect(4), danger), 0) << "the label keeps its colour";
    }
}

TEST_F(ContextWarningDialogTest, SendAndCancelEachRunOnceAndTheTableNothing)
{
    Warning w({4096, 5000, 0});
    QTest::mouseClick(w.table(), Qt::LeftButton, {}, QPoint(50, 20));
    QTest::mouseClick(w.dialog->sendButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(w.calls.save, 1);
    QTest::mouseClick(w.dialog->cancelButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(w.calls.cancel, 1);
    EXPECT_EQ(w.calls.save, 1);
}
