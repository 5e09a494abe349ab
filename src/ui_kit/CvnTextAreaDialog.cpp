#include "ui_kit/CvnTextAreaDialog.h"

#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/CvnTextArea.h"

#include <QVBoxLayout>

namespace cvn {

namespace {
constexpr int kPadH = 16;
constexpr int kPadV = 8;
} // namespace

CvnTextAreaDialog::CvnTextAreaDialog(const QString& title, const QString& text, const QString& placeholder,
                                     int limit, std::function<void(const QString&)> onSave,
                                     std::function<void()> onCancel, QWidget* parent)
    : TextEntryDialog(title, parent)
{
    fieldFrame()->setFixedHeight(kFieldHeight);
    auto* inFrame = new QVBoxLayout(fieldFrame());
    // The scroll bar keeps clear of the outline's rounded corners.
    inFrame->setContentsMargins(kPadH, kPadV, kPadH - 6, kPadV);
    m_field = new CvnTextArea(text, placeholder, limit, fieldFrame());
    m_field->setObjectName(QStringLiteral("cvn.dialog.field"));
    inFrame->addWidget(m_field);
    addButtons(
        [this, onSave = std::move(onSave)] {
            if (onSave)
                onSave(m_field->toPlainText());
        },
        std::move(onCancel));
    m_field->moveCursor(QTextCursor::End);
    setCard(dialogCard());
}

void CvnTextAreaDialog::showEvent(QShowEvent* event)
{
    TextEntryDialog::showEvent(event);
    m_field->setFocus(Qt::OtherFocusReason);
}

} // namespace cvn
