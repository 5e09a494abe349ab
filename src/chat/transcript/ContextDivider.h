#pragma once

// The thin line in the transcript above the first message that the last
// reply's model still saw: a hairline on either side of one centred line of
// small grey text. It owns nothing and takes no input; the transcript column
// places it and says when it shows. Main thread only.

#include <QString>
#include <QWidget>

namespace cvn {

class ContextDivider : public QWidget {
    Q_OBJECT
public:
    static constexpr int rowHeight = 40;
    static constexpr int lineGap = 12; // between a hairline and the text

    static const QString& text();

    explicit ContextDivider(QWidget* parent = nullptr);

    // Where the text is drawn, in the divider's coordinates.
    QRect textRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_textWidth = 0;
};

} // namespace cvn
