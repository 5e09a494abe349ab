#pragma once

#include "ui_kit/Theme.h"

#include <QImage>
#include <QList>
#include <QString>

namespace cvn::gallery {

// One picture of one control: every state side by side, captioned.
struct Sheet {
    QString name;  // file stem, e.g. "selected-pill"
    QImage image;
};

// Renders every control of the kit in each of its states in `appearance`.
// Switches the theme to `appearance` and leaves it there. Needs a QApplication.
QList<Sheet> renderSheets(Appearance appearance);

// Writes "<name>-light.png" and "<name>-dark.png" for every sheet into
// `folder` (created when missing). Returns the files written; throws
// std::runtime_error with a readable message when a file cannot be written.
QStringList writeGallery(const QString& folder);

// Runs pending events a few times, so widgets just shown lay themselves out
// and paint before they are rendered.
void settle();

} // namespace cvn::gallery
