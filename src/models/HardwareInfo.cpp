#include "models/HardwareInfo.h"

#include "models/MemoryEstimates.h"
#include "platform/AppSettings.h"
#include "platform/NumberFormat.h"
#include "platform/SystemInfo.h"

#include <QRegularExpression>

#include <cmath>

namespace cvn {

namespace {

const QString kUnknownCpu = QStringLiteral("Unknown CPU");
const QString kNoGpu = QStringLiteral("No GPU detected");

constexpr auto kPatternOptions =
    QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption;

QString withoutTrademarks(QString text)
{
    for (const char* mark : {"(R)", "(TM)", "(tm)", "(r)"})
        text.remove(QLatin1String(mark), Qt::CaseSensitive);
    return text;
}

// The default device's name cleaned like a CPU brand's trademarks, if any.
std::optional<QString> cleanedGpuName(const std::optional<GpuDevice>& device)
{
    if (!device)
        return std::nullopt;
    return cleanGpuName(device->name);
}

// MB to whole GB, halves away from zero.
int64_t wholeGb(int64_t mb)
{
    return int64_t(std::round(double(mb) / 1024.0));
}

} // namespace

bool metalGpuUsable()
{
    const std::optional<GpuDevice> device = defaultGpuDevice();
    return device && device->runsOffload;
}

QString cleanGpuName(const QString& name)
{
    return collapseWhitespace(withoutTrademarks(name));
}

QString cpuBrandString()
{
    const QString brand = readCpuModelName();
    return brand.isEmpty() ? kUnknownCpu : brand;
}

QString collapseWhitespace(const QString& text)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"), kPatternOptions);
    QString collapsed = text;
    collapsed.replace(whitespace, QStringLiteral(" "));
    return collapsed.trimmed();
}

QString cleanCpuName(const QString& brand)
{
    static const QRegularExpression patterns[] = {
        QRegularExpression(QStringLiteral("^\\s*\\d+th\\s+Gen\\s+"), kPatternOptions),
        QRegularExpression(QStringLiteral("\\s*@\\s*[\\d.]+\\s*GHz.*$"), kPatternOptions),
        QRegularExpression(QStringLiteral("\\s*CPU\\s*$"), kPatternOptions),
        QRegularExpression(QStringLiteral("\\s*w/.*$"), kPatternOptions),
        QRegularExpression(QStringLiteral("\\s*Processor\\s*$"), kPatternOptions),
    };
    // Our own fallback is not a brand: the trailing-"CPU" rule would cut it
    // to "Unknown", and callers recognise it by its full text.
    if (brand == kUnknownCpu)
        return brand;
    QString name = withoutTrademarks(brand);
    for (const QRegularExpression& pattern : patterns)
        name.remove(pattern);
    return collapseWhitespace(name);
}

RigInfo RigInfo::current()
{
    const std::optional<GpuDevice> device = defaultGpuDevice();
    const bool usable = metalGpuUsable();
    const bool offload = usable && AppSettings::boolValue(QString::fromLatin1(AppSettings::metalOffload));

    RigInfo rig;
    // Total and free from one reading, so free never exceeds total.
    const MemoryFigures memory = memoryNow();
    rig.ramTotalMb = int64_t(memory.totalMb);
    rig.ramFreeMb = int64_t(memory.freeMb);
    rig.cpuShortName = cleanCpuName(cpuBrandString());
    rig.gpuName = cleanedGpuName(device);
    rig.gpuVramMb = device ? int64_t(device->recommendedMaxWorkingSetBytes >> 20) : 0;
    rig.isUsableForInference = offload;
    rig.accelerationSwitchedOff = usable && !offload;
    rig.gpuSharesRam = device && device->hasUnifiedMemory;
    return rig;
}

