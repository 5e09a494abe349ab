#pragma once

#include <QPlainTextEdit>

namespace cvn {

// The kit's multi-line text field: no frame of its own (it sits in an
// outline its host draws), the card's palette and font, the kit's scroll
// bars, line breaks kept, Tab moving the focus on. A placeholder shows while
// it is empty. With a limit of 1 or more, an edit or paste that makes the
// text longer than `limit` user-perceived characters is cut back to its
// first `limit` at once; an emoji or a letter with its marks is never split.
// Main thread only.
class CvnTextArea : public QPlainTextEdit {
    Q_OBJECT
public:
    CvnTextArea(const QString& text, const QString& placeholder, int limit, QWidget* parent = nullptr);

    int limit() const { return m_limit; }

private:
    void cutToLimit();

    int m_limit;
};

} // namespace cvn
