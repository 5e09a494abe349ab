#pragma once

class QAbstractScrollArea;

namespace cvn {

// The kit's one scroll bar: a thin rounded handle in Theme::muted over a clear
// track, with no arrow buttons and no groove. The bars lie over the edge of
// the content instead of narrowing the viewport, so content keeps its full
// width (or height) whether or not it scrolls. Every scrolling view of the
// interface calls styleScrollBars on its area; the area's bar policies stay
// its own. Main thread only.
namespace ScrollBars {

inline constexpr int thickness = 10;     // the strip the bar covers over the content
inline constexpr int handleInset = 2;    // clear space around the handle on every side
inline constexpr int minimumHandle = 24; // the shortest handle, however long the content

// Gives both bars of `area` the kit's look and lays them over the viewport.
// `endInset` keeps the handle that far from both ends of its track, for an
// area that fills a card with rounded corners (pass the corner radius).
// Safe to call before or after the area is shown; call it once per area.
void styleScrollBars(QAbstractScrollArea* area, int endInset = 0);

} // namespace ScrollBars
} // namespace cvn
