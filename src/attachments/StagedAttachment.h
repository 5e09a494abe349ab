#pragma once

#include <QString>
#include <QUrl>
#include <QUuid>

#include <cstdint>

namespace cvn {

// One file staged for the next message.
struct StagedAttachment {
    QUuid id; // new for every staging, so the same file staged twice is two entries
    QUrl url; // the file as chosen
    QString originalFilename; // the URL's last path component, as shown and sent
    bool isImage = false; // its extension is in the image list
    int64_t sizeBytes = 0; // size when staged; 0 when it could not be read
    QString extractedText; // empty until read, and when the file gave no text
    bool extracted = false; // the reading has finished, with or without text
    int64_t approxTokens = 0; // 0 until read, then the token estimate

    friend bool operator==(const StagedAttachment&, const StagedAttachment&) = default;
};

} // namespace cvn
