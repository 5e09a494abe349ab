#include "chat/composer/ComposerEditor.h"

#include "rendering/LineWrap.h"
#include "ui_kit/Theme.h"

#include <QAbstractTextDocumentLayout>
#include <QFontInfo>
#include <QGuiApplication>
#include <QStyleHints>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSyntaxHighlighter>
#include <QTextBlock>
#include <QtMath>

namespace cvn {

namespace {

// A stroke of about half a pixel thickens the glyphs without touching their
// advances, so neither the line breaks nor the caret move.
constexpr qreal kMentionStroke = 0.5;

QPalette editorPalette(Appearance appearance)
{
    QPalette p = Theme::palette(Theme::Surface::Page, appearance);
    const QColor ink = Theme::composerInkNSColor(appearance);
    p.setColor(QPalette::Text, ink);
    p.setColor(QPalette::PlaceholderText, ink);
    p.setColor(QPalette::Base, Qt::transparent);
    p.setColor(QPalette::Window, Qt::transparent);
    return p;
}

} // namespace

// Formats the editor's bold spans block by block. The formats live in the
// layout, not in the text, so they never enter the undo history.
class MentionHighlighter : public QSyntaxHighlighter {
public:
    MentionHighlighter(ComposerEditor* editor) : QSyntaxHighlighter(editor->document()), m_editor(editor) {}

protected:
    void highlightBlock(const QString& blockText) override
    {
        const qsizetype start = currentBlock().position();
        const qsizetype end = start + blockText.size();
        const qsizetype textLength = document()->characterCount() - 1;
        QTextCharFormat heavier;
        heavier.setTextOutline(QPen(Theme::composerInkNSColor(), kMentionStroke));
        for (const CouncilMentions::Range& range : m_editor->boldRanges()) {
            const qsizetype rangeEnd = range.location + range.length;
            if (rangeEnd > textLength || rangeEnd <= start || range.location >= end)
                continue;
            const qsizetype from = qMax(range.location, start);
            setFormat(int(from - start), int(qMin(rangeEnd, end) - from), heavier);
        }
    }

private:
    ComposerEditor* m_editor;
};

ComposerEditor::ComposerEditor(QWidget* parent) : QPlainTextEdit(parent)
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setBackgroundVisible(false);
    viewport()->setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    setFont(textFont());
    document()->setDefaultFont(textFont());
    setPalette(editorPalette(Theme::appearance()));
    setPlaceholderText(QStringLiteral("WRITE A MESSAGE..."));

    // Connected before the highlighter attaches, so the composer has handed
    // over the spans of the new text by the time the changed block is
    // formatted: one pass per keystroke, never a stale one.
    connect(document(), &QTextDocument::contentsChange, this, [this] { documentChanged(); });
    m_highlighter = new MentionHighlighter(this);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        measure();
        updateBlinking();
    });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] {
        syncCaret();
        updateBlinking();
    });
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, this, [this](Appearance next) {
        setPalette(editorPalette(next));
        m_highlighter->rehighlight();
    });
}

ComposerEditor::~ComposerEditor()
{
    setBlinking(true);
}

const QFont& ComposerEditor::textFont()
{
    // Qt shapes a whole paragraph again on every keystroke, and Inter's
    // OpenType tables make that about two microseconds a character: a long
    // paragraph would lag behind the keys. Latin text is set from the
    // character map instead (no kerning); scripts that need shaping still
    // get it.
    static const QFont font = [] {
        QFont chosen = Theme::interMedium16();
        if (QFontInfo(chosen).family() != QLatin1String("Inter")) {
            chosen = QFont();
            chosen.setPixelSize(16);
            chosen.setWeight(QFont::Medium);
        }
        chosen.setStyleStrategy(QFont::StyleStrategy(chosen.styleStrategy() | QFont::PreferNoShaping));
        return chosen;
    }();
    return font;
}

QString ComposerEditor::text() const
{
    return m_text;
}

void ComposerEditor::setText(const QString& text)
{
    if (text != m_text)
        setPlainText(text);
}

void ComposerEditor::replaceRange(qsizetype from, qsizetype to, const QString& replacement)
{
    QTextCursor cursor(document());
    cursor.setPosition(int(from));
    cursor.setPosition(int(to), QTextCursor::KeepAnchor);
    cursor.beginEditBlock();
    cursor.insertText(replacement);
    cursor.endEditBlock();
}

void ComposerEditor::setPendingCaret(std::optional<qsizetype> position)
{
    m_pendingCaret = position;
    if (!position)
        return;
    QTextCursor cursor = textCursor();
    cursor.setPosition(int(qBound<qsizetype>(0, *position, m_text.size())));
    setTextCursor(cursor);
    m_pendingCaret.reset();
}

