#include "ui_kit/TextEntryDialog.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QPainter>
#include <QVBoxLayout>

namespace cvn {

namespace {

// The outline pill the field sits in; the field itself draws no frame.
class FieldFrame : public QWidget {
public:
    explicit FieldFrame(QWidget* parent) : QWidget(parent) { Theme::repaintOnAppearanceChange(this); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        Theme::strokeInside(p, QRectF(rect()), TextEntryDialog::kFieldRadius, Theme::onCard());
    }
};

} // namespace

TextEntryDialog::TextEntryDialog(const QString& title, QWidget* parent) : ModalOverlay(parent)
{
    m_card = new DialogCard;
    QVBoxLayout* column = m_card->content();
    m_title = new DialogText(title, Theme::interMedium16(), Theme::onCardSecondary, m_card);
    m_title->setObjectName(QStringLiteral("cvn.dialog.title"));
    column->addWidget(m_title);

    m_frame = new FieldFrame(m_card);
    column->addWidget(m_frame);
}

void TextEntryDialog::addButtons(std::function<void()> save, std::function<void()> onCancel)
{
    m_cancel = makeDialogButton(CvnButton::Style::OutlinePill, tr("CANCEL"), QStringLiteral("cvn.dialog.cancel"),
                                onCancel, m_card);
    m_save = makeDialogButton(CvnButton::Style::SelectedPill, tr("SAVE"), QStringLiteral("cvn.dialog.save"),
                              std::move(save), m_card);
    addButtonRow(m_card->content(), {m_cancel, m_save}, DialogCard::kInnerWidth);
    cancelOnDismiss(this, std::move(onCancel));
}

} // namespace cvn
