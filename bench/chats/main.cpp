// cvn-chats at the size of a long-used install: a database of N chats (by
// default 10,000, each a question with an attached file and a reply with
// reasoning) is exported to JSON Lines and imported into an empty database,
// then imported again (every chat skipped). Each run of the tool is timed and
// its peak resident memory read from the kernel (wait4). With --skip M, the
// import timed instead is that of M of the exported chats back into the
// database of N that holds them all (each one skipped as already stored): the
// cost of the duplicate check against a large database.
//
// bench-chats [--chats N] [--skip M] [--folder DIR]
//
// Everything is written into a new temporary folder inside DIR (default: the
// system's temporary folder), removed at the end.

#include "BenchOptions.h"
#include "storage/ChatDatabase.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* const usage = "usage: bench-chats [--chats N] [--skip M] [--folder DIR]\n"
                          "  --chats N     chats in the database (default 10000)\n"
                          "  --skip M      instead of the imports into an empty database, import M of the\n"
                          "                chats back into the database of N that holds them (each skipped)\n"
                          "  --folder DIR  where the temporary folder goes (default: the system's)\n";

// Runs the tool with `args`; false when it could not run or failed.
bool runTool(const std::vector<std::string>& args, double* seconds, long* peakKb)
{
    std::vector<char*> argv;
    std::string tool = CVN_CHATS_TOOL;
    argv.push_back(tool.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *peakKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (cvn::bench::asksForHelp(argc, argv)) {
        std::fputs(usage, stdout);
        return 0;
    }
    long chats = 10000;
    std::optional<long> skip;
    QString folder = QDir::tempPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--chats" && i + 1 < argc) {
            const std::optional<long> n = cvn::bench::parseCount(argv[++i]);
            if (!n) {
                std::fprintf(stderr, "bench-chats: --chats needs a whole number from 1\n");
                return 2;
            }
            chats = *n;
        } else if (arg == "--skip" && i + 1 < argc) {
            skip = cvn::bench::parseCount(argv[++i]);
            if (!skip) {
                std::fprintf(stderr, "bench-chats: --skip needs a whole number from 1\n");
                return 2;
            }
        } else if (arg == "--folder" && i + 1 < argc) {
            folder = QString::fromLocal8Bit(argv[++i]);
            if (!QFileInfo(folder).isDir()) {
                std::fprintf(stderr, "bench-chats: %s is not a folder\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "bench-chats: unknown argument %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    if (skip && *skip > chats) {
        std::fprintf(stderr, "bench-chats: --skip %ld is more than the %ld chats\n", *skip, chats);
        return 2;
    }
    QTemporaryDir dir(folder + QStringLiteral("/bench-chats-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench-chats: cannot make a temporary folder in %s\n", qPrintable(folder));
        return 1;
    }
    const QString source = dir.filePath(QStringLiteral("source.db"));
    {
        cvn::ChatDatabase db(source);
        const QString file = QStringLiteral("[Attached file: notes.txt]\n") + QString(600, QLatin1Char('n'))
                             + QStringLiteral("\n[End file]\n\n");
        const QString reply = QString(800, QLatin1Char('r'));
        const bool filled = db.transaction([&] {
            for (long i = 0; i < chats; ++i) {
                const int64_t id = db.insertChat(QStringLiteral("Chat %1").arg(i), QStringLiteral("MODEL"));
                if (id == 0 || !db.insertMessage(id, QStringLiteral("user"), file + QStringLiteral("Question %1").arg(i))
                    || !db.insertMessage(id, QStringLiteral("assistant"), reply, QStringLiteral("tiny"),
                                         QStringLiteral("Thinking it over."), 1500))
                    return false;
            }
            return true;
        });
        if (!filled) {
            std::fprintf(stderr, "bench-chats: cannot fill the database\n");
            return 1;
        }
    }
    const std::string src = source.toStdString();
    const std::string out = dir.filePath(QStringLiteral("all.jsonl")).toStdString();
    const std::string target = dir.filePath(QStringLiteral("target.db")).toStdString();
    double seconds = 0;
    long peak = 0;
    std::printf("%ld chats, 2 messages each\n", chats);
    if (!runTool({"--db", src, "export", "--out", out}, &seconds, &peak))
        return std::fprintf(stderr, "bench-chats: the export failed\n"), 1;
    std::printf("export: %.2f s, peak memory %.1f MiB, file %.1f MiB\n", seconds, peak / 1024.0,
                QFileInfo(QString::fromStdString(out)).size() / 1048576.0);
    if (skip) {
        // The first M lines of the export, each a chat the source holds.
        QFile all(QString::fromStdString(out));
        const QString partPath = dir.filePath(QStringLiteral("part.jsonl"));
        QFile part(partPath);
        if (!all.open(QIODevice::ReadOnly) || !part.open(QIODevice::WriteOnly))
            return std::fprintf(stderr, "bench-chats: cannot write %s\n", qPrintable(partPath)), 1;
        for (long i = 0; i < *skip; ++i)
            part.write(all.readLine());
        part.close();
        if (!runTool({"--db", src, "import", partPath.toStdString()}, &seconds, &peak))
            return std::fprintf(stderr, "bench-chats: the import failed\n"), 1;
        std::printf("import %ld chats into the database of %ld (every chat skipped): %.2f s, peak memory %.1f MiB\n",
                    *skip, chats, seconds, peak / 1024.0);
        return 0;
    }
    if (!runTool({"--db", target, "import", out}, &seconds, &peak))
        return std::fprintf(stderr, "bench-chats: the import failed\n"), 1;
    std::printf("import into an empty database: %.2f s, peak memory %.1f MiB\n", seconds, peak / 1024.0);
    if (!runTool({"--db", target, "import", out}, &seconds, &peak))
        return std::fprintf(stderr, "bench-chats: the second import failed\n"), 1;
    std::printf("import again (every chat skipped): %.2f s, peak memory %.1f MiB\n", seconds, peak / 1024.0);
    return 0;
}
