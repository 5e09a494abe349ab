#pragma once

#include "attachments/StagedAttachment.h"
#include "ui_kit/Theme.h"

#include <QString>

#include <cstdint>

// The texts and colours of the attachment views, as pure functions. Numbers
// never depend on the process locale (Qt sets LC_ALL from the environment,
// so printf would write "1,0 MB" under a German locale).
namespace cvn {

// The chip border and triangle colours, the same in both appearances.
inline constexpr DynamicColor chipWarningRed = Theme::dynamicColor(0xEF5350, 0xEF5350);
inline constexpr DynamicColor chipWarningAmber = Theme::dynamicColor(0xFFA726, 0xFFA726);

// "" below 1 byte; "N B" up to 1,024; "N KB" (nearest, halves to even) up to
// 1,048,576; else "N.N MB".
QString sizeLabel(int64_t sizeBytes);
inline QString sizeLabel(const StagedAttachment& item) { return sizeLabel(item.sizeBytes); }

// The chip's tooltip: name, size and tokens, the share of the context
// (truncated) and a warning above half and above nine tenths of it.
QString chipLabel(const StagedAttachment& item, int64_t contextSize);

// The file name's extension in upper case, or "FILE" when it has none.
QString attachmentTypeLabel(const QString& fileName);

// A chip's border: red above 90 % of the context, amber above 50 %, else
// grey; grey without a context.
DynamicColor levelColor(int64_t approxTokens, int64_t contextSize);
// Whether the chip shows the warning triangle (above 50 % of a context).
bool showsWarning(int64_t approxTokens, int64_t contextSize);

// The strip's header: "Attachments: ≈N tokens (P% of context)", P to the
// nearest whole number (halves away from zero), 0 without a context.
QString stripHeaderText(int64_t totalTokens, int64_t contextSize);
// Its colour: red from 90 %, amber from 70 %, else grey; grey without a
// context.
DynamicColor stripHeaderColor(int64_t totalTokens, int64_t contextSize);

// The height the chat view reserves for the strip: 24 for a status line,
// plus 115 when files are staged.
int stripHeight(bool hasStatus, bool hasFiles);

} // namespace cvn
