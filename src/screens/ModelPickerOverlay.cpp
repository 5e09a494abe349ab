#include "screens/ModelPickerOverlay.h"

#include "chat/shared/LayoutProbe.h"
#include "models/ProjectorPairing.h"
#include "screens/ModelRow.h"
#include "platform/Unicode.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/ScrollBars.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

constexpr QMargins kPadding{33, 26, 33, 33};
// The list reaches this far into the card's trailing padding, so its scroll
// bar runs beside the pills rather than over their outlines.
constexpr int kBarRoom = ScrollBars::thickness;
constexpr int kTitleGap = 14;
constexpr int kListMaxHeight = 320;
constexpr int kColumnGap = 37;
constexpr int kRowGap = 17;
constexpr int kEmptyPadding = 4;
// The "sees images" tag inside a pill: as high as a compact pill less its
// breathing room, the name's padding the kit's.
constexpr qreal kTagHeight = 22;
constexpr qreal kTagPadding = 8;
constexpr qreal kTagInset = 8;
constexpr qreal kTagGap = 8;
constexpr qreal kNamePadding = 16;

// The empty right cell of the last row of an odd count: it takes half the
// row's width and no height, so the lone pill stays a half row wide.
QWidget* filler()
{
    auto* cell = new QWidget;
    cell->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    cell->setMaximumHeight(0);
    return cell;
}

} // namespace

QList<ModelPickerOverlay::GridRow> ModelPickerOverlay::gridRows(int n)
{
    QList<GridRow> grid;
    const int rows = (n + 1) / 2;
    for (int r = 0; r < rows; ++r)
        grid.append({r, r + rows < n ? std::optional<int>(r + rows) : std::nullopt});
    return grid;
}

ModelPickerPill::ModelPickerPill(bool current, const QString& name, bool seesImages, QWidget* parent)
    : CvnButton(current ? Style::SelectedPill : Style::OutlinePill, name, parent)
    , m_seesImages(seesImages)
{
}

QRectF ModelPickerPill::tagRect() const
{
    if (!m_seesImages)
        return {};
    const qreal width = std::ceil(QFontMetricsF(Theme::interMedium13()).horizontalAdvance(ModelRow::tagText)) + 2 * kTagPadding;
    return QRectF(this->width() - kTagInset - width, (height() - kTagHeight) / 2.0, width, kTagHeight);
}

void ModelPickerPill::paintEvent(QPaintEvent* event)
{
    if (!m_seesImages) {
        CvnButton::paintEvent(event);
        return;
    }
    // The kit's pill, with the name kept clear of the tag.
    const bool selected = style() == Style::SelectedPill;
    const QColor label = selected ? Theme::card() : Theme::onCard();
    const qreal opacity = isDown() ? (selected ? 0.85 : 0.8) : 1.0;
    QPainter painter(this);
    Theme::paintLayer(painter, size(), opacity, [&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds(rect());
        const qreal r = std::min(width(), height()) / 2.0;
        if (selected) {
            p.setPen(Qt::NoPen);
            p.setBrush(Theme::onCard());
            p.drawRoundedRect(bounds, r, r);
        } else {
            Theme::strokeInside(p, bounds, r, label);
        }
        const QRectF tag = tagRect();
        QColor faded = label;
        faded.setAlphaF(0.7);
        ModelRow::paintTag(p, tag, Theme::interMedium13(), faded);
        p.setPen(label);
        const QRectF name(kNamePadding, 0, std::max<qreal>(0, tag.left() - kTagGap - kNamePadding), height());
        Theme::drawElidedLine(p, name, Theme::interMedium16(), text(), Qt::AlignCenter);
    });
}

ModelPickerOverlay::ModelPickerOverlay(const QList<ModelInfo>& models, const QList<ModelInfo>& all,
                                       std::optional<QUuid> currentModelId,
                                       qreal leadingInset, std::function<void(const QUuid&)> onPick,
                                       std::function<void()> onDismiss, QWidget* parent)
    : BottomCardOverlay(parent, leadingInset)
{
    auto* card = new CardSurface(kRadius);
    card->setFixedSize(kWidth, kHeight);
    auto* stack = new QVBoxLayout(card);
    stack->setContentsMargins(kPadding - QMargins(0, 0, kBarRoom, 0));
    stack->setSpacing(0);
    auto* title = new DialogText(QStringLiteral("SELECT MODEL"), Theme::interRegular40(), Theme::paper);
    stack->addWidget(title);
    stack->addSpacing(kTitleGap);

    m_list = new QScrollArea;
    m_list->setObjectName(QStringLiteral("cvn.picker.list"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_list->setWidgetResizable(true);
    m_list->setMaximumHeight(kListMaxHeight);
    m_list->viewport()->setAutoFillBackground(false);
    auto* grid = new QWidget;
    auto* rows = new QVBoxLayout(grid);
    rows->setContentsMargins(0, 0, kBarRoom, 0);
    rows->setSpacing(kRowGap);
    if (models.isEmpty()) {
        auto* empty = new DialogText(QStringLiteral("No models installed"), Theme::interMedium16(), Theme::paper);
        empty->setObjectName(QStringLiteral("cvn.picker.empty"));
        rows->addSpacing(kEmptyPadding);
        rows->addWidget(empty);
    }
    for (const ModelInfo& model : models) {
        const bool current = currentModelId && *currentModelId == model.id;
        CvnButton* pill = new ModelPickerPill(current, model.displayName,
                                              ProjectorPairing::projectorFor(model, all).has_value());
        pill->setAccessibleName(model.displayName);
        if (current) {
            const GraphemeIndex graphemes(model.displayName);
            new LayoutProbe(pill, QStringLiteral("picker pill (current)"),
                            QStringLiteral("%1 chars").arg(graphemes.size()));
        }
        const QUuid id = model.id;
        connect(pill, &QAbstractButton::clicked, this, [onPick, id] {
            if (onPick)
                onPick(id);
        });
        m_pills.append(pill);
    }
    for (const auto& [left, right] : gridRows(int(models.size()))) {
        auto* row = new QHBoxLayout;
        row->setSpacing(kColumnGap);
        row->addWidget(m_pills[left], 1);
        row->addWidget(right ? m_pills[*right] : filler(), 1);
        rows->addLayout(row);
    }
    if (models.isEmpty())
        rows->addSpacing(kEmptyPadding);
    rows->addStretch(1);
    m_list->setWidget(grid);
    grid->setAutoFillBackground(false);
    ScrollBars::styleScrollBars(m_list);
    stack->addWidget(m_list, 1);

    connect(this, &ModalOverlay::dismissed, this, [onDismiss] {
        if (onDismiss)
            onDismiss();
    });
    setBottomCard(card);
}

} // namespace cvn
