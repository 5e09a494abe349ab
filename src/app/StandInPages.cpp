#include "app/StandInPages.h"

#include "chat/EmptyState.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QVBoxLayout>

namespace cvn {

// Stand-ins until the chat view, the models screen and the debug panel are
// built: the empty chat placeholder, a page with only its back control, and
// the panel's caption.

QWidget* makeChatPage(MainView&)
{
    return new EmptyState;
}

QWidget* makeModelsPage(ModelStore&, std::function<void()> onBack)
{
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    auto* back = new PageBackButton(QStringLiteral("Back"), std::move(onBack));
    column->addWidget(back, 0, Qt::AlignLeft | Qt::AlignTop);
    column->addStretch(1);
    return page;
}

QWidget* makeRuntimePanel(LlamaSession&, QWidget* parent)
{
    auto* panel = new DialogText(QStringLiteral("DEBUG · RUNTIME"), Theme::interMedium13(), Theme::ink, parent);
    return panel;
}

} // namespace cvn
