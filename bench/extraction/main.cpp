// Extraction speed and memory of the attachment readers.
//
// bench-extraction [folder]
//
// Writes, in the folder (default: a new temporary one), a 100-page text PDF,
// a 50 MiB DOCX (a 48 MiB stored picture and a deflated document.xml of
// 100 MiB), and the largest inputs of each kind. Prints the median time
// of our extraction against `pdftotext` (poppler-utils) and `unzip -p` on the
// same file where those programs exist, their ratio (ours/theirs), and the
// peak resident memory of one extraction of each large input, measured in a
// child process of its own.
//
// bench-extraction --extract FILE is that child: it extracts one file.

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
    if (argc == 3 && std::string(argv[1]) == "--extract") {
        const QString path = QString::fromLocal8Bit(argv[2]);
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
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    QDir().mkpath(folder);
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
    writeFile(pdf, cvn::test::pdfWithPages(pages));
    const QString bigDocx = folder + QStringLiteral("/big.docx");
    writeFile(bigDocx, docx(100 << 20, 48 << 20));
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
    writeFile(maxDocx, docx((128 << 20) - 64, 0));
    const QString maxText = folder + QStringLiteral("/max.txt");
    writeFile(maxText, words(cvn::maxAttachmentBytes, 11));
    const QString maxPdf = folder + QStringLiteral("/max.pdf");
    {
        QByteArray bytes = cvn::test::pdfWithPages(pages);
        bytes += "%" + QByteArray(cvn::maxAttachmentBytes - bytes.size() - 2, 'x') + "\n";
        writeFile(maxPdf, bytes);
    }
    const QString maxImage = folder + QStringLiteral("/max.png");
    {
        QImage image(7990, 8000, QImage::Format_Grayscale8);
        image.fill(255);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        writeFile(maxImage, bytes);
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
