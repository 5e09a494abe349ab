// cvn-extract FILE...: prints, for each file, what attaching it would send:
// "== NAME (N tokens)" and the extracted text, or a line saying there is
// none. For checking real documents against the readers.
#include "attachments/AttachmentText.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList paths = app.arguments().mid(1);
    if (paths.isEmpty()) {
        QTextStream(stderr) << "usage: cvn-extract FILE...\n";
        return 2;
    }
    for (const QString& path : paths) {
        const cvn::AttachmentReading reading = cvn::readAttachment(path, cvn::hasAttachmentExtension(path, true));
        out << "== " << QFileInfo(path).fileName() << " (" << reading.approxTokens << " tokens)\n";
        if (const std::optional<QString>& text = reading.text)
            out << *text << (text->endsWith(QLatin1Char('\n')) ? "" : "\n");
        else
            out << "(no text)\n";
    }
    return 0;
}
