#include "ui_kit/ContextWarningDialog.h"

#include "models/NumberText.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QVBoxLayout>
#include <QtMath>

#include <cmath>

namespace cvn {

namespace {

constexpr int64_t kReplyReserve = ContextWarning::replyReserve; // tokens kept free for the answer
constexpr double kPagesPerToken = 0.003;
constexpr qreal kPadX = 16;
constexpr qreal kPadY = 14;
constexpr qreal kRowSpacing = 8;
constexpr qreal kSpacing = 8;       // between the texts of a row
constexpr qreal kMinGap = 12;       // the stretch between label and value
constexpr qreal kRadius = 19;
constexpr double kFillAlpha = 0.06;
constexpr double kDividerAlpha = 0.2;
constexpr int kRowsAboveDivider = 3;
constexpr int kTextSpacing = 8;     // between the two closing sentences

const QFont& labelFont() { return Theme::interRegular16(); }
const QFont& valueFont() { return Theme::interMedium16(); }
const QFont& detailFont() { return Theme::interRegular16(); }

// Member functions of the table would find QWidget::tr (context "QWidget").
QString translated(const char* text)
{
    return QCoreApplication::translate("cvn::ContextWarningDialog", text);
}

qreal ascent() { return qMax(QFontMetricsF(labelFont()).ascent(), QFontMetricsF(valueFont()).ascent()); }
qreal lineHeight()
{
    return ascent() + qMax(QFontMetricsF(labelFont()).descent(), QFontMetricsF(valueFont()).descent());
}

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

qreal digitCell(const QFontMetricsF& metrics)
{
    qreal widest = 0;
    for (char d = '0'; d <= '9'; ++d)
        widest = qMax(widest, metrics.horizontalAdvance(QLatin1Char(d)));
    return widest;
}

// Lays `text` out with tabular digits: each digit centred in a cell as wide
// as the widest one, other runs as they are. Hands every piece with its x
// offset to `place` and returns the whole advance.
template <typename Place>
qreal layTabular(const QString& text, const QFontMetricsF& metrics, Place place)
{
    const qreal cell = digitCell(metrics);
    qreal x = 0;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isAsciiDigit(text[i]))
            continue;
        if (i > runStart) {
            const QString run = text.mid(runStart, i - runStart);
            place(x, run);
            x += metrics.horizontalAdvance(run);
        }
        if (i < text.size()) {
            place(x + (cell - metrics.horizontalAdvance(text[i])) / 2, QString(text[i]));
            x += cell;
        }
        runStart = i + 1;
    }
    return x;
}

// Draws `text` from `origin` (on the baseline) with tabular digits.
void drawTabular(QPainter& p, QPointF origin, const QString& text, const QFont& font)
{
    p.setFont(font);
    layTabular(text, QFontMetricsF(font),
               [&](qreal x, const QString& piece) { p.drawText(origin + QPointF(x, 0), piece); });
}

QString inParentheses(const QString& detail)
{
    return QLatin1Char('(') + detail + QLatin1Char(')');
}

} // namespace

QList<ContextWarningTable::Row> ContextWarningTable::rowsFor(const ContextWarning& w)
{
    const int64_t budget = w.contextTokens - kReplyReserve;
    const int64_t total = w.attachmentTokens + w.promptTokens;
    const int64_t overflow = total - budget;
    // nearbyint in the default rounding mode: halves go to the even neighbour.
    const auto pages = int64_t(std::nearbyint(double(w.attachmentTokens) * kPagesPerToken));
    const QString tokens = translated(" tokens");
    const QString approx = QStringLiteral("\u2248");
    return {
        {translated("Context"), formatGroupedNumber(w.contextTokens) + tokens,
         formatGroupedNumber(budget) + translated(" for input"), false},
        {translated("Attachments"), approx + formatGroupedNumber(w.attachmentTokens) + tokens,
         formatGroupedNumber(pages) + translated(" pages"), false},
        {translated("Prompt"), approx + formatGroupedNumber(w.promptTokens) + tokens, {}, false},
        {translated("Total"), formatGroupedNumber(total) + tokens, {}, false},
        {translated("Overflow"), QLatin1Char('+') + formatGroupedNumber(overflow) + tokens,
         QString::number(w.overflowPercent()) + QLatin1Char('%'), true},
    };
}

