#include "app/StandInPages.h"

#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Theme.h"

#include <QVBoxLayout>

namespace cvn {

// A stand-in until the debug panel is built: the panel's caption.
QWidget* makeRuntimePanel(LlamaSession&, QWidget* parent)
{
    auto* panel = new DialogText(QStringLiteral("DEBUG · RUNTIME"), Theme::interMedium13(), Theme::ink, parent);
    return panel;
}

} // namespace cvn
