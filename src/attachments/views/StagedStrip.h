#pragma once

#include "attachments/StagedAttachment.h"
#include "ui_kit/Theme.h"

#include <QAbstractButton>
#include <QHash>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QWidget>

#include <cstdint>
#include <functional>

class QLabel;
class QScrollArea;

namespace cvn {

class AttachmentStager;
class AttachmentTile;

// The reading indicator above the composer: a small spinner and the text in
// the muted colour, centred in the width offered. The spinner only turns
// while the line is shown.
class StatusLine : public QWidget {
    Q_OBJECT
public:
    static constexpr int lineHeight = 16;

    explicit StatusLine(const QString& text, QWidget* parent = nullptr);

    const QString& text() const { return m_text; }
    void setText(const QString& text);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QString m_text;
    int m_textWidth = 0; // measured once per text, not on every frame of the spinner
    QTimer m_spin;
    int m_angle = 0;
};

// "exclamationmark.triangle.fill": a filled triangle with the mark cut out,
// 11 x 10, in one colour; it never takes the pointer.
class WarningTriangle : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize extent{11, 10};

    WarningTriangle(DynamicColor color, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DynamicColor m_color;
};

// The round "Remove" button in a chip's corner: 20 x 20, clickable inside
// the circle only.
class RemoveButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int side = 20;
    static constexpr DynamicColor fill = Theme::dynamicColor(0xFFFFFF, 0x1A1A2E);

    explicit RemoveButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

// One staged file: its tile (thumbnail or type outline, bordered by its
// share of the context), a warning triangle above half the context and the
// remove button overhanging the corner; the tooltip is chipLabel. Takes 82 x
// 84 with its margins.
class StagedChip : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize footprint{82, 84};
    static constexpr int tileTop = 8;

    StagedChip(const StagedAttachment& item, int64_t contextSize, const QImage& thumbnail,
               std::function<void()> onRemove, QWidget* parent = nullptr);

    const StagedAttachment& item() const { return m_item; }
    bool showsWarning() const { return m_warning; }
    AttachmentTile* tile() const { return m_tile; }
    RemoveButton* removeButton() const { return m_remove; }

    QSize sizeHint() const override { return footprint; }

private:
    StagedAttachment m_item;
    bool m_warning;
    AttachmentTile* m_tile;
    RemoveButton* m_remove;
};

// The staged files above the composer, 797 wide: the status line while
// files are read, the token header coloured by the share of the context,
// and the chips in a row that scrolls sideways. Rebuilt from the stager
// whenever its files or status change; it holds nothing of its own but the
// thumbnails, each decoded once per staged file (144 px square, cropped) and
// dropped when the file leaves the stager.
class StagedStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int stripWidth = 797;
    static constexpr int spacing = 8;
    static constexpr int headerInset = 18;
    static constexpr int chipRowHeight = 84;
    static constexpr int thumbnailSide = 144;
    // The most pixels a thumbnail is decoded from, but for JPEG, which
    // decodes at the thumbnail's size: about a tenth of a second's work.
    static constexpr qint64 kMaxDecodedPixels = 24'000'000;

    StagedStrip(AttachmentStager* stager, int64_t contextSize, QWidget* parent = nullptr);

    void setContextSize(int64_t contextSize);
    int64_t contextSize() const { return m_contextSize; }

    // Removes every staged file with the item's id.
    void remove(const StagedAttachment& item);

    // The height the chat view reserves for this stager's strip.
    static int stripHeight(const AttachmentStager& stager);

    StatusLine* statusLine() const { return m_status; }
    QLabel* header() const { return m_header; }
    QList<StagedChip*> chips() const;
    QScrollArea* chipScroller() const { return m_scroll; }
    // How many images were decoded since creation.
    int thumbnailsDecoded() const { return m_decoded; }

    QSize sizeHint() const override;

private:
    void rebuild();
    void recolorHeader();
    QImage thumbnail(const StagedAttachment& item);

    QPointer<AttachmentStager> m_stager;
    int64_t m_contextSize;
    StatusLine* m_status = nullptr;
    QLabel* m_header = nullptr;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_chipRow = nullptr;
    QHash<QUuid, QImage> m_thumbnails;
    int m_decoded = 0;
};

} // namespace cvn
