#include "screens/ModelRow.h"

#include "models/ModelStore.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/Icons.h"
#include "ui_kit/Theme.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

constexpr int kTextLineSpacing = 5;
constexpr qreal kTagHeight = 17;
constexpr qreal kTagPadding = 6;
constexpr qreal kTagGap = 8;

const QFont& tagFont()
{
    static const QFont font = Theme::inter(500, 10);
    return font;
}

} // namespace

ModelRow::ModelRow(const ModelInfo& model, bool showDivider, bool seesImages, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_showDivider(showDivider)
    , m_seesImages(seesImages && !model.isVisionProjector())
{
    setObjectName(QStringLiteral("cvn.models.row"));
    setFixedHeight(kHeight);
    setMouseTracking(true);
    Theme::repaintOnAppearanceChange(this);

    m_info = new CvnCompactIconButton(new InfoIcon, this);
    m_info->setObjectName(QStringLiteral("cvn.models.info"));
    m_info->setAccessibleName(QStringLiteral("Context details"));
    m_info->setMouseTracking(true);
    m_info->installEventFilter(this);
    m_more = new CvnCompactIconButton(new MoreHorizontalIcon, this);
    m_more->setObjectName(QStringLiteral("cvn.models.more"));
    m_more->setAccessibleName(QStringLiteral("More actions"));

    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(kPadding, 0, kPadding, 0);
    line->setSpacing(kSpacing);
    line->addStretch(1); // the text is painted into the room left of the buttons
    line->addWidget(m_info, 0, Qt::AlignVCenter);
    line->addWidget(m_more, 0, Qt::AlignVCenter);
    connect(m_info, &QAbstractButton::clicked, this, &ModelRow::infoClicked);
    connect(m_more, &QAbstractButton::clicked, this, &ModelRow::moreClicked);
}

QString ModelRow::adapterLine(const QStringList& users)
{
    if (users.isEmpty())
        return QStringLiteral("Vision adapter, not a model · not selectable · delete it from ⋯ if you like");
    // Short enough for the row: a long model name is what gets elided.
    if (users.size() == 1)
        return QStringLiteral("Vision adapter in use · %1").arg(users.first());
    return QStringLiteral("Vision adapter in use · %1 models").arg(users.size());
}

QString ModelRow::secondLine() const
{
    return m_model.isVisionProjector() ? adapterLine(m_adapterUsers) : subtitle(m_model);
}

qreal ModelRow::nameOpacity() const
{
    return m_model.isVisionProjector() ? 0.5 : 1.0;
}

QRectF ModelRow::dividerRect() const
{
    if (!m_showDivider)
        return {};
    return QRectF(kPadding, height() - 2, width() - 2 * kPadding, 2);
}

QRectF ModelRow::textRect() const
{
    const qreal right = m_info->geometry().left() - kSpacing;
    return QRectF(kPadding, 0, std::max<qreal>(0, right - kPadding), height());
}

void ModelRow::paintTag(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color)
{
    Theme::strokeInside(painter, rect, rect.height() / 2, color);
    painter.setPen(color);
    Theme::drawElidedLine(painter, rect, font, tagText, Qt::AlignCenter);
}

QRectF ModelRow::tagRect() const
{
    if (!m_seesImages)
        return {};
    const QFont& font = Theme::interMedium13();
    const qreal line = QFontMetricsF(font).height();
    const QRectF text = textRect();
    const qreal top = (height() - (2 * line + kTextLineSpacing)) / 2;
    const qreal width = std::ceil(QFontMetricsF(tagFont()).horizontalAdvance(tagText)) + 2 * kTagPadding;
    // Right after the name, or at the end of the room when the name fills it.
    const qreal name = std::ceil(QFontMetricsF(font).horizontalAdvance(m_model.displayName));
    const qreal left = std::max(text.left(), std::min(text.left() + name + kTagGap, text.right() - width));
    return QRectF(left, top + (line - kTagHeight) / 2, width, kTagHeight);
}

void ModelRow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont& font = Theme::interMedium13();
    const qreal line = QFontMetricsF(font).height();
    const QRectF text = textRect();
    const qreal top = (height() - (2 * line + kTextLineSpacing)) / 2;
    const QColor paper = Theme::paper();

    QColor name = paper;
    name.setAlphaF(nameOpacity());
    p.setPen(name);
    const QRectF tag = tagRect();
    const qreal nameWidth = tag.isEmpty() ? text.width() : std::max<qreal>(0, tag.left() - kTagGap - text.left());
    Theme::drawElidedLine(p, QRectF(text.left(), top, nameWidth, line), font, m_model.displayName);
    if (!tag.isEmpty()) {
        QColor faded = paper;
        faded.setAlphaF(0.7);
        paintTag(p, tag, tagFont(), faded);
    }
    QColor second = paper;
    second.setAlphaF(0.5);
    p.setPen(second);
    Theme::drawElidedLine(p, QRectF(text.left(), top + line + kTextLineSpacing, text.width(), line), font,
                          secondLine());

    if (m_showDivider) {
        p.setPen(Qt::NoPen);
        p.setBrush(second);
        p.drawRoundedRect(dividerRect(), 1, 1);
    }
}

void ModelRow::setInfoHover(bool hovering)
{
    if (hovering == m_infoHover)
        return;
    m_infoHover = hovering;
    emit infoHovered(hovering);
}

void ModelRow::mouseMoveEvent(QMouseEvent* event)
{
    // The button passes its own moves on to the row, so ask where the pointer is.
    setInfoHover(m_info->geometry().contains(event->position().toPoint()));
    QWidget::mouseMoveEvent(event);
}

void ModelRow::leaveEvent(QEvent* event)
{
    setInfoHover(false);
    QWidget::leaveEvent(event);
}

bool ModelRow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_info) {
        switch (event->type()) {
        case QEvent::Enter:
        case QEvent::MouseMove:
            setInfoHover(true);
            break;
        case QEvent::Leave:
        case QEvent::Hide:
            setInfoHover(false);
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace cvn
