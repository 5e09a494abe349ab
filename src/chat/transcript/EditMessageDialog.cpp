#include "chat/transcript/EditMessageDialog.h"

#include "attachments/SentAttachments.h"
#include "platform/Unicode.h"
#include "rendering/LineWrap.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QVBoxLayout>

namespace cvn {

namespace {
constexpr int kPadH = 16;
constexpr int kPadV = 8;
} // namespace

EditMessageDialog::EditMessageDialog(const QString& title, const QString& message, int maxLength,
                                     std::function<void(const QString&)> onSave, std::function<void()> onCancel,
                                     QWidget* parent)
    : TextEntryDialog(title, parent)
{
    const SentAttachments::Parsed parsed = SentAttachments::parse(message);
    m_head = message.chopped(parsed.text.size());
    m_limit = qMax(maxLength, int(GraphemeIndex(parsed.text).size()));

    auto* inFrame = new QVBoxLayout(fieldFrame());
    inFrame->setContentsMargins(kPadH, kPadV, kPadH - 6, kPadV);
    m_edit = new QPlainTextEdit(fieldFrame());
    m_edit->setObjectName(QStringLiteral("cvn.dialog.field"));
    m_edit->setFrameShape(QFrame::NoFrame);
    m_edit->setFont(Theme::interMedium16());
    m_edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_edit->setTabChangesFocus(true);
    m_edit->document()->setDocumentMargin(2);
    m_edit->viewport()->setAutoFillBackground(false);
    m_edit->setAutoFillBackground(false);
    Theme::keepPalette(m_edit, Theme::Surface::Card);
    ScrollBars::styleScrollBars(m_edit, int(kFieldRadius) / 2);
    // A stored message may hold a megabyte without a break opportunity.
    LineWrap::followOverlongRuns(m_edit);
    m_edit->setPlainText(parsed.text);
    inFrame->addWidget(m_edit);

    addButtons(
        [this, onSave = std::move(onSave)] {
            if (onSave)
                onSave(this->message());
        },
        std::move(onCancel));

    connect(m_edit, &QPlainTextEdit::textChanged, this, &EditMessageDialog::edited);
    edited();
    m_edit->moveCursor(QTextCursor::End);
    setCard(dialogCard());
}

QString EditMessageDialog::typedText() const
{
    // toPlainText() would turn no-break spaces into plain ones; the
    // document's raw text keeps every character as typed.
    QString text = m_edit->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}

void EditMessageDialog::edited()
{
    if (m_cutting)
        return;
    const QString text = typedText();
    if (GraphemeIndex(text).size() > m_limit) {
        m_cutting = true;
        m_edit->setPlainText(prefixCharacters(m_limit, text));
        m_edit->moveCursor(QTextCursor::End);
        m_cutting = false;
    }
    saveButton()->setEnabled(!m_head.isEmpty() || !typedText().trimmed().isEmpty());
    fitField();
}

void EditMessageDialog::fitField()
{
    const QFontMetricsF metrics(m_edit->font());
    const int lines = qMax(1, m_edit->document()->documentLayout()->documentSize().toSize().height());
    // QPlainTextEdit measures its document in lines, not pixels.
    const qreal margins = 2 * m_edit->document()->documentMargin() + 2;
    const int content = int(std::ceil(lines * metrics.lineSpacing() + margins));
    const int height = qBound(minFieldHeight, content + 2 * kPadV, maxFieldHeight);
    // The bar only once the field has stopped growing, so a text that fits
    // never shows one.
    m_edit->setVerticalScrollBarPolicy(height == maxFieldHeight ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (fieldFrame()->height() != height) {
        fieldFrame()->setFixedHeight(height);
        if (QWidget* card = this->card())
            card->adjustSize();
    }
}

void EditMessageDialog::showEvent(QShowEvent* event)
{
    TextEntryDialog::showEvent(event);
    fitField();
    m_edit->setFocus(Qt::OtherFocusReason);
}

} // namespace cvn
