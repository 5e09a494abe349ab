#include "ui_kit/CouncilIntroDialog.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QVBoxLayout>

namespace cvn {

namespace {

constexpr int kHeadingPixelSize = 12;
constexpr int kExamplePixelSize = 14;
constexpr int kSectionSpacing = 8;
constexpr QMargins kExamplePadding{12, 8, 12, 8};
constexpr qreal kExampleRadius = 15;
constexpr double kExampleFillAlpha = 0.08;
// A lone button: the stretch before it keeps the platform's usual gap.
constexpr int kRowSpacing = 8;

} // namespace

CouncilIntroDialog::CouncilIntroDialog(std::function<void()> onDismiss, QWidget* parent)
    : ModalOverlay(parent)
{
    m_card = new DialogCard;
    QVBoxLayout* column = m_card->content();
    auto* heading = new DialogText(tr("Council Mode"), Theme::interMedium16(), Theme::onCard, m_card);
    heading->setObjectName(QStringLiteral("cvn.dialog.title"));
    column->addWidget(heading);

    struct Section {
        QString heading;
        QString text;
        QString example; // empty: no example box
    };
    const QList<Section> sections = {
        {tr("TYPE @"),
         tr("Type @ in the message to summon a specific AI, followed by the model name you gave it in the "
            "Models tab. Example:"),
         tr("@YourModelName what do you think about this code?")},
        {tr("MULTIPLE MENTIONS"), tr("Add multiple @ mentions for a group discussion:"),
         tr("@FirstModel @SecondModel compare your answers")},
        {tr("HOW IT WORKS"),
         tr("Each mentioned model responds in turn. Because local models load into RAM one at a time, responses "
            "are sequential, not parallel."),
         {}},
    };
    for (const Section& section : sections) {
        auto* stack = new QVBoxLayout;
        stack->setSpacing(kSectionSpacing);
        auto* head = new DialogText(section.heading, Theme::inter(500, kHeadingPixelSize), Theme::onCardSecondary,
                                    m_card);
        head->setObjectName(QStringLiteral("cvn.council.heading"));
        stack->addWidget(head);
        auto* text = new DialogText(section.text, Theme::interRegular16(), Theme::onCard, m_card);
        text->setObjectName(QStringLiteral("cvn.council.text"));
        stack->addWidget(text);
        if (!section.example.isEmpty()) {
            auto* example = new DialogText(section.example, Theme::monospace(kExamplePixelSize), Theme::onCard, m_card);
            example->setObjectName(QStringLiteral("cvn.council.example"));
            example->setBox(Theme::onCard.withAlpha(kExampleFillAlpha), kExampleRadius, kExamplePadding);
            stack->addWidget(example);
        }
        column->addLayout(stack);
    }

    m_understand = makeDialogButton(CvnButton::Style::SelectedPill, tr("UNDERSTAND"),
                                    QStringLiteral("cvn.dialog.confirm"), onDismiss, m_card);
    addButtonRow(column, {m_understand}, DialogCard::kInnerWidth, kRowSpacing);
    cancelOnDismiss(this, std::move(onDismiss));
    setCard(m_card);
}

} // namespace cvn
