// cvn-extract FILE...: prints, for each file, what attaching it would send:
// "== NAME (N tokens)" and the extracted text, or a line saying there is
// none. For checking real documents against the readers.
#include "attachments/AttachmentText.h"
#include "attachments/TokenEstimate.h"

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
        const std::optional<QString> text = cvn::extractAttachmentText(path, cvn::hasAttachmentExtension(path, true));
        const int64_t tokens = cvn::estimateAttachmentTokens(path, text.value_or(QString()));
        out << "== " << QFileInfo(path).fileName() << " (" << tokens << " tokens)\n";
        if (text)
            out << *text << (text->endsWith(QLatin1Char('\n')) ? "" : "\n");
        else
            out << "(no text)\n";
    }
    return 0;
}
