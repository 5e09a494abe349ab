#pragma once

// The card the models screen shows beside a row's info button: the
// model's capacity text, shown on hover or pinned by a click.

#include <QSize>
#include <QString>
#include <QWidget>

namespace cvn {

// The capacity text of one model on a small ink card, measured at once for
// the width it may take.
class InfoCard : public QWidget {
public:
    static constexpr int kPadding = 13;
    static constexpr qreal kRadius = 15;

    InfoCard(QWidget* parent = nullptr);
    void setContent(const QString& text, int textMaxWidth);
    QString text() const { return m_text; }
    int textMaxWidth() const { return m_maxWidth; }
    QSize sizeHint() const override { return m_size; }
    // The text's own width, at most textMaxWidth.
    int textWidth() const { return m_size.width() - 2 * kPadding; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_text;
    int m_maxWidth = 0;
    QSize m_size;
};

} // namespace cvn
