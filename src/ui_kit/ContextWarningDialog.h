#pragma once

#include "models/ContextWarning.h"
#include "ui_kit/ModalOverlay.h"

#include <QFont>
#include <QList>
#include <QRectF>
#include <QString>

#include <functional>

namespace cvn {

class CvnButton;
class DialogCard;

// The token figures behind a context warning, one row each, drawn as one
// widget so that every text of a row sits on one baseline and stays on one
// line. Labels at the left; each value with its detail at the right, with
// digits of equal width so that figures stand in steady columns (the Inter
// digits are proportional and Qt 6.4 cannot switch on their tabular forms).
// A 1 px divider separates Prompt from Total; the Overflow row is in the
// danger colour. The table fills the width it is given; its height is fixed.
class ContextWarningTable : public QWidget {
    Q_OBJECT
public:
    struct Row {
        QString label;
        QString value;
        QString detail; // empty: none, else shown in parentheses
        bool highlighted = false;

        friend bool operator==(const Row&, const Row&) = default;
    };

    // The rows for `warning`, with figures grouped by thousands. The input
    // budget is the context less the tokens kept for the reply (ContextWarning::replyReserve); pages
    // are attachment tokens × 0.003, ties rounded to even.
    static QList<Row> rowsFor(const ContextWarning& warning);

    explicit ContextWarningTable(const ContextWarning& warning, QWidget* parent = nullptr);

    const QList<Row>& rows() const { return m_rows; }

    // Where row i's texts are drawn at the current width (row boxes one line
    // high; the detail's rect includes its parentheses). Empty for no detail.
    QRectF labelRect(int row) const;
    QRectF valueRect(int row) const;
    QRectF detailRect(int row) const;
    qreal baseline(int row) const;
    QRectF dividerRect() const;
    // The label as drawn: elided when the figures leave it too little room.
    QString shownLabel(int row) const;

    // The advance of `text` with every ASCII digit in a cell as wide as the
    // widest digit of `font`.
    static qreal tabularAdvance(const QString& text, const QFont& font);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal rowTop(int row) const;
    qreal valueBlockWidth(int row) const;
    // The width left to row i's label by its figures and the gap before them.
    qreal labelRoom(int row) const;

    QList<Row> m_rows;
};

// Tells the user, before a message is sent, that it will not fit the loaded
// model's context: the token table, the consequence, and "CANCEL" or "SEND
// ANYWAY" (the attachments are then truncated to fit) in the 500-wide dialog
// card.
//
// onSend runs for "SEND ANYWAY"; onCancel for "CANCEL", a click on the scrim
// and Escape. The dialog never hides itself: the owner removes it in the
// callbacks, with deleteLater().
//
// Create it as a child of the widget it covers. Main thread only.
class ContextWarningDialog : public ModalOverlay {
    Q_OBJECT
public:
    ContextWarningDialog(const ContextWarning& warning, std::function<void()> onSend, std::function<void()> onCancel,
                         QWidget* parent);

    const ContextWarning& warning() const { return m_warning; }
    DialogCard* dialogCard() const { return m_card; }
    ContextWarningTable* table() const { return m_table; }
    CvnButton* sendButton() const { return m_send; }
    CvnButton* cancelButton() const { return m_cancel; }

private:
    ContextWarning m_warning;
    DialogCard* m_card;
    ContextWarningTable* m_table;
    CvnButton* m_send;
    CvnButton* m_cancel;
};

} // namespace cvn
