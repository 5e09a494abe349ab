#pragma once

#include "attachments/AttachmentText.h"

#include <QByteArrayView>
#include <QSize>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// Images larger than this many pixels are refused from their header alone:
// a small compressed file can decode to gigabytes.
inline constexpr int64_t maxImagePixels = 64'000'000;

// Images larger than this are scaled down to it before recognition: the
// recogniser's page layout analysis cannot be interrupted, and on a large
// picture of noise it runs for minutes and takes most of a gigabyte. Larger
// than a page scanned at 400 dpi or a 12-megapixel photograph.
inline constexpr int64_t maxRecognitionPixels = 16'000'000;

// The recognised lines of text in an image file (PNG, JPEG, WebP), joined
// with LF; empty text when the image holds none. The image is turned upright
// by its EXIF orientation first, as the recogniser ignores it. Nothing when
// the file is unreadable, not an image, over maxImagePixels or over the
// attachment size limit, and when `stop` (by default readingDeadline()) says
// so: it is asked before recognition starts and by the recogniser between
// words. Implemented over tesseract (English data) and leptonica;
// synchronous and slow (around a second), safe on any thread.
//
// `recognisedSize`, when given, receives the size of the picture handed to
// the recogniser (empty when none was).
std::optional<QString> recognizeImageText(const QString& path, const ReadingStop& stop = {},
                                          QSize* recognisedSize = nullptr);

// The EXIF orientation (1 to 8) of an image file's bytes: tag 0x0112 of the
// Exif data in a JPEG APP1 segment, a PNG eXIf chunk or a WebP EXIF chunk.
// 1 (upright) when there is none or it is out of range or malformed.
uint32_t imageOrientation(QByteArrayView image);

} // namespace cvn
