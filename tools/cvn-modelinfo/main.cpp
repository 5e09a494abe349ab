// cvn-modelinfo <file.gguf>: what the application reads from a model file's
// header, and what it plans from it on this machine. For checking real and
// hostile files from the command line.
//
// Prints the header's fields one per line as "name: value" (absent values as
// "absent", text with \n, \r, \t and \\ escaped so that each field stays on
// one line), then requiredMemoryMb (8192-token context, f16 cache),
// autoContext for the current free memory, and fitWarning when the fit check
// has one. A GGUF file whose header gives no metadata prints "metadata: none"
// and the size-based figures the application would use for it, and says so
// on stderr. Exit status 0 when the header was read; 1 for a file without
// metadata, or one that is missing, unreadable, not a regular file or not a
// GGUF file (the last three print nothing on stdout); 2 for a usage error.

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "models/ModelFitCheck.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

namespace {

QString escaped(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        default: out += c;
        }
    }
    return out;
}

QString text(const std::optional<int64_t>& v)
{
    return v ? QString::number(*v) : QStringLiteral("absent");
}

QString text(const std::optional<QString>& v)
{
    return v ? escaped(*v) : QStringLiteral("absent");
}

const char* const kUsage = "usage: cvn-modelinfo <file.gguf>\n";

int fail(int status, const QString& line)
{
    QTextStream(stderr) << "cvn-modelinfo: " << line << '\n';
    return status;
}

// Why `path` cannot be read as a model file; nothing when it can.
std::optional<QString> unreadable(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return path + QStringLiteral(": no such file");
    if (info.isDir())
        return path + QStringLiteral(": is a folder, not a model file");
    cvn::RegularFile file;
    if (!file.open(path))
        return path + (info.isFile() ? QStringLiteral(": cannot be read") : QStringLiteral(": not a regular file"));
    char magic[4] = {};
    if (file.readAt(0, magic, 4) != 4 || QByteArray(magic, 4) != "GGUF")
        return path + QStringLiteral(": not a GGUF file");
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QStringList files;
    bool options = true;
    for (const QString& arg : QCoreApplication::arguments().mid(1)) {
        if (options && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            out << kUsage;
            return 0;
        }
        if (options && arg == QLatin1String("--"))
            options = false;
        else if (options && arg.size() > 1 && arg.startsWith(u'-'))
            return fail(2, QStringLiteral("unknown option %1 (see --help)").arg(arg));
        else
            files << arg;
    }
    if (files.size() != 1) {
        QTextStream(stderr) << kUsage;
        return 2;
    }
    const QString path = files.first();
    if (const std::optional<QString> why = unreadable(path))
        return fail(1, *why);
    const std::optional<cvn::GgufInfo> info = cvn::GgufMetadata::read(path);
    if (info) {
        out << "version: " << info->version << '\n'
            << "architecture: " << escaped(info->architecture) << '\n'
            << "nCtxTrain: " << info->nCtxTrain << '\n'
            << "nEmbd: " << info->nEmbd << '\n'
            << "nLayers: " << info->nLayers << '\n'
            << "nHead: " << text(info->nHead) << '\n'
            << "nHeadKv: " << text(info->nHeadKv) << '\n'
            << "ropeDim: " << text(info->ropeDim) << '\n'
            << "expertCount: " << text(info->expertCount) << '\n'
            << "expertUsedCount: " << text(info->expertUsedCount) << '\n'
            << "fileSizeMb: " << info->fileSizeMb << '\n'
            << "fileName: " << escaped(info->fileName) << '\n'
            << "embeddedChatTemplate: " << text(info->embeddedChatTemplate) << '\n'
            << "fileType: " << text(info->fileType) << '\n';
    } else {
        out << "metadata: none\n";
    }

    const cvn::MemoryFigures memory = cvn::memoryNow();
    out << "requiredMemoryMb: " << cvn::ModelFitCheck::requiredMb(path, info) << '\n'
        << "autoContext: " << cvn::autoContextForRam(info, memory.freeMb).contextSize << '\n';
    const auto warning = cvn::ModelFitCheck::warning(path, QFileInfo(path).completeBaseName(), memory.freeMb,
                                                     memory.totalMb, info);
    if (warning)
        out << "fitWarning: " << warning->title << '\n';
    out.flush();
    if (!info)
        return fail(1, path + QStringLiteral(": the GGUF header gives no usable metadata"));
    return 0;
}
