#include "chat/shared/DebugPanelModel.h"

#include "chat/shared/LayoutProbe.h"
#include "engine/SessionRegistry.h"
#include "platform/AppSettings.h"

namespace cvn {

namespace DebugReadings {

namespace {

const QString kDash = QStringLiteral(" \u2014 ");

QString archText(const std::optional<QString>& architecture)
{
    return architecture ? *architecture : QStringLiteral("unknown");
}

// Why a loaded model has no layer on the GPU.
QString cpuReasonText(CpuReason reason, GpuSwitch gpuSwitch)
{
    switch (reason) {
    case CpuReason::offloadOff:
        return gpuSwitch.offloadOn ? QStringLiteral("loaded before GPU offload was switched on")
                                   : QStringLiteral("GPU offload is off");
    case CpuReason::noRoom:
        return QStringLiteral("the GPU had no room for it");
    case CpuReason::fellBack:
        return QStringLiteral("the GPU could not load it");
    case CpuReason::gpuStopped:
        return QStringLiteral("the GPU stopped");
    case CpuReason::noGpu:
        return QStringLiteral("llama.cpp found no GPU to offload to");
    case CpuReason::none:
        break;
    }
    return QStringLiteral("GPU offload off or not supported on this GPU");
}

} // namespace

QString clockText(const QDateTime& at)
{
    return at.toLocalTime().time().toString(QStringLiteral("HH:mm:ss"));
}

QString metalSummary(const std::optional<GpuDevice>& device, const std::vector<LoadedModelSnapshot>& models,
                     GpuSwitch gpuSwitch)
{
    if (!device)
        return QStringLiteral("none");
    QStringList parts = {device->name};
    parts << (device->hasUnifiedMemory ? QStringLiteral("unified") : QStringLiteral("discrete/integrated"));
    if (device->recommendedMaxWorkingSetBytes >= 1048576)
        parts << QStringLiteral("device memory %1 MB").arg(device->recommendedMaxWorkingSetBytes / 1048576);
    const auto used = std::find_if(models.cbegin(), models.cend(),
                                   [](const LoadedModelSnapshot& m) { return m.gpuLayersOffloaded >= 1; });
    if (gpuSwitch.stopped)
        parts << QStringLiteral("stopped - offload is off until Corvanthelis restarts");
    else if (used != models.cend())
        parts << QStringLiteral("used (%1 of %2 layers, %3)")
                     .arg(used->gpuLayersOffloaded)
                     .arg(used->layerCount)
                     .arg(used->name);
    else if (!models.empty())
        parts << QStringLiteral("not used - CPU only (%1)").arg(cpuReasonText(models.front().cpuReason, gpuSwitch));
    else
        parts << QStringLiteral("not used - no model loaded");
    return parts.join(QStringLiteral(", "));
}

QString lastLoadLine(const std::optional<LoadAttempt>& attempt)
{
    if (!attempt)
        return QStringLiteral("not called");
    const QString head = attempt->fileName + QStringLiteral(" at ") + clockText(attempt->at) + kDash;
    if (const auto* ok = std::get_if<LoadAttempt::Ok>(&attempt->outcome))
        return head + QStringLiteral("OK ctx=") + QString::number(ok->contextSize) + QStringLiteral(" arch=")
               + archText(ok->architecture);
    return head + QStringLiteral("FAILED ") + std::get<LoadAttempt::Failed>(attempt->outcome).message;
}

QString loadedModelsLines(const QList<LlamaSession::Snapshot>& sessions)
{
    QStringList lines;
    for (const LlamaSession::Snapshot& s : sessions) {
        if (s.modelName)
            lines << *s.modelName + QStringLiteral(" (ctx=") + QString::number(s.contextSize)
                         + QStringLiteral(", arch=") + archText(s.architecture) + QStringLiteral(", chat=")
                         + s.chatTemplate.rawValue() + u')';
    }
    return lines.isEmpty() ? QStringLiteral("none") : lines.join(u'\n');
}

QString streamingLines(const QList<LlamaSession::Snapshot>& sessions)
{
    QStringList lines;
    for (const LlamaSession::Snapshot& s : sessions) {
        if (s.isStreaming)
            lines << s.shortId + kDash
                         + (s.tokensPerSecond ? QString::asprintf("%.1f tok/s", *s.tokensPerSecond)
                                              : QStringLiteral("starting"));
    }
    return lines.isEmpty() ? QStringLiteral("idle") : lines.join(u'\n');
}

QString scrollLine(const ScrollDiagnostics::Values& d)
{
    if (d.updates < 1)
        return QStringLiteral("no updates yet - the chat's scroll position has not been reported");
    const double scrollable = std::max(0.0, d.contentHeight - d.viewportHeight);
    const bool shows = d.turns != 0 && !d.autoFollow && scrollable > 0;
    return QString::asprintf("updates=%lld turns=%lld autoFollow=%s offset=%.0f content=%.0f viewport=%.0f "
                             "scrollable=%.0f bottom=%.0f -> %s",
                             static_cast<long long>(d.updates), static_cast<long long>(d.turns),
                             d.autoFollow ? "YES" : "no", d.offset, d.contentHeight, d.viewportHeight, scrollable,
                             d.maxOffset, shows ? "BUTTON SHOWS" : "button hidden");
}

QString memoryLine(const ProcessMemory& memory)
{
    return QStringLiteral("resident %1 MB, footprint %2 MB").arg(memory.residentMb).arg(memory.footprintMb);
}

} // namespace DebugReadings

DebugPanelModel::Inputs DebugPanelModel::gather(const QDateTime& now)
{
    Inputs in;
    in.now = now;
    in.gpu = defaultGpuDevice();
    in.liveModels = LlamaModel::liveModels();
    in.gpuSwitch = {AppSettings::boolValue(QString::fromLatin1(AppSettings::metalOffload)), LlamaModel::gpuStopped()};
    in.lastLoad = LlamaModel::lastLoadAttempt();
    in.sessions = SessionRegistry::snapshots();
    in.scroll = ScrollDiagnostics::read();
    in.memory = readProcessMemory();
    in.probes = LayoutProbe::snapshot();
    return in;
}

DebugPanelModel DebugPanelModel::build(const Inputs& in)
{
    using namespace DebugReadings;
    const Status loadStatus = !in.lastLoad                                                    ? Status::none
                              : std::holds_alternative<LoadAttempt::Ok>(in.lastLoad->outcome) ? Status::ok
                                                                                              : Status::failed;
    DebugPanelModel model;
    model.clock = clockText(in.now);
    model.rows = {
        {QStringLiteral("Llama runtime"), QStringLiteral("linked"), Status::ok},
        {QStringLiteral("GPU"), metalSummary(in.gpu, in.liveModels, in.gpuSwitch), in.gpu ? Status::ok : Status::failed},
        {QStringLiteral("Last load attempt"), lastLoadLine(in.lastLoad), loadStatus},
        {QStringLiteral("Loaded models"), loadedModelsLines(in.sessions), Status::none},
        {QStringLiteral("Streaming"), streamingLines(in.sessions), Status::none},
        {QStringLiteral("Chat scroll"), scrollLine(in.scroll), Status::none},
        {QStringLiteral("Process memory"), memoryLine(in.memory), Status::none},
        {QStringLiteral("Layout"),
         in.probes.isEmpty() ? QStringLiteral("no probes have reported yet") : in.probes.join(u'\n'), Status::none},
    };
    return model;
}

} // namespace cvn
