#pragma once

#include "models/ModelInfo.h"
#include "screens/BottomCardOverlay.h"
#include "ui_kit/CvnButton.h"

#include <QList>
#include <QUuid>

#include <functional>
#include <optional>
#include <utility>

class QScrollArea;

namespace cvn {

class CvnButton;

// A model's pill in the picker, drawn as the kit's selected or outline pill;
// a model that sees images carries a small outlined "IMAGES" tag at its
// trailing end, its name centred in the room left of it.
class ModelPickerPill : public CvnButton {
    Q_OBJECT
public:
    ModelPickerPill(bool current, const QString& name, bool seesImages, QWidget* parent = nullptr);
    bool seesImages() const { return m_seesImages; }
    // The tag's rectangle; empty without one.
    QRectF tagRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_seesImages;
};

// The overlay in which the user picks the current model: a 667×340 card
// titled "SELECT MODEL" over the dimmed window, listing the models as pills
// in two columns filled column by column, the current model's pill filled
// and the others outlined, a model that sees images tagged so. A pill reports its model through onPick (also the
// current one); the backdrop and Escape report onDismiss. It owns only its
// widgets and never closes itself; the main view removes it.
// Main thread only.
class ModelPickerOverlay : public BottomCardOverlay {
    Q_OBJECT
public:
    static constexpr int kHeight = 340;
    static constexpr int kPillWidth = 282;

    // Row r of a grid of n items: the item in the left cell and, unless the
    // row is the last of an odd count, the one in the right cell. Rows are
    // (n + 1) / 2 and row r holds (r, r + rows).
    using GridRow = std::pair<int, std::optional<int>>;
    static QList<GridRow> gridRows(int n);

    // `all`: the models folder's records, among which each model's projector
    // is found (a model with one says that it sees images).
    ModelPickerOverlay(const QList<ModelInfo>& models, const QList<ModelInfo>& all,
                       std::optional<QUuid> currentModelId, qreal leadingInset,
                       std::function<void(const QUuid&)> onPick, std::function<void()> onDismiss, QWidget* parent);

    // The pills in model order.
    const QList<CvnButton*>& pills() const { return m_pills; }
    QScrollArea* list() const { return m_list; }

private:
    QList<CvnButton*> m_pills;
    QScrollArea* m_list;
};

} // namespace cvn
