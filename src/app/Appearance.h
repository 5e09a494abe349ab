#pragma once

// The stored appearance choice and its application to the whole interface.
// Main thread only.

#include "ui_kit/Theme.h"

namespace cvn {

// "appearance.mode" exactly "light" or "dark"; anything else, "Dark"
// included, follows the system.
AppearanceMode storedAppearanceMode();

// Puts the stored choice in force: the kit's colours, the application's
// palette for standard widgets, and a repaint of every widget.
void applyAppearanceSetting();

// Applies the stored choice now and again after every write of
// "appearance.mode", for the life of the process.
void followAppearanceSetting();

} // namespace cvn