void ComposerEditor::setBoldRanges(const QList<CouncilMentions::Range>& ranges)
{
    if (m_highlightedText == m_text && ranges == m_ranges)
        return;
    const QList<CouncilMentions::Range> previous = std::exchange(m_ranges, ranges);
    m_highlightedText = m_text;
    // Inside a change of the document the highlighter formats the changed
    // blocks right after; spans elsewhere keep their place in their block.
    if (m_inDocumentChange)
        return;
    auto touch = [this](const QList<CouncilMentions::Range>& from, const QList<CouncilMentions::Range>& other) {
        for (const CouncilMentions::Range& range : from) {
            if (other.contains(range))
                continue;
            QTextBlock block = document()->findBlock(int(range.location));
            const QTextBlock last = document()->findBlock(int(range.location + range.length));
            for (; block.isValid(); block = block.next()) {
                m_highlighter->rehighlightBlock(block);
                if (block == last)
                    break;
            }
        }
    };
    touch(previous, m_ranges);
    touch(m_ranges, previous);
}

void ComposerEditor::setMaxHeight(qreal maxHeight)
{
    m_maxHeight = maxHeight;
    measure();
}

void ComposerEditor::resetMeasuredHeight(qreal height)
{
    m_height = height;
}

void ComposerEditor::documentChanged()
{
    QString raw = document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
    m_text = raw;
    // Qt's word wrapping measures the rest of a run without break
    // opportunities again for every line of it, so a pasted dump of hex would
    // freeze the window; set before the document lays the change out, which
    // follows this signal.
    LineWrap::wrapEditorFor(this, m_text);
    // The edit cursor has already moved; the composer reads the caret with
    // the text, so both describe the same state.
    m_caret = textCursor().selectionStart();
    m_inDocumentChange = true;
    emit textEdited(m_text);
    m_inDocumentChange = false;
}

void ComposerEditor::syncCaret()
{
    const qsizetype caret = textCursor().selectionStart();
    if (caret == m_caret)
        return;
    m_caret = caret;
    emit caretMoved(caret);
}

void ComposerEditor::measure()
{
    QAbstractTextDocumentLayout* layout = document()->documentLayout();
    if (!layout)
        return;
    qreal used = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        used += layout->blockBoundingRect(block).height();
    const qreal height = qMin(qMax(qCeil(used) + topPadding, minHeight), m_maxHeight);
    if (qAbs(height - m_height) <= 0.5)
        return;
    m_height = height;
    emit heightMeasured(height);
}

void ComposerEditor::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    std::optional<MentionKey> mentionKey;
    switch (key) {
    case Qt::Key_Up: mentionKey = MentionKey::up; break;
    case Qt::Key_Down: mentionKey = MentionKey::down; break;
    case Qt::Key_Escape: mentionKey = MentionKey::escape; break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab: mentionKey = MentionKey::accept; break;
    default: break;
    }
    if (mentionKey && onMentionKey && onMentionKey(*mentionKey)) {
        event->accept();
        return;
    }
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    event->accept();
    // Only Shift matters: Return with Control, Alt or Meta still sends.
    if (!(event->modifiers() & Qt::ShiftModifier)) {
        if (onSend)
            onSend();
        return;
    }
    // A real line break (a new paragraph); the base class would insert a
    // line separator that the rest of the app does not read as "\n".
    textCursor().insertText(QStringLiteral("\n"));
    ensureCursorVisible();
}

void ComposerEditor::resizeEvent(QResizeEvent* event)
{
    QPlainTextEdit::resizeEvent(event);
    measure();
    showAllWhenItFits();
}

void ComposerEditor::showEvent(QShowEvent* event)
{
    QPlainTextEdit::showEvent(event);
    showAllWhenItFits();
}

void ComposerEditor::focusInEvent(QFocusEvent* event)
{
    QPlainTextEdit::focusInEvent(event);
    updateBlinking();
}

void ComposerEditor::focusOutEvent(QFocusEvent* event)
{
    // Before the next focused field starts its own blinking.
    setBlinking(true);
    QPlainTextEdit::focusOutEvent(event);
}

void ComposerEditor::updateBlinking()
{
    // A block's length counts its separator.
    setBlinking(!hasFocus() || textCursor().block().length() - 1 <= longestBlinkingParagraph);
}

void ComposerEditor::setBlinking(bool blinking)
{
    // Qt's text control takes its blink from the application's flash time
    // alone, and follows a change of it at once.
    QStyleHints* hints = QGuiApplication::styleHints();
    if (blinking && m_heldFlashTime) {
        hints->setCursorFlashTime(*std::exchange(m_heldFlashTime, std::nullopt));
    } else if (!blinking && !m_heldFlashTime) {
        m_heldFlashTime = hints->cursorFlashTime();
        hints->setCursorFlashTime(0);
    }
}

void ComposerEditor::showAllWhenItFits()
{
    // The base class scrolls to the caret by the height it had then (or, while
    // hidden, as if nothing fitted) and keeps that offset after growing; text
    // that fits its height is shown from its first line.
    if (m_height < m_maxHeight)
        verticalScrollBar()->setValue(0);
}

bool ComposerEditor::canInsertFromMimeData(const QMimeData* source) const
{
    return (onAttachments && onAttachments(source, true)) || QPlainTextEdit::canInsertFromMimeData(source);
}

void ComposerEditor::insertFromMimeData(const QMimeData* source)
{
    if (onAttachments && onAttachments(source, false))
        return;
    QPlainTextEdit::insertFromMimeData(source);
}

} // namespace cvn
