#pragma once

#include <QString>

namespace cvn::bench {

// Two turns of a conversation that opens with an image, on the model beside a
// random projector of LLaVA-1.5's shape (336 px, 576 image positions) written
// for its width: the first turn encodes the image, the second keeps it in
// the context. The second turn's first token is timed kept, and again in full
// (the memory emptied: the image encoded and everything decoded again).
// Prints "image encode seconds: X" and "second turn with an image first token
// kept/full: R", and how long a run takes to end once stopped half a second
// into its encode; 0 when it ran, 1 when something failed (said on stderr).
int runImageTurns(const QString& path, long threads, long ctx);

// Prompts of many images through a random projector of 16 positions an
// image. Prints "peak memory with N images/with 1: R" (the process's VmHWM,
// reset before each, after a prompt of N distinct 2048 x 2048 images against
// one of a single image) and "follow-up with N images/with none first token:
// F" (a follow-up's first token in a chat of N distinct 1600 x 1200 photos,
// restored from the kept state, against the same chat with a line of text in
// place of each); 0 when it ran, 1 when something failed (said on stderr).
int runManyImages(const QString& path, long threads, long ctx, long count);

} // namespace cvn::bench
