#pragma once

#include "models/HardwareInfo.h"

#include <QList>
#include <QTextLayout>
#include <QWidget>

#include <memory>
#include <vector>

namespace cvn {

// The hardware summary of one RigInfo as wrapped lines on an ink card, each
// run coloured by its tone (untoned runs in paper). Compact: Inter-Medium 13,
// 10 between lines, 12 extra above a fourth line; else Inter-Medium 16, 12
// between, 15 extra above a fourth, and 3.4 between wrapped lines. The last
// line keeps `lastLineBottomPadding` below it. Its height follows its width.
// Main thread only.
class RigCardLines : public QWidget {
public:
    RigCardLines(const RigInfo& rig, bool compact, qreal lastLineBottomPadding, QWidget* parent = nullptr);

    const RigInfo& rig() const { return m_rig; }
    void setRig(const RigInfo& rig);
    bool compact() const { return m_compact; }

    // The text of one line and one colour range per toned run, coloured for
    // the appearance in force.
    struct LineText {
        QString text;
        QList<QTextLayout::FormatRange> formats;
    };
    static LineText lineText(const HardwareInfo::Line& line);

    // Where each summary line's block stands at `width`: its top and height.
    QList<QRectF> lineRects(int width) const;
    int lineCount() const { return int(m_lines.size()); }
    QString plainLine(int i) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Block {
        std::unique_ptr<QTextLayout> layout;
        qreal top = 0;
        qreal height = 0;
    };
    // Lays every line out for `width` (kept until the width or rig changes);
    // returns the total height.
    qreal layOut(qreal width) const;

    RigInfo m_rig;
    bool m_compact;
    qreal m_bottomPadding;
    QList<HardwareInfo::Line> m_lines;
    mutable std::vector<Block> m_blocks;
    mutable qreal m_laidWidth = -1;
    mutable qreal m_laidHeight = 0;
};

} // namespace cvn
