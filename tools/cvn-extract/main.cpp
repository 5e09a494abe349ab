// cvn-extract FILE...: prints, for each file, what attaching it would send:
// "== NAME (N tokens)" and the extracted text, or "(no text)" when a readable
// file gives none. For checking real documents against the readers.
//
// A file that is missing, unreadable or not a regular file is reported on
// stderr instead, and the exit status is then 1; 2 for a usage error.
#include "attachments/AttachmentText.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

namespace {

const char* const kUsage = "usage: cvn-extract FILE...\n";

// Why `path` cannot be attached at all; nothing when it can be read.
std::optional<QString> unreadable(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no such file");
    if (info.isDir())
        return QStringLiteral("is a folder, not a file");
    cvn::RegularFile file;
    if (!file.open(path))
        return info.isFile() ? QStringLiteral("cannot be read") : QStringLiteral("not a regular file");
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList paths;
    bool options = true;
    for (const QString& arg : app.arguments().mid(1)) {
        if (options && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            out << kUsage;
            return 0;
        }
        if (options && arg == QLatin1String("--"))
            options = false;
        else if (options && arg.size() > 1 && arg.startsWith(u'-')) {
            err << "cvn-extract: unknown option " << arg << " (see --help)\n";
            return 2;
        } else
            paths << arg;
    }
    if (paths.isEmpty()) {
        err << kUsage;
        return 2;
    }
    int status = 0;
    for (const QString& path : paths) {
        if (const std::optional<QString> why = unreadable(path)) {
            out.flush();
            err << "cvn-extract: " << path << ": " << *why << '\n';
            err.flush();
            status = 1;
            continue;
        }
        const cvn::AttachmentReading reading = cvn::readAttachment(path, cvn::hasAttachmentExtension(path, true));
        out << "== " << QFileInfo(path).fileName() << " (" << reading.approxTokens << " tokens)\n";
        if (const std::optional<QString>& text = reading.text)
            out << *text << (text->endsWith(QLatin1Char('\n')) ? "" : "\n");
        else
            out << "(no text)\n";
    }
    return status;
}
