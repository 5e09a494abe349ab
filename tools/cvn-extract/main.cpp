// cvn-extract FILE...: prints, for each file, what attaching it would send:
// "== NAME (N tokens)" and the extracted text, or "(no text)" when a readable
// file gives none. For checking real documents against the readers.
//
// A file that is missing, unreadable, not a regular file or over the
// attachment size limit is reported on stderr instead, and the exit status
// is then 1; 2 for a usage error. Names are printed with C-style escapes
// ("\n", "\\", "\033", "\u2028"), so that a name holding a line break
// cannot pass for a record of its own.
#include "attachments/AttachmentText.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

namespace {

const char* const kUsage = "usage: cvn-extract FILE...\n";

// `name` on one line: a backslash, control characters and Unicode's own line
// breaks as C escapes, everything else as it is.
QString escaped(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        default:
            if (u < 0x20 || u == 0x7f)
                out += QStringLiteral("\\%1").arg(uint(u), 3, 8, QLatin1Char('0'));
            else if ((u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029)
                out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

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
    if (file.size() > cvn::maxAttachmentBytes) {
        return QStringLiteral("too large to attach (%1 bytes; the limit is %2 bytes)")
            .arg(file.size())
            .arg(cvn::maxAttachmentBytes);
    }
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
            err << "cvn-extract: " << escaped(path) << ": " << *why << '\n';
            err.flush();
            status = 1;
            continue;
        }
        const cvn::AttachmentReading reading = cvn::readAttachment(path, cvn::hasAttachmentExtension(path, true));
        out << "== " << escaped(QFileInfo(path).fileName()) << " (" << reading.approxTokens << " tokens)\n";
        if (const std::optional<QString>& text = reading.text)
            out << *text << (text->endsWith(QLatin1Char('\n')) ? "" : "\n");
        else
            out << "(no text)\n";
    }
    return status;
}
