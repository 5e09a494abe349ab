#include "ui_kit/CvnInputDialog.h"

#include "platform/Unicode.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QHBoxLayout>
#include <QLineEdit>

#include <limits>

namespace cvn {

namespace {
constexpr int kFieldHeight = 38;
constexpr int kFieldPadding = 16;
} // namespace

CvnInputDialog::CvnInputDialog(const QString& title, const QString& text, int maxLength,
                               std::function<void(const QString&)> onSave, std::function<void()> onCancel,
                               QWidget* parent)
    : TextEntryDialog(title, parent), m_maxLength(maxLength)
{
    QWidget* frame = fieldFrame();
    frame->setObjectName(QStringLiteral("cvn.dialog.fieldFrame"));
    frame->setFixedHeight(kFieldHeight);
    auto* inFrame = new QHBoxLayout(frame);
    inFrame->setContentsMargins(kFieldPadding, 0, kFieldPadding, 0);
    m_edit = new QLineEdit(frame);
    m_edit->setObjectName(QStringLiteral("cvn.dialog.field"));
    m_edit->setFrame(false);
    m_edit->setFont(Theme::interMedium16());
    Theme::keepPalette(m_edit, Theme::Surface::Card);
    // The limit is never QLineEdit's own: it counts UTF-16 units and would
    // cut an emoji or a letter from its combining mark in two. Its default of
    // 32,767 units is lifted for the same reason.
    m_edit->setMaxLength(std::numeric_limits<int>::max());
    inFrame->addWidget(m_edit);

    // The text as typed: spaces at either end are the caller's to keep.
    addButtons(
        [this, onSave = std::move(onSave)] {
            if (onSave)
                onSave(m_edit->text());
        },
        std::move(onCancel));

    connect(m_edit, &QLineEdit::textChanged, this, &CvnInputDialog::textEdited);
    m_edit->setText(text);
    textEdited(m_edit->text()); // an unchanged initial text emits nothing
    setCard(dialogCard());
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
    saveButton()->setEnabled(!text.trimmed().isEmpty());
}

void CvnInputDialog::showEvent(QShowEvent* event)
{
    TextEntryDialog::showEvent(event);
    m_edit->setFocus(Qt::OtherFocusReason);
}

} // namespace cvn
