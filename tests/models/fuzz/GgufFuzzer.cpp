// libFuzzer entry for the GGUF header reader and everything that consumes
// what it reads. The reader takes a path, so each input is written to one
// scratch file first.

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "models/ModelFitCheck.h"
#include "models/ModelInfo.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString scratchPath()
{
    char pattern[] = "/tmp/cvn-gguf-fuzz-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        std::abort();
    close(fd);
    static std::string keep = pattern;
    std::atexit([] { unlink(keep.c_str()); });
    return QString::fromLocal8Bit(pattern);
}

void writeAll(const QString& path, const uint8_t* data, size_t size)
{
    const int fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_TRUNC);
    if (fd < 0)
        std::abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += size_t(n);
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = scratchPath();
    writeAll(path, data, size);

    const QString name = QStringLiteral("model.gguf");
    const bool projector = cvn::GgufMetadata::isProjectorFile(path, name);
    const std::optional<cvn::GgufInfo> info = cvn::GgufMetadata::read(path);
    // The folder scan's single pass must agree with the two separate reads.
    const cvn::GgufMetadata::ModelFileFacts facts = cvn::GgufMetadata::readModelFile(path, name);
    if (facts.info != info || facts.isProjector != projector)
        std::abort();
    if (!info)
        return 0;
    if (info->nCtxTrain < 1)
        std::abort();

    // Header values reach every estimate unchecked by the reader.
    for (uint64_t freeMb : {uint64_t(0), uint64_t(5000), uint64_t(64000), ~uint64_t(0)})
        cvn::autoContextForRam(info, freeMb);
    for (int type = 0; type < 4; ++type)
        info->requiredMemoryMb(8192, cvn::KvCacheType(type));
    cvn::ModelFitCheck::warning(path, QStringLiteral("fuzz"), 8000, 16384, info);
    cvn::ModelInfo model;
    model.discoveredMetadata = info;
    model.summaryLine(8000);
    model.capacityTooltip(8000);
    return 0;
}
