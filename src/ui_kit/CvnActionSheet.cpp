#include "ui_kit/CvnActionSheet.h"

#include "ui_kit/Theme.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QSet>
#include <QVBoxLayout>

namespace cvn {

namespace {

constexpr int kCardWidth = 400;
constexpr qreal kCardRadius = 34;
constexpr QMargins kHeaderPadding{24, 20, 24, 16};
constexpr int kInset = 24;
constexpr int kRowHeight = 48;
constexpr double kDividerAlpha = 0.5;
constexpr double kPressedTint = 0.14;
constexpr double kHoverTint = 0.08;

class SheetHeader : public QWidget {
public:
    SheetHeader(const QString& text, QWidget* parent) : QWidget(parent), m_text(text)
    {
        setObjectName(QStringLiteral("cvn.sheet.header"));
        const int line = QFontMetrics(Theme::interMedium16()).height();
        setFixedHeight(kHeaderPadding.top() + line + kHeaderPadding.bottom());
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setPen(Theme::onCardSecondary());
        Theme::drawElidedLine(p, QRectF(rect()).marginsRemoved(QMarginsF(kHeaderPadding)), Theme::interMedium16(),
                              m_text);
    }

private:
    QString m_text;
};

class SheetDivider : public QWidget {
public:
    explicit SheetDivider(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("cvn.divider"));
        setFixedHeight(1);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::onCard.withAlpha(kDividerAlpha)());
        p.drawRoundedRect(QRectF(rect()).adjusted(kInset, 0, -kInset, 0), 0.5, 0.5);
    }
};

// Keeps its own pressed flag: QAbstractButton drops isDown() when the pointer
// leaves, but the tint here stays until the button is released.
class ActionSheetRow : public QWidget {
public:
    ActionSheetRow(const CvnActionSheet::Item& item, std::function<void()> action, QWidget* parent)
        : QWidget(parent), m_item(item), m_action(std::move(action))
    {
        setObjectName(QStringLiteral("cvn.row.") + item.id);
        setFixedHeight(kRowHeight);
        setAttribute(Qt::WA_Hover);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (m_pressed || m_hovering)
            Theme::fillWithinCard(p, this, parentWidget(), kCardRadius,
                                  Theme::onCard.withAlpha(m_pressed ? kPressedTint : kHoverTint)());
        p.setPen(m_item.destructive ? Theme::onCardDanger() : Theme::onCard());
        Theme::drawElidedLine(p, QRectF(rect()).adjusted(kInset, 0, -kInset, 0), Theme::interMedium16(),
                              m_item.label);
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton) {
            m_pressed = true;
            update();
        }
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        event->accept();
        if (event->button() != Qt::LeftButton || !m_pressed)
            return;
        m_pressed = false;
        update();
        if (rect().contains(event->position().toPoint()))
            m_action();
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override { mousePressEvent(event); }
    void enterEvent(QEnterEvent*) override
    {
        m_hovering = true;
        update();
    }
    void leaveEvent(QEvent*) override
    {
        m_hovering = false;
        update();
    }

private:
    CvnActionSheet::Item m_item;
    std::function<void()> m_action;
    bool m_hovering = false;
    bool m_pressed = false;
};

} // namespace

CvnActionSheet::CvnActionSheet(const QString& header, const QList<Item>& items, OnChoose onChoose, QWidget* parent)
    : ModalOverlay(parent), m_header(header), m_items(items), m_onChoose(std::move(onChoose))
{
#ifndef QT_NO_DEBUG
    QSet<QString> ids;
    for (const Item& item : items)
        ids.insert(item.id);
    Q_ASSERT_X(ids.size() == items.size(), "CvnActionSheet", "item ids must be unique");
#endif
    auto* card = new CardSurface(kCardRadius);
    card->setFixedWidth(kCardWidth);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(new SheetHeader(header, card));
    for (const Item& item : items) {
        layout->addWidget(new SheetDivider(card));
        const QString id = item.id;
        layout->addWidget(new ActionSheetRow(item, [this, id] { if (m_onChoose) m_onChoose(id); }, card));
    }
    setCard(card);
    connect(this, &ModalOverlay::dismissed, this, [this] {
        if (m_onChoose)
            m_onChoose(std::nullopt);
    });
}

} // namespace cvn
