#include "ui_kit/CvnContentDialog.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QEvent>
#include <QScrollArea>
#include <QVBoxLayout>

namespace cvn {

namespace {
constexpr int kInnerWidth = CvnContentDialog::kWidth - CvnContentDialog::kPadding.left()
                            - CvnContentDialog::kPadding.right();
} // namespace

CvnContentDialog::CvnContentDialog(const QString& title, QWidget* body, std::function<void()> onSave,
                                   std::function<void()> onCancel, const QString& saveText,
                                   std::optional<QString> cancelText, QWidget* parent)
    : ModalOverlay(parent), m_body(body)
{
    auto* card = new CardSurface(kRadius);
    card->setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(kPadding);
    column->setSpacing(DialogMetrics::kSpacing);

    m_title = new DialogText(title, Theme::interRegular32(), Theme::onCard, card);
    m_title->setObjectName(QStringLiteral("cvn.dialog.title"));
    m_title->setAlignment(Qt::AlignHCenter);
    column->addWidget(m_title);

    m_area = new QScrollArea(card);
    m_area->setObjectName(QStringLiteral("cvn.dialog.bodyArea"));
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setWidgetResizable(true);
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_area->viewport()->setAutoFillBackground(false);
    Theme::keepPalette(m_area, Theme::Surface::Card);
    ScrollBars::styleScrollBars(m_area);
    m_area->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    m_body->setAutoFillBackground(false);
    m_area->setWidget(m_body);
    m_body->installEventFilter(this);
    column->addWidget(m_area);

    QList<CvnButton*> buttons;
    if (cancelText) {
        m_cancel = makeDialogButton(CvnButton::Style::OutlinePill, *cancelText, QStringLiteral("cvn.dialog.cancel"),
                                    onCancel, card);
        buttons.append(m_cancel);
    }
    m_save = makeDialogButton(CvnButton::Style::SelectedPill, saveText, QStringLiteral("cvn.dialog.save"),
                              std::move(onSave), card);
    buttons.append(m_save);
    addButtonRow(column, buttons, kInnerWidth);

    cancelOnDismiss(this, std::move(onCancel));
    measureBody();
    setCard(card);
}

void CvnContentDialog::measureBody()
{
    // Resizing the area lays the body out again, which may post another
    // layout request for it; that one must not measure in turn.
    if (m_measuring)
        return;
    m_measuring = true;
    const int natural = m_body->hasHeightForWidth() ? m_body->heightForWidth(kInnerWidth)
                                                    : m_body->sizeHint().height();
    m_measured = qMax(natural, m_body->minimumHeight());
    fitArea();
    m_measuring = false;
}

void CvnContentDialog::fitArea()
{
    // Everything of the card but the area: padding, title, two gaps, buttons.
    const int chrome = kPadding.top() + kPadding.bottom() + m_title->heightForWidth(kInnerWidth)
                       + 2 * DialogMetrics::kSpacing + m_save->sizeHint().height();
    const int room = qMax(0, height() - 2 * kWindowMargin - chrome);
    const int cap = parentWidget() ? qMin(kMaxBodyHeight, room) : kMaxBodyHeight;
    const int area = qMin(m_measured, cap);
    if (m_area->height() != area || m_area->minimumHeight() != area)
        m_area->setFixedHeight(area);
}

bool CvnContentDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_body && event->type() == QEvent::LayoutRequest)
        measureBody();
    return ModalOverlay::eventFilter(watched, event);
}

void CvnContentDialog::resizeEvent(QResizeEvent* event)
{
    fitArea();
    ModalOverlay::resizeEvent(event);
}

} // namespace cvn
