#pragma once

#include <QString>
#include <QWidget>

namespace cvn {

class WarningTriangle;

// A standing notice above the composer, drawn as the reading status line is
// (one line of Inter Medium 13 centred in the width offered, a 16-wide mark
// before it) but in the caution amber, with the warning triangle as its mark:
// something the user should know that no button can settle.
class NoticeLine : public QWidget {
    Q_OBJECT
public:
    static constexpr int lineHeight = 16;
    static constexpr int markFrame = 16;
    static constexpr int markGap = 10;

    explicit NoticeLine(const QString& text, QWidget* parent = nullptr);

    const QString& text() const { return m_text; }
    void setText(const QString& text);
    WarningTriangle* mark() const { return m_mark; }
    // Where the text is drawn, in the line's coordinates.
    QRect textRect() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_text;
    int m_textWidth = 0;
    WarningTriangle* m_mark = nullptr;
};

} // namespace cvn
