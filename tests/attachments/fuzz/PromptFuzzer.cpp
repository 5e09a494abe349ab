// libFuzzer target: compose and parse stay each other's inverse, parse never
// fails on any text, and the EXIF reader stays in bounds with a result of 1
// to 8.
#include "attachments/ImageText.h"
#include "attachments/SentAttachments.h"

#include <QStringList>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (data[0] % 3 == 0) {
        const uint32_t orientation = cvn::imageOrientation(rest);
        if (orientation < 1 || orientation > 8)
            std::abort();
        return 0;
    }
    const QString input = QString::fromUtf8(rest);
    if (data[0] % 3 == 1) {
        (void)cvn::SentAttachments::parse(input);
        return 0;
    }

    // Fields separated by U+0001: body, then name and text pairs.
    const QStringList fields = input.split(QChar(1));
    const QString body = fields[0];
    const QString endLine = QStringLiteral("\n[End file]\n\n");
    QList<cvn::StagedAttachment> staged;
    QStringList expected;
    for (qsizetype i = 1; i + 1 < fields.size() && staged.size() < 5; i += 2) {
        cvn::StagedAttachment file;
        file.originalFilename = fields[i];
        file.extractedText = fields[i + 1];
        if (file.originalFilename.contains(QLatin1Char('\n')) || file.originalFilename.contains(QLatin1Char('\r'))
            || (file.extractedText + endLine).indexOf(endLine) != file.extractedText.size())
            return 0;
        if (!file.extractedText.isEmpty())
            expected << file.originalFilename;
        staged << file;
    }
    if (body.startsWith(QStringLiteral("[Attached file: ")))
        return 0;
    const std::optional<QString> prompt = cvn::composePrompt(staged, body, 1 << 20, [](const QString&, cvn::ToastKind) {});
    if (!prompt)
        return 0;
    const cvn::SentAttachments::Parsed parsed = cvn::SentAttachments::parse(*prompt);
    QStringList names;
    for (const auto& f : parsed.files)
        names << f.name;
    const QString expectedBody = staged.isEmpty() || !body.isEmpty() ? body : QStringLiteral("Please analyze the attached files.");
    if (names != expected || parsed.text != expectedBody)
        std::abort();
    return 0;
}
