#include "chat/shared/EmptyState.h"

#include "ui_kit/Icons.h"
#include "ui_kit/Theme.h"

namespace cvn {

EmptyState::EmptyState(QWidget* parent)
    : QWidget(parent), m_silhouette(new DiroruView(silhouetteSize, Theme::silhouette, 1.0, this))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_silhouette->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_silhouette->setGeometry(silhouetteRect());
}

QRect EmptyState::silhouetteRect() const
{
    // The spacers above and below share what is left over the silhouette and
    // a fixed 90 below it, so the centre sits 45 above the middle at any
    // height, also when too little is left and the silhouette overflows.
    const int centreX = width() / 2;
    const int centreY = height() / 2 - liftAboveMiddle;
    return {centreX - silhouetteSize / 2, centreY - silhouetteSize / 2, silhouetteSize, silhouetteSize};
}

void EmptyState::resizeEvent(QResizeEvent*)
{
    m_silhouette->setGeometry(silhouetteRect());
}

} // namespace cvn
