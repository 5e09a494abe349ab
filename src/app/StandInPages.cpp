#include "app/StandInPages.h"

#include "app/AppController.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QVBoxLayout>

namespace cvn {

// Stand-ins until the chat view and the debug panel are built: the empty
// chat placeholder with its toasts, and the panel's caption.

QWidget* makeChatPage(MainView&)
{
    return makeChatPlaceholder();
}

QWidget* makeRuntimePanel(LlamaSession&, QWidget* parent)
{
    auto* panel = new DialogText(QStringLiteral("DEBUG · RUNTIME"), Theme::interMedium13(), Theme::ink, parent);
    return panel;
}

} // namespace cvn
