#pragma once

#include "ui_kit/Theme.h"

#include <QImage>
#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

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

// A page `width` wide in the appearance's background on which items stand
// one below the other, 16 in from the leading edge, each under its caption.
// An item with an integer property "above" has that much room kept over it
// (for what it shows over itself) and its caption stands over that room.
struct CaptionedPage {
    static constexpr int kMargin = 16;
    static constexpr int kCaption = 22;

    QWidget widget;
    QList<QPair<QString, QWidget*>> items;
    int width;
    // Faint outlines on every item's edges, so paddings can be checked.
    bool outlineItems = false;

    explicit CaptionedPage(int width);

    // Places `item` below `y` (the end of what stands above) and `above`
    // lower still; returns where the next item may start.
    int place(const QString& caption, QWidget* item, int y, int above = 0);
    // Shows the page `height` high and renders it with its captions.
    QImage render(int height);
};

// Runs pending events a few times, so widgets just shown lay themselves out
// and paint before they are rendered.
void settle();

} // namespace cvn::gallery
