// cvn-extract FILE...: prints, for each file, what attaching it would send:
// "== NAME (N tokens)" and the extracted text, or "(no text)" when a readable
// file gives none. For checking real documents against the readers.
//
// A file that is missing, unreadable, not a regular file or over the
// attachment size limit is reported on stderr instead, and the exit status
// is then 1; 2 for a usage error. Names are printed with C-style escapes
// ("\n", "\\", "\033", "\u2028"), so that a name holding a line break
// cannot pass for a record of its own.
//
// Each argument is opened by its own bytes: a file name need not be valid
// UTF-8, and decoding it to text and back would name another file. A byte
// that is not part of valid UTF-8 is printed as "\x" and two hex digits.
#include "attachments/AttachmentText.h"
#include "platform/NativePath.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

namespace {

const char* const kUsage = "usage: cvn-extract FILE...\n";

// `name` on one line: a backslash, control characters and Unicode's own line
// breaks as C escapes, a byte of a name that is not valid UTF-8 as "\xe9",
// everything else as it is.
QString escaped(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            out += c;
            out += name[++i];
            continue;
        }
        if (const std::optional<unsigned char> byte = cvn::escapedByte(u)) {
            out += QStringLiteral("\\x%1").arg(uint(*byte), 2, 16, QLatin1Char('0'));
            continue;
        }
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
    using Kind = cvn::RegularFile::Kind;
    const Kind kind = cvn::RegularFile::kindOf(path);
    if (kind == Kind::none)
        return QStringLiteral("no such file");
    if (kind == Kind::folder)
        return QStringLiteral("is a folder, not a file");
    cvn::RegularFile file;
    if (!file.open(path))
        return kind == Kind::regular ? QStringLiteral("cannot be read") : QStringLiteral("not a regular file");
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
    // argv itself, not app.arguments(): those are decoded to text already.
    for (int i = 1; i < argc; ++i) {
        const QByteArrayView arg(argv[i]);
        if (options && (arg == "--help" || arg == "-h")) {
            out << kUsage;
            return 0;
        }
        if (options && arg == "--")
            options = false;
        else if (options && arg.size() > 1 && arg.startsWith('-')) {
            err << "cvn-extract: unknown option " << escaped(cvn::pathFromNative(arg)) << " (see --help)\n";
            return 2;
        } else
            paths << cvn::pathFromNative(arg);
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