ContextWarningTable::ContextWarningTable(const ContextWarning& warning, QWidget* parent)
    : QWidget(parent), m_rows(rowsFor(warning))
{
    setObjectName(QStringLiteral("cvn.dialog.tokenTable"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(qCeil(2 * kPadY + m_rows.size() * lineHeight() + m_rows.size() * kRowSpacing + 1));
    Theme::repaintOnAppearanceChange(this);
}

qreal ContextWarningTable::tabularAdvance(const QString& text, const QFont& font)
{
    return layTabular(text, QFontMetricsF(font), [](qreal, const QString&) {});
}

qreal ContextWarningTable::rowTop(int row) const
{
    const qreal step = lineHeight() + kRowSpacing;
    // The divider is a child of the stack too: 1 high, with spacing after it.
    return kPadY + row * step + (row >= kRowsAboveDivider ? 1 + kRowSpacing : 0);
}

QRectF ContextWarningTable::dividerRect() const
{
    return {kPadX, kPadY + kRowsAboveDivider * (lineHeight() + kRowSpacing), width() - 2 * kPadX, 1};
}

qreal ContextWarningTable::baseline(int row) const
{
    return rowTop(row) + ascent();
}

qreal ContextWarningTable::valueBlockWidth(int row) const
{
    const Row& r = m_rows[row];
    qreal block = tabularAdvance(r.value, valueFont());
    if (!r.detail.isEmpty())
        block += kSpacing + tabularAdvance(inParentheses(r.detail), detailFont());
    return block;
}

QRectF ContextWarningTable::valueRect(int row) const
{
    const qreal right = width() - kPadX;
    return {right - valueBlockWidth(row), rowTop(row), tabularAdvance(m_rows[row].value, valueFont()), lineHeight()};
}

QRectF ContextWarningTable::detailRect(int row) const
{
    if (m_rows[row].detail.isEmpty())
        return {};
    const qreal w = tabularAdvance(inParentheses(m_rows[row].detail), detailFont());
    return {width() - kPadX - w, rowTop(row), w, lineHeight()};
}

qreal ContextWarningTable::labelRoom(int row) const
{
    return qMax<qreal>(width() - 2 * kPadX - valueBlockWidth(row) - kMinGap - 2 * kSpacing, 0);
}

QRectF ContextWarningTable::labelRect(int row) const
{
    const qreal w = qMin(QFontMetricsF(labelFont()).horizontalAdvance(shownLabel(row)), labelRoom(row));
    return {kPadX, rowTop(row), w, lineHeight()};
}

QString ContextWarningTable::shownLabel(int row) const
{
    return QFontMetricsF(labelFont()).elidedText(m_rows[row].label, Qt::ElideRight, labelRoom(row));
}

QSize ContextWarningTable::sizeHint() const
{
    qreal widest = 0;
    for (int i = 0; i < m_rows.size(); ++i)
        widest = qMax(widest, QFontMetricsF(labelFont()).horizontalAdvance(m_rows[i].label) + kMinGap + 2 * kSpacing
                                  + valueBlockWidth(i));
    return {qCeil(widest + 2 * kPadX), height()};
}

QSize ContextWarningTable::minimumSizeHint() const
{
    return {0, height()};
}

void ContextWarningTable::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::onCard.withAlpha(kFillAlpha)());
    p.drawRoundedRect(QRectF(rect()), kRadius, kRadius);
    p.fillRect(dividerRect(), Theme::onCard.withAlpha(kDividerAlpha)());

    for (int i = 0; i < m_rows.size(); ++i) {
        const Row& row = m_rows[i];
        const qreal y = baseline(i);
        p.setFont(labelFont());
        p.setPen(Theme::onCardSecondary());
        p.drawText(QPointF(kPadX, y), shownLabel(i));
        p.setPen(row.highlighted ? Theme::onCardDanger() : Theme::onCard());
        drawTabular(p, QPointF(valueRect(i).left(), y), row.value, valueFont());
        if (!row.detail.isEmpty()) {
            p.setPen(row.highlighted ? Theme::onCardDanger() : Theme::onCardSecondary());
            drawTabular(p, QPointF(detailRect(i).left(), y), inParentheses(row.detail), detailFont());
        }
    }
}

ContextWarningDialog::ContextWarningDialog(const ContextWarning& warning, std::function<void()> onSend,
                                           std::function<void()> onCancel, QWidget* parent)
    : ModalOverlay(parent), m_warning(warning)
{
    m_card = new DialogCard;
    QVBoxLayout* column = m_card->content();
    auto* heading = new DialogText(tr("Model context warning"), Theme::interMedium16(), Theme::onCard, m_card);
    heading->setObjectName(QStringLiteral("cvn.dialog.title"));
    column->addWidget(heading);
    m_table = new ContextWarningTable(warning, m_card);
    column->addWidget(m_table);

    auto* closing = new QVBoxLayout;
    closing->setSpacing(kTextSpacing);
    auto* consequence = new DialogText(tr("The model may fail or return incomplete answers."),
                                       Theme::interRegular16(), Theme::onCardSecondary, m_card);
    consequence->setObjectName(QStringLiteral("cvn.dialog.body"));
    auto* question = new DialogText(tr("Send anyway? Truncation will apply."), Theme::interMedium16(),
                                    Theme::onCard, m_card);
    question->setObjectName(QStringLiteral("cvn.dialog.question"));
    closing->addWidget(consequence);
    closing->addWidget(question);
    column->addLayout(closing);

    m_cancel = makeDialogButton(CvnButton::Style::OutlinePill, tr("CANCEL"), QStringLiteral("cvn.dialog.cancel"),
                                onCancel, m_card);
    m_send = makeDialogButton(CvnButton::Style::SelectedPill, tr("SEND ANYWAY"), QStringLiteral("cvn.dialog.confirm"),
                              std::move(onSend), m_card);
    addButtonRow(column, {m_cancel, m_send}, DialogCard::kInnerWidth);
    cancelOnDismiss(this, std::move(onCancel));
    setCard(m_card);
}

} // namespace cvn
