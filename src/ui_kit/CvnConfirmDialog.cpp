#include "ui_kit/CvnConfirmDialog.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QVBoxLayout>

namespace cvn {

CvnConfirmDialog::CvnConfirmDialog(const QString& title, const QString& body, const QString& confirmText,
                                   std::optional<QString> cancelText, bool destructive,
                                   std::function<void()> onConfirm, std::function<void()> onCancel, QWidget* parent)
    : ModalOverlay(parent)
{
    m_card = new DialogCard;
    QVBoxLayout* column = m_card->content();
    m_title = new DialogText(title, Theme::interMedium16(), Theme::onCardSecondary, m_card);
    m_title->setObjectName(QStringLiteral("cvn.dialog.title"));
    column->addWidget(m_title);
    if (!body.isEmpty()) {
        m_body = new DialogText(body, Theme::interMedium16(), Theme::onCard, m_card);
        m_body->setObjectName(QStringLiteral("cvn.dialog.body"));
        column->addWidget(m_body);
    }

    QList<CvnButton*> buttons;
    if (cancelText) {
        m_cancel = makeDialogButton(CvnButton::Style::OutlinePill, *cancelText, QStringLiteral("cvn.dialog.cancel"),
                                    onCancel, m_card);
        buttons.append(m_cancel);
    }
    m_confirm = makeDialogButton(destructive ? CvnButton::Style::Destructive : CvnButton::Style::SelectedPill,
                                 confirmText, QStringLiteral("cvn.dialog.confirm"), std::move(onConfirm), m_card);
    buttons.append(m_confirm);
    addButtonRow(column, buttons, DialogCard::kInnerWidth);

    cancelOnDismiss(this, std::move(onCancel));
    setCard(m_card);
}

} // namespace cvn