namespace HardwareInfo {

using Tone = Run::Tone;

const QList<Bucket>& buckets()
{
    static const QList<Bucket> all{
        {QStringLiteral("3B"), 3500}, {QStringLiteral("7B"), 7000}, {QStringLiteral("13B"), 12000},
        {QStringLiteral("30B"), 22000}, {QStringLiteral("70B"), 50000},
    };
    return all;
}

Line labelRuns(const QList<Bucket>& list, Tone tone)
{
    Line runs;
    for (const Bucket& bucket : list) {
        if (!runs.isEmpty())
            runs.append({QStringLiteral(", "), std::nullopt});
        runs.append({bucket.label, tone});
    }
    return runs;
}

Line runnableSizesRuns(const RigInfo& rig)
{
    enum class Fit { now, afterClosing, tooBig };
    const auto fitOf = [&rig](const Bucket& bucket) {
        if (rig.ramFreeMb >= bucket.needsMb)
            return Fit::now;
        return rig.ramTotalMb >= bucket.needsMb + 3000 ? Fit::afterClosing : Fit::tooBig;
    };
    QList<Bucket> now, afterClosing, tooBig;
    for (const Bucket& bucket : buckets()) {
        switch (fitOf(bucket)) {
        case Fit::now: now.append(bucket); break;
        case Fit::afterClosing: afterClosing.append(bucket); break;
        case Fit::tooBig: tooBig.append(bucket); break;
        }
    }

    Line runs;
    const auto appendTooBig = [&] {
        if (tooBig.isEmpty())
            return;
        runs.append({QStringLiteral(" "), std::nullopt});
        runs.append(labelRuns(tooBig, Tone::critical));
        runs.append({QStringLiteral(" won't fit."), std::nullopt});
    };

    if (now.isEmpty()) {
        runs.append({QStringLiteral("Nothing fits right now."), Tone::label});
        if (!afterClosing.isEmpty()) {
            runs.append({QStringLiteral(" Close apps to run: "), std::nullopt});
            runs.append(labelRuns(afterClosing, Tone::warning));
            runs.append({QStringLiteral("."), std::nullopt});
        }
        appendTooBig();
        return runs;
    }
    runs.append({QStringLiteral("You can run: "), Tone::label});
    if (now.size() == buckets().size()) {
        runs.append(labelRuns(now, Tone::good));
        runs.append({QStringLiteral(" \u2014 all fit now."), std::nullopt});
        return runs;
    }
    bool first = true;
    for (const Bucket& bucket : buckets()) {
        const Fit fit = fitOf(bucket);
        if (fit == Fit::tooBig)
            continue;
        const bool fitsNow = fit == Fit::now;
        if (!first)
            runs.append({QStringLiteral(", "), std::nullopt});
        first = false;
        runs.append({bucket.label, fitsNow ? Tone::good : Tone::warning});
        runs.append({fitsNow ? QStringLiteral(" (now)") : QStringLiteral(" (close apps)"), std::nullopt});
    }
    runs.append({QStringLiteral("."), std::nullopt});
    appendTooBig();
    return runs;
}

QList<Line> summaryRuns(const RigInfo& rig)
{
    QString gpuText;
    std::optional<QString> note;
    if (rig.isUsableForInference && rig.gpuName) {
        gpuText = QStringLiteral("%1 (%2 GB GPU memory)").arg(*rig.gpuName).arg(wholeGb(rig.gpuVramMb));
    } else {
        gpuText = rig.gpuName.value_or(kNoGpu);
        note = rig.accelerationSwitchedOff
            ? QStringLiteral("GPU acceleration is switched off. Corvanthelis runs on your CPU.")
            : QStringLiteral("GPU acceleration is not available on this computer. Corvanthelis runs on your CPU.");
    }

    QList<Line> lines;
    lines.append({
        {QStringLiteral("Your computer: "), Tone::label},
        {QStringLiteral("%1, %2 GB RAM, ").arg(rig.cpuShortName).arg(wholeGb(rig.ramTotalMb)), std::nullopt},
        {gpuText, rig.isUsableForInference ? Tone::good : Tone::warning},
    });
    const Tone freeTone = rig.ramFreeMb > 10000 ? Tone::good : rig.ramFreeMb > 2000 ? Tone::warning : Tone::critical;
    lines.append({
        {QStringLiteral("Free right now: "), Tone::label},
        {formatFixed(double(rig.ramFreeMb) / 1024.0, 1) + QStringLiteral(" GB"), freeTone},
    });
    lines.append(runnableSizesRuns(rig));
    if (note)
        lines.append({{*note, Tone::label}});
    return lines;
}

std::optional<QString> metalUnavailableText()
{
    if (metalGpuUsable())
        return std::nullopt;
    QString why = machineGpuAbsence();
    if (why.isEmpty())
        why = QStringLiteral("llama.cpp cannot offload layers to it.");
    if (const std::optional<QString> gpu = cleanedGpuName(defaultGpuDevice()))
        return QStringLiteral("Not available on ") + *gpu + QStringLiteral(". ") + why;
    return kNoGpu + QStringLiteral(". ") + why;
}

} // namespace HardwareInfo

} // namespace cvn
