// cvn-modelinfo <file.gguf>: what the application reads from a model file's
// header, and what it plans from it on this machine. For checking real and
// hostile files from the command line.
//
// Prints the header's fields one per line as "name: value" (absent values as
// "absent", text with \n, \r, \t and \\ escaped so that each field stays on
// one line), then requiredMemoryMb (8192-token context, f16 cache),
// autoContext for the current free memory, and fitWarning when the fit check
// has one. Exit status 0 when the header was read, 1 when it gave no
// metadata, 2 for a usage error.

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "models/ModelFitCheck.h"

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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: cvn-modelinfo <file.gguf>\n";
        return 2;
    }
    const QString path = args.at(1);
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
    return info ? 0 : 1;
}
