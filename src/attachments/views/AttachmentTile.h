#pragma once

#include "attachments/SentAttachments.h"
#include "ui_kit/Theme.h"

#include <QImage>
#include <QList>
#include <QWidget>

class QScrollArea;

namespace cvn {

// One 72 x 72 file tile: a square thumbnail with rounded
// corners, or a rounded outline with the file type in its corner. The
// caller decodes the thumbnail (see StagedStrip); a null image draws the
// outline. Main thread only.
class AttachmentTile : public QWidget {
    Q_OBJECT
public:
    static constexpr int side = 72;

    AttachmentTile(const QImage& thumbnail, const QString& typeLabel, DynamicColor border, bool opaque,
                   QWidget* parent = nullptr);

    bool showsImage() const { return !m_thumbnail.isNull(); }
    const QString& typeLabel() const { return m_typeLabel; }
    DynamicColor border() const { return m_border; }

    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_thumbnail;
    QString m_typeLabel;
    DynamicColor m_border;
    bool m_opaque;
};

// The file tiles under a sent user message, names only: up to six fit in a
// row of at most 523 pixels; more scroll sideways in a 523-wide frame. Each
// tile's tooltip is its file name; duplicate names are separate tiles.
class SentAttachmentRow : public QWidget {
    Q_OBJECT
public:
    static constexpr int spacing = 10;
    static constexpr int maxWidth = 523;
    static constexpr int bottomMargin = 6;

    explicit SentAttachmentRow(const QList<SentAttachments::File>& files, QWidget* parent = nullptr);

    // The width of the tiles side by side.
    int contentWidth() const;
    // The scroller, present only when the tiles are wider than maxWidth.
    QScrollArea* scrollArea() const { return m_scroll; }
    QList<AttachmentTile*> tiles() const { return m_tiles; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

private:
    QList<AttachmentTile*> m_tiles;
    QScrollArea* m_scroll = nullptr;
};

} // namespace cvn
