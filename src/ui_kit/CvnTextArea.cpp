#include "ui_kit/CvnTextArea.h"

#include "platform/Unicode.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

namespace cvn {

CvnTextArea::CvnTextArea(const QString& text, const QString& placeholder, int limit, QWidget* parent)
    : QPlainTextEdit(parent), m_limit(limit)
{
    setFrameShape(QFrame::NoFrame);
    setFont(Theme::interMedium16());
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    document()->setDocumentMargin(2);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    Theme::keepPalette(this, Theme::Surface::Card);
    ScrollBars::styleScrollBars(this);
    setPlaceholderText(placeholder);
    setPlainText(text);
    connect(this, &QPlainTextEdit::textChanged, this, &CvnTextArea::cutToLimit);
    cutToLimit();
}

void CvnTextArea::cutToLimit()
{
    if (m_limit < 1)
        return;
    const QString text = toPlainText();
    // Only a text that could be over the limit is counted.
    if (text.size() <= m_limit || GraphemeIndex(text).size() <= m_limit)
        return;
    const int cursor = textCursor().position();
    setPlainText(prefixCharacters(m_limit, text)); // emits textChanged again, then within the limit
    QTextCursor end = textCursor();
    end.setPosition(std::min<int>(cursor, int(toPlainText().size())));
    setTextCursor(end);
}

} // namespace cvn
