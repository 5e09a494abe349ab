// cvn-chats: exports and imports chats for people who script, through the
// same code as the window's export and import.
//
//   cvn-chats [--db FILE] export --out FILE [--chat ID]
//   cvn-chats [--db FILE] import FILE
//
// Every chat goes out as JSON Lines (one chat a line); with --chat, the one
// chat as JSON, or as Markdown when FILE ends in ".md". An import adds each
// chat of a JSON Lines file or of one chat's JSON as a new chat, skips those
// already stored, and stops at the first line that holds no chat, naming it.
// While another program holds the database's lock, the import waits and says
// so; a database that cannot be written for any other reason (a full disk, a
// damaged file) stops it. FILE may be a stream for both: "-" is not special,
// but /dev/stdin, /dev/stdout, a pipe or a FIFO are read and written as they
// come; with the export on standard output its summary goes to standard error.
//
// Exit status: 0 done, 1 a bad file or database, 2 a usage error.
#include "platform/AppPaths.h"
#include "storage/ChatTransfer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>

namespace {

const char* const kUsage =
    "usage: cvn-chats [--db FILE] export --out FILE [--chat ID]\n"
    "       cvn-chats [--db FILE] import FILE\n"
    "  export        writes every chat as JSON Lines, one chat a line; with --chat,\n"
    "                that chat alone, as Markdown when FILE ends in .md, else as JSON\n"
    "  import        adds the chats of a JSON Lines file or of one chat's .json;\n"
    "                chats already stored are skipped, a bad line stops it with its number\n"
    "  --db FILE     the chat database (default: chats.db in the data folder)\n"
    "  --out FILE    where the export goes (replaced when it exists)\n"
    "  --chat ID     the id of the one chat to export\n"
    "  FILE may be a stream: /dev/stdin, /dev/stdout, a pipe or a FIFO\n"
    "  --help        this text\n";

int usageError(QTextStream& err, const QString& why)
{
    err << "cvn-chats: " << why << " (see --help)\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        out << kUsage;
        return 0;
    }

    QString command, db, outPath, input;
    std::optional<int64_t> chat;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool valued = arg == QLatin1String("--db") || arg == QLatin1String("--out") || arg == QLatin1String("--chat");
        if (valued && i + 1 >= args.size())
            return usageError(err, arg + QStringLiteral(" needs a value"));
        if (arg == QLatin1String("--db")) {
            db = args[++i];
        } else if (arg == QLatin1String("--out")) {
            outPath = args[++i];
        } else if (arg == QLatin1String("--chat")) {
            bool ok = false;
            const qlonglong id = args[++i].toLongLong(&ok);
            if (!ok || id < 1)
                return usageError(err, QStringLiteral("--chat needs a chat id, a whole number from 1"));
            chat = id;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return usageError(err, QStringLiteral("unknown option ") + arg);
        } else if (command.isEmpty()) {
            if (arg != QLatin1String("export") && arg != QLatin1String("import"))
                return usageError(err, QStringLiteral("unknown command ") + arg);
            command = arg;
        } else if (command == QLatin1String("import") && input.isEmpty()) {
            input = arg;
        } else {
            return usageError(err, QStringLiteral("unexpected argument ") + arg);
        }
    }
    if (command.isEmpty())
        return usageError(err, QStringLiteral("say export or import"));
    if (command == QLatin1String("export") && outPath.isEmpty())
        return usageError(err, QStringLiteral("export needs --out FILE"));
    if (command == QLatin1String("import") && input.isEmpty())
        return usageError(err, QStringLiteral("import needs a FILE"));
    if (command == QLatin1String("import") && (!outPath.isEmpty() || chat))
        return usageError(err, QStringLiteral("--out and --chat belong to export"));

    if (command == QLatin1String("import")) {
        const QFileInfo file(input);
        if (!file.exists() || file.isDir() || !file.isReadable()) {
            err << "cvn-chats: " << input << ": "
                << (!file.exists() ? "no such file" : file.isDir() ? "is a folder, not a file" : "cannot be read")
                << '\n';
            return 1;
        }
    }
    if (db.isEmpty())
        db = cvn::ChatDatabase::defaultPath();
    else if (QFileInfo(db).isDir()) {
        err << "cvn-chats: " << db << ": is a folder, not a database\n";
        return 1;
    } else if (command == QLatin1String("export") && !QFileInfo::exists(db)) {
        err << "cvn-chats: " << db << ": no such database\n";
        return 1;
    }
    cvn::ChatDatabase database(db);
    if (!database.isOpen()) {
        err << "cvn-chats: " << db << ": cannot be opened as a chat database\n";
        return 1;
    }
    // The window waits for a database it cannot write, and can be told to
    // stop; a script would wait for ever on a file it may never write.
    if (command == QLatin1String("import") && database.isReadOnly()) {
        err << "cvn-chats: " << db << ": cannot be written\n";
        return 1;
    }

    if (command == QLatin1String("export")) {
        QString error;
        std::optional<QList<cvn::ChatArchive::Key>> chats =
            chat ? std::optional(QList<cvn::ChatArchive::Key>{{*chat, std::nullopt}})
                 : cvn::ChatExport::allChats(database, &error);
        if (!chats) {
            err << "cvn-chats: " << error << '\n';
            return 1;
        }
        using Format = cvn::ChatExport::Format;
        const Format format = !chat ? Format::jsonLines
                              : outPath.endsWith(QLatin1String(".md"), Qt::CaseInsensitive) ? Format::markdown
                                                                                             : Format::json;
        cvn::ChatExport exporter(database, outPath, format, std::move(*chats), cvn::Streams::accepted);
        if (!exporter.finish()) {
            err << "cvn-chats: " << (chat ? QStringLiteral("chat %1: ").arg(*chat) : QString()) << exporter.error()
                << '\n';
            return 1;
        }
        // A stream may be this program's own standard output, which the
        // summary must not join.
        (cvn::ChatExport::isStream(outPath) ? err : out)
            << "exported " << exporter.written() << (exporter.written() == 1 ? " chat" : " chats") << " to " << outPath
            << '\n';
        return 0;
    }

    cvn::ChatImport importer(database, input, cvn::Streams::accepted);
    bool saidWaiting = false;
    for (;;) {
        const cvn::ChatImport::Step step = importer.step();
        if (step == cvn::ChatImport::Step::waiting) {
            if (!saidWaiting) {
                err << "cvn-chats: another program holds the database; waiting (Ctrl-C stops, nothing is lost)\n";
                err.flush();
                saidWaiting = true;
            }
            QThread::msleep(1000);
            continue;
        }
        if (step == cvn::ChatImport::Step::finished)
            break;
        if (step == cvn::ChatImport::Step::failed) {
            out << "imported " << importer.added() << ", skipped " << importer.skipped()
                << " already stored, before the fault\n";
            out.flush();
            err << "cvn-chats: " << (importer.fault() == cvn::ChatImport::Fault::database ? db : input) << ": "
                << importer.error() << '\n';
            return 1;
        }
    }
    out << "imported " << importer.added() << ", skipped " << importer.skipped() << " already stored\n";
    return 0;
}
