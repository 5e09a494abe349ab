// Extraction speed and memory of the attachment readers.
//
// bench-extraction [folder]
//
// Writes, in the folder (an existing one; by default a new temporary one,
// removed at the end), about 600 MB: a 100-page text PDF,
// a 50 MiB DOCX (a 48 MiB stored picture and a deflated document.xml of
// 100 MiB), and the largest inputs of each kind. Prints the median time
// of our extraction against `pdftotext` (poppler-utils) and `unzip -p` on the
// same file where those programs exist, their ratio (ours/theirs), and the
// peak resident memory of one extraction of each large input, measured in a
// child process of its own.
//
// bench-extraction --extract FILE is that child: it extracts one file.
//
// --help prints the usage; an unknown option, a folder that is not there or
// a file the child cannot read is one line on stderr and exit status 2 or 1.

#include "BenchTiming.h"
#include "Fixtures.h"

#include "attachments/AttachmentText.h"
#include "attachments/ImageText.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QCoreApplication>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using cvn::bench::median;
using cvn::bench::medianMs;

namespace {

using Clock = std::chrono::steady_clock;

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Runs a program; returns its wall time in milliseconds, or -1 when it
// could not run or failed. Its standard output goes to `output` when given.
double run(const std::vector<std::string>& argv, const char* output = "/dev/null")
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const auto start = Clock::now();
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ms;
}

double medianProcessMs(int runs, const std::vector<std::string>& argv)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = run(argv);
        if (ms < 0)
            return -1;
        times.push_back(ms);
    }
    return median(std::move(times));
}

QByteArray words(qsizetype bytes, uint32_t seed)
{
    static const char* vocabulary[] = {"model", "context", "token", "attachment", "local", "reply", "window",
                                       "archive", "paragraph", "the", "of", "and", "a", "to", "document"};
    std::mt19937 random(seed);
    QByteArray out;
    out.reserve(bytes + 16);
    while (out.size() < bytes) {
        out += vocabulary[random() % 15];
        out += ' ';
    }
    out.truncate(bytes);
    return out;
}

// A DOCX whose document.xml holds `xmlBytes` of paragraphs, plus a stored
// entry of random bytes (a picture, as in real large documents).
QByteArray docx(qsizetype xmlBytes, qsizetype mediaBytes)
{
    QByteArray xml = "<w:document xmlns:w=\"w\"><w:body>";
    const QByteArray paragraph = "<w:p><w:r><w:t>" + words(400, 7) + "</w:t></w:r></w:p>";
    while (xml.size() + paragraph.size() + 32 < xmlBytes)
        xml += paragraph;
    xml += "</w:body></w:document>";
    QByteArray media(mediaBytes, Qt::Uninitialized);
    std::mt19937 random(3);
    for (char& c : media)
        c = char(random());
    return cvn::test::zipArchive({{QStringLiteral("word/media/image1.png"), media, 0},
                                  {QStringLiteral("word/document.xml"), xml}});
}

const char* const kUsage = "usage: bench-extraction [folder]\n"
                           "       bench-extraction --extract FILE\n";

int fail(int status, const std::string& line)
{
    std::fprintf(stderr, "bench-extraction: %s\n", line.c_str());
    return status;
}

