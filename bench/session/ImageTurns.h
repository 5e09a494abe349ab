#pragma once

#include <QString>

namespace cvn::bench {

// Two turns of a conversation that opens with an image, on the model beside a
// random projector of LLaVA-1.5's shape (336 px, 576 image positions) written
// for its width: the first turn encodes the image, the second keeps it in
// the context. The second turn's first token is timed kept, and again in full
// (the memory emptied: the image encoded and everything decoded again).
// Prints "image encode seconds: X" and "second turn with an image first token
// kept/full: R"; 0 when it ran, 1 when something failed (said on stderr).
int runImageTurns(const QString& path, long threads, long ctx);

} // namespace cvn::bench
