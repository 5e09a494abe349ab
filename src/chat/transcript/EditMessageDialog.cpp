#include "chat/transcript/EditMessageDialog.h"

#include "attachments/SentAttachments.h"
#include "chat/composer/ComposerEditor.h"
#include "platform/Unicode.h"
#include "rendering/LineWrap.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QAbstractTextDocumentLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace cvn {

namespace {
constexpr int kPadH = 16;
constexpr int kPadV = 8;

// The stretch around [from, to) whose ends are settled and lie in text that
// a change of [from, to) leaves alone, so its characters are counted the
// same inside the whole text as on their own.
std::pair<qsizetype, qsizetype> settledSpan(QStringView text, qsizetype from, qsizetype to)
{
    qsizetype start = std::max<qsizetype>(0, from - 1);
    while (!isSettledBoundary(text, start))
        --start;
    qsizetype end = std::min(text.size(), to + 1);
    while (!isSettledBoundary(text, end))
        ++end;
    return {start, end};
}

bool hasNonSpace(QStringView text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return !c.isSpace(); });
}

// What the base class types for a key: its text when that is input (as
// QInputControl judges it), or a line break for Return and Enter.
QString typedBy(const QKeyEvent* event)
{
    if (event->matches(QKeySequence::InsertParagraphSeparator) || event->matches(QKeySequence::InsertLineSeparator))
        return QStringLiteral("\n");
    const QString text = event->text();
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (text.isEmpty() || modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier))
        return {};
    const QChar first = text.front();
    const bool input = first.isPrint() || first.category() == QChar::Other_Format
        || first.category() == QChar::Other_PrivateUse
        || (first.isHighSurrogate() && text.size() > 1 && text[1].isLowSurrogate());
    return input ? text : QString();
}

// The message field. Typed, pasted, dropped and composed text is offered to
// `fitting` first, which gives back what of it may go in, so a character
// over the limit never reaches the document.
class EditField : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

    std::function<QString(qsizetype from, qsizetype to, const QString& text)> fitting;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        const QString typed = typedBy(event);
        if (!typed.isEmpty() && fitting) {
            const QTextCursor cursor = textCursor();
            if (fitting(cursor.selectionStart(), cursor.selectionEnd(), typed).size() < typed.size()) {
                event->accept();
                return;
            }
        }
        QPlainTextEdit::keyPressEvent(event);
    }

    void insertFromMimeData(const QMimeData* source) override
    {
        if (!fitting || !source->hasText()) {
            QPlainTextEdit::insertFromMimeData(source);
            return;
        }
        const QString text = source->text();
        const QTextCursor cursor = textCursor();
        const QString fit = fitting(cursor.selectionStart(), cursor.selectionEnd(), text);
        if (fit.size() == text.size()) {
            QPlainTextEdit::insertFromMimeData(source);
            return;
        }
        QMimeData cut;
        cut.setText(fit);
        QPlainTextEdit::insertFromMimeData(&cut);
    }

    void inputMethodEvent(QInputMethodEvent* event) override
    {
        const QString commit = event->commitString();
        if (!fitting || commit.isEmpty()) {
            QPlainTextEdit::inputMethodEvent(event);
            return;
        }
        // The commit replaces the selection, or the stretch the event names
        // around the cursor.
        const QTextCursor cursor = textCursor();
        qsizetype from = cursor.selectionStart();
        qsizetype to = cursor.selectionEnd();
        if (!cursor.hasSelection() && (event->replacementStart() != 0 || event->replacementLength() != 0)) {
            from = std::max<qsizetype>(0, cursor.position() + event->replacementStart());
            to = std::max(from, from + event->replacementLength());
        }
        const QString fit = fitting(from, to, commit);
        if (fit.size() == commit.size()) {
            QPlainTextEdit::inputMethodEvent(event);
            return;
        }
        QInputMethodEvent cut(event->preeditString(), event->attributes());
        cut.setCommitString(fit, event->replacementStart(), event->replacementLength());
        QPlainTextEdit::inputMethodEvent(&cut);
    }
};

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
    auto* field = new EditField(fieldFrame());
    field->fitting = [this](qsizetype from, qsizetype to, const QString& text) { return fitting(from, to, text); };
    m_edit = field;
    m_edit->setObjectName(QStringLiteral("cvn.dialog.field"));
    m_edit->setFrameShape(QFrame::NoFrame);
    // The composer's face: Inter Medium 16 set without shaping where the
    // script needs none, so a long message is laid out again per key as fast
    // as in the composer.
    m_edit->setFont(ComposerEditor::textFont());
    m_edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_edit->setTabChangesFocus(true);
    m_edit->document()->setDocumentMargin(2);
    m_edit->viewport()->setAutoFillBackground(false);
    m_edit->setAutoFillBackground(false);
    Theme::keepPalette(m_edit, Theme::Surface::Card);
    ScrollBars::styleScrollBars(m_edit, int(kFieldRadius) / 2);
    // A stored message may hold a megabyte without a break opportunity.
    LineWrap::followOverlongRuns(m_edit);
    connect(m_edit->document(), &QTextDocument::contentsChange, this, &EditMessageDialog::takeChange);
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
    return m_typed;
}

