#pragma once

#include "Gallery.h"

#include "chat/shared/DebugPanelModel.h"

namespace cvn::gallery {

// The runtime debug panel (a fresh start, a busy runtime, a narrow card) and
// the scroll-to-newest button (actual size, enlarged, over a paused
// transcript). Needs a QApplication.
QList<Sheet> debugSheets();

// The readings of a busy runtime (a failed load, two replies streaming,
// probes), fixed so that a sheet showing the panel is the same on every run.
DebugPanelModel::Inputs busyRuntimeInputs();

} // namespace cvn::gallery