void report(const char* what, double ours, double theirs, const char* tool)
{
    if (theirs < 0) {
        std::printf("%-28s ours %8.1f ms   %s not available\n", what, ours, tool);
        return;
    }
    std::printf("%-28s ours %8.1f ms   %s %8.1f ms   ratio %.2f\n", what, ours, tool, theirs, ours / theirs);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (first == "--extract") {
        if (argc != 3)
            return fail(2, "--extract takes one file (see --help)");
        const QString path = QString::fromLocal8Bit(argv[2]);
        if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable())
            return fail(1, std::string(argv[2]) + ": not a readable file");
        const std::optional<QString> text = cvn::extractAttachmentText(path, cvn::hasAttachmentExtension(path, true));
        // The peak of this process alone (a spawned child's rusage would
        // carry its parent's peak over).
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        const QByteArray lines = status.readAll();
        const qsizetype at = lines.indexOf("VmHWM:");
        std::printf("%lld %lld\n", text ? (long long)text->size() : -1LL,
                    at < 0 ? -1LL : lines.mid(at + 6, lines.indexOf('\n', at) - at - 6).trimmed().split(' ')[0].toLongLong());
        return 0;
    }
    if (argc > 2)
        return fail(2, "takes at most one folder (see --help)");
    if (first.size() > 1 && first[0] == '-')
        return fail(2, "unknown option " + first + " (see --help)");
    if (!first.empty() && !QFileInfo(QString::fromLocal8Bit(argv[1])).isDir())
        return fail(1, first + ": no such folder");
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    if (first.empty() && !temporary.isValid())
        return fail(1, "cannot make a temporary folder");
    const QString folder = first.empty() ? temporary.path() : QString::fromLocal8Bit(argv[1]);
    const std::string self = QCoreApplication::applicationFilePath().toStdString();

    // 100 pages of 40 lines of text.
    QList<QStringList> pages;
    for (int p = 0; p < 100; ++p) {
        QStringList lines;
        for (int l = 0; l < 40; ++l)
            lines << QString::fromLatin1(words(90, uint32_t(p * 100 + l)));
        pages << lines;
    }
    const QString pdf = folder + QStringLiteral("/pages.pdf");
    if (!writeFile(pdf, cvn::test::pdfWithPages(pages)))
        return fail(1, "cannot write " + pdf.toStdString());
    const QString bigDocx = folder + QStringLiteral("/big.docx");
    if (!writeFile(bigDocx, docx(100 << 20, 48 << 20)))
        return fail(1, "cannot write " + bigDocx.toStdString());
    std::printf("files: %s %lld bytes, %s %lld bytes\n", qPrintable(pdf), (long long)QFileInfo(pdf).size(),
                qPrintable(bigDocx), (long long)QFileInfo(bigDocx).size());

    const double oursPdf = medianMs(5, [&] { (void)cvn::extractAttachmentText(pdf, false); });
    const double popplerPdf = medianProcessMs(5, {"pdftotext", pdf.toStdString(), "-"});
    report("100-page PDF (stops at p. 8)", oursPdf, popplerPdf, "pdftotext");
    const double oursDocx = medianMs(3, [&] { (void)cvn::extractAttachmentText(bigDocx, false); });
    const double unzipDocx = medianProcessMs(3, {"unzip", "-p", bigDocx.toStdString(), "word/document.xml"});
    report("50 MiB DOCX", oursDocx, unzipDocx, "unzip -p");

    // The largest allowed inputs, one child process each.
    const QString maxDocx = folder + QStringLiteral("/max.docx");
    if (!writeFile(maxDocx, docx((128 << 20) - 64, 0)))
        return fail(1, "cannot write " + maxDocx.toStdString());
    const QString maxText = folder + QStringLiteral("/max.txt");
    if (!writeFile(maxText, words(cvn::maxAttachmentBytes, 11)))
        return fail(1, "cannot write " + maxText.toStdString());
    const QString maxPdf = folder + QStringLiteral("/max.pdf");
    {
        QByteArray bytes = cvn::test::pdfWithPages(pages);
        bytes += "%" + QByteArray(cvn::maxAttachmentBytes - bytes.size() - 2, 'x') + "\n";
        if (!writeFile(maxPdf, bytes))
            return fail(1, "cannot write " + maxPdf.toStdString());
    }
    const QString maxImage = folder + QStringLiteral("/max.png");
    {
        QImage image(7990, 8000, QImage::Format_Grayscale8);
        image.fill(255);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        if (!writeFile(maxImage, bytes))
            return fail(1, "cannot write " + maxImage.toStdString());
    }
    std::printf("\npeak resident memory of one extraction (child process):\n");
    const std::string result = (folder + QStringLiteral("/result.txt")).toStdString();
    for (const QString& path : {bigDocx, maxDocx, maxText, maxPdf, maxImage}) {
        const double ms = run({self, "--extract", path.toStdString()}, result.c_str());
        QFile file(QString::fromStdString(result));
        file.open(QIODevice::ReadOnly);
        const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
        std::printf("  %-10s %10lld bytes  %6s chars  peak %7.1f MiB  %8.1f ms\n", qPrintable(QFileInfo(path).fileName()),
                    (long long)QFileInfo(path).size(), fields.value(0).constData(),
                    fields.value(1).toDouble() / 1024.0, ms);
    }
    return 0;
}
