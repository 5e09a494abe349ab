#include "ui_kit/CvnInputDialog.h"

#include "platform/Unicode.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include <limits>

namespace cvn {

namespace {

constexpr int kFieldHeight = 38;
constexpr int kFieldPadding = 16;
constexpr qreal kFieldRadius = 19;

// The outline pill the line edit sits in; the edit itself draws no frame.
class FieldFrame : public QWidget {
public:
    explicit FieldFrame(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("cvn.dialog.fieldFrame"));
        setFixedHeight(kFieldHeight);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        Theme::strokeInside(p, QRectF(rect()), kFieldRadius, Theme::onCard());
    }
};

} // namespace

CvnInputDialog::CvnInputDialog(const QString& title, const QString& text, int maxLength,
                               std::function<void(const QString&)> onSave, std::function<void()> onCancel,
                               QWidget* parent)
    : ModalOverlay(parent), m_maxLength(maxLength)
{
    m_card = new DialogCard;
    QVBoxLayout* column = m_card->content();
    m_title = new DialogText(title, Theme::interMedium16(), Theme::onCardSecondary, m_card);
    m_title->setObjectName(QStringLiteral("cvn.dialog.title"));
    column->addWidget(m_title);

    m_frame = new FieldFrame(m_card);
    auto* inFrame = new QHBoxLayout(m_frame);
    inFrame->setContentsMargins(kFieldPadding, 0, kFieldPadding, 0);
    m_edit = new QLineEdit(m_frame);
    m_edit->setObjectName(QStringLiteral("cvn.dialog.field"));
    m_edit->setFrame(false);
    m_edit->setFont(Theme::interMedium16());
    Theme::keepPalette(m_edit, Theme::Surface::Card);
    // The limit is never QLineEdit's own: it counts UTF-16 units and would
    // cut an emoji or a letter from its combining mark in two. Its default of
    // 32,767 units is lifted for the same reason.
    m_edit->setMaxLength(std::numeric_limits<int>::max());
    inFrame->addWidget(m_edit);
    column->addWidget(m_frame);

    m_cancel = makeDialogButton(CvnButton::Style::OutlinePill, tr("CANCEL"), QStringLiteral("cvn.dialog.cancel"),
                                onCancel, m_card);
    // The text as typed: spaces at either end are the caller's to keep.
    m_save = makeDialogButton(CvnButton::Style::SelectedPill, tr("SAVE"), QStringLiteral("cvn.dialog.save"),
                              [this, onSave = std::move(onSave)] {
                                  if (onSave)
                                      onSave(m_edit->text());
                              },
                              m_card);
    addButtonRow(column, {m_cancel, m_save}, DialogCard::kInnerWidth);
    cancelOnDismiss(this, std::move(onCancel));

    connect(m_edit, &QLineEdit::textChanged, this, &CvnInputDialog::textEdited);
    m_edit->setText(text);
    textEdited(m_edit->text()); // an unchanged initial text emits nothing
    setCard(m_card);
}

QString CvnInputDialog::text() const
{
    return m_edit->text();
}

void CvnInputDialog::textEdited(const QString& text)
{
    if (m_maxLength >= 1 && GraphemeIndex(text).size() > m_maxLength) {
        // Emits textChanged again, which then finds the text within the limit.
        m_edit->setText(prefixCharacters(m_maxLength, text));
        return;
    }
    m_save->setEnabled(!text.trimmed().isEmpty());
}

void CvnInputDialog::showEvent(QShowEvent* event)
{
    ModalOverlay::showEvent(event);
    m_edit->setFocus(Qt::OtherFocusReason);
}

} // namespace cvn