void EditMessageDialog::takeChange(int position, int removed, int added)
{
    QTextDocument* document = m_edit->document();
    const LineWrap::TextChange change =
        LineWrap::fitChange(position, removed, added, m_typed.size(), document->characterCount() - 1);
    const qsizetype at = change.at;
    const qsizetype gone = change.removed;
    const qsizetype come = change.added;
    // The document's raw text keeps no-break spaces as typed (toPlainText()
    // would not); its separators are the message's line breaks.
    QString inserted = LineWrap::rawText(document, at, at + come);
    inserted.replace(QChar::ParagraphSeparator, u'\n');
    inserted.replace(QChar::LineSeparator, u'\n');

    m_count = countIfReplaced(at, at + gone, inserted);
    m_typed.replace(at, gone, inserted);
    if (hasNonSpace(inserted))
        m_nonBlank = true;
    else if (m_nonBlank && gone > 0)
        m_nonBlank = hasNonSpace(m_typed);
    m_insertedAt = at;
    m_inserted = come;
    m_changedFrom = std::min(m_changedFrom, at);
    m_changedTail = std::min(m_changedTail, m_typed.size() - (at + come));
}

qsizetype EditMessageDialog::countIfReplaced(qsizetype from, qsizetype to, QStringView with) const
{
    const QStringView text(m_typed);
    const auto [start, end] = settledSpan(text, from, to);
    const qsizetype before = GraphemeIndex(text.sliced(start, end - start)).size();
    QString after;
    after.reserve(from - start + with.size() + end - to);
    after.append(text.sliced(start, from - start)).append(with).append(text.sliced(to, end - to));
    return m_count - before + GraphemeIndex(after).size();
}

QString EditMessageDialog::fitting(qsizetype from, qsizetype to, const QString& text) const
{
    // Inside someone's edit block (a drop that moves text) the document has
    // changed ahead of the copy; the change is judged once it is whole.
    const bool inStep = m_typed.size() == m_edit->document()->characterCount() - 1;
    if (!inStep || to > m_typed.size() || countIfReplaced(from, to, text) <= m_limit)
        return text;
    // Whole characters from the start of the text, as many as fit; more of
    // them never count fewer.
    const GraphemeIndex chars(text);
    qsizetype fit = 0;
    qsizetype over = chars.size();
    while (over - fit > 1) {
        const qsizetype middle = (fit + over) / 2;
        if (countIfReplaced(from, to, QStringView(text).first(chars.offset(middle))) <= m_limit)
            fit = middle;
        else
            over = middle;
    }
    return text.first(chars.offset(fit));
}

void EditMessageDialog::edited()
{
    if (m_count > m_limit && !m_cutting)
        cutToLimit();
    saveButton()->setEnabled(!m_head.isEmpty() || m_nonBlank);
    fitField();
}

void EditMessageDialog::cutToLimit()
{
    m_cutting = true;
    if (m_inserted > 0 && m_insertedAt + m_inserted <= m_typed.size()) {
        const qsizetype from = m_insertedAt;
        const qsizetype to = from + m_inserted;
        const qsizetype keep = fitting(from, to, m_typed.sliced(from, to - from)).size();
        if (from + keep < to)
            remove(from + keep, to);
    }
    if (m_count > m_limit)
        remove(startOfLast(m_count - m_limit), m_typed.size());
    // Qt groups a cut with the change before it in one undo step only when
    // that change was one, so an undo could stop in between, over the
    // limit: the history starts again here.
    m_edit->document()->clearUndoRedoStacks();
    m_cutting = false;
}

qsizetype EditMessageDialog::startOfLast(qsizetype n) const
{
    const QStringView text(m_typed);
    for (qsizetype reach = 2 * n + 8;; reach *= 2) {
        qsizetype start = std::max<qsizetype>(0, text.size() - reach);
        while (!isSettledBoundary(text, start))
            --start;
        const GraphemeIndex chars(text.sliced(start));
        if (chars.size() >= n || start == 0)
            return start + chars.offset(std::max<qsizetype>(0, chars.size() - n));
    }
}

void EditMessageDialog::remove(qsizetype from, qsizetype to)
{
    QTextCursor cursor(m_edit->document());
    cursor.setPosition(int(from));
    cursor.setPosition(int(to), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void EditMessageDialog::fitField()
{
    const QFontMetricsF metrics(m_edit->font());
    // QPlainTextEdit measures its document in lines, not pixels.
    const qreal margins = 2 * m_edit->document()->documentMargin() + 2;
    layOutChanges(int(std::ceil((maxFieldHeight - 2 * kPadV - margins) / metrics.lineSpacing())));
    const int lines = qMax(1, m_edit->document()->documentLayout()->documentSize().toSize().height());
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

void EditMessageDialog::layOutChanges(int enough)
{
    // The plain text layout lays a change out at once only while it stays
    // inside one block and the block count holds, as a typed letter does. A
    // paste at the start of a block, a drop, a commit or a redo leaves its
    // blocks with the lines they had until they are painted, so the field
    // would be sized by the old text. Past `enough` lines the field is at
    // its tallest whatever the rest holds, so a megabyte pasted costs no
    // more than painting it, and a letter typed costs nothing here.
    // Hidden, the field has no width to lay out at yet: that waits for the
    // show.
    if (!m_edit->isVisible() || m_changedFrom > m_typed.size())
        return;
    QTextDocument* document = m_edit->document();
    QAbstractTextDocumentLayout* layout = document->documentLayout();
    const QTextBlock last = document->findBlock(int(m_typed.size() - std::min(m_changedTail, m_typed.size())));
    int lines = 0;
    for (QTextBlock block = document->findBlock(int(m_changedFrom)); block.isValid() && lines < enough;
         block = block.next()) {
        layout->blockBoundingRect(block);
        lines += block.lineCount();
        if (block == last)
            break;
    }
    m_changedFrom = m_changedTail = std::numeric_limits<qsizetype>::max();
}

void EditMessageDialog::showEvent(QShowEvent* event)
{
    TextEntryDialog::showEvent(event);
    fitField();
    m_edit->setFocus(Qt::OtherFocusReason);
}

} // namespace cvn
