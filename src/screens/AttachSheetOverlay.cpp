#include "screens/AttachSheetOverlay.h"

#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnButton.h"

#include <QVBoxLayout>

namespace cvn {

namespace {
constexpr QMargins kPadding{33, 26, 33, 33};
constexpr int kSpacing = 17;
} // namespace

AttachSheetOverlay::AttachSheetOverlay(std::function<void(bool)> onChoose, std::function<void()> onDismiss,
                                       QWidget* parent)
    : BottomCardOverlay(parent)
{
    auto* card = new CardSurface(kRadius);
    card->setFixedWidth(kWidth);
    auto* stack = new QVBoxLayout(card);
    stack->setContentsMargins(kPadding);
    stack->setSpacing(kSpacing);
    auto* caption = new OneLineText(QStringLiteral("ATTACH"), Theme::interMedium16(), Theme::mutedOnInk);
    caption->setObjectName(QStringLiteral("cvn.attach.caption"));
    stack->addWidget(caption);
    m_file = new CvnSelectedPillButton(QStringLiteral("ATTACH FILE"));
    m_image = new CvnSelectedPillButton(QStringLiteral("IMAGE"));
    for (CvnButton* button : {m_file, m_image}) {
        button->setFixedWidth(kButtonWidth);
        stack->addWidget(button, 0, Qt::AlignLeft);
    }
    connect(m_file, &QAbstractButton::clicked, this, [onChoose] {
        if (onChoose)
            onChoose(true);
    });
    connect(m_image, &QAbstractButton::clicked, this, [onChoose] {
        if (onChoose)
            onChoose(false);
    });
    connect(this, &ModalOverlay::dismissed, this, [onDismiss] {
        if (onDismiss)
            onDismiss();
    });
    card->setFixedHeight(stack->sizeHint().height());
    setBottomCard(card);
}

} // namespace cvn
