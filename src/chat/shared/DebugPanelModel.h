#pragma once

// What the runtime debug panel shows, as plain text built without widgets:
// the clock, and eight rows of label, value and status. The readings are
// pure functions of copied records; gather() takes each record once per
// redraw (the last load attempt, the session snapshots, the scroll
// diagnostics, the probes), each under its own lock, so a value and its
// status always come from the same copy.
//
// Any thread may build a model; DebugPanel builds one per second on the main
// thread.

#include "chat/transcript/TailFollower.h"
#include "engine/LlamaModel.h"
#include "engine/LlamaSession.h"
#include "platform/ProcessMemory.h"
#include "platform/SystemInfo.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace cvn {

namespace DebugReadings {

// "HH:mm:ss" in local time, ASCII digits: the panel's clock and load times.
QString clockText(const QDateTime& at);

// What the GPU row knows beside the device and the models: the offload
// switch as it reads now, and whether a GPU fault has stopped offload for
// the rest of the run (LlamaModel::gpuStopped).
struct GpuSwitch {
    bool offloadOn = false;
    bool stopped = false;
};

// The "GPU" row, from the device the GPU layer reports (defaultGpuDevice,
// which tests replace through GpuDevice::Override): its name; "unified" or
// "discrete/integrated"; its memory from 1 MB on; and whether a loaded model
// uses it or, when none does, why the model runs on the CPU. After a GPU
// fault, that the GPU stopped. "none" without a device.
QString metalSummary(const std::optional<GpuDevice>& device, const std::vector<LoadedModelSnapshot>& models,
                     GpuSwitch gpuSwitch = {});
QString lastLoadLine(const std::optional<LoadAttempt>& attempt);
QString loadedModelsLines(const QList<LlamaSession::Snapshot>& sessions);
QString streamingLines(const QList<LlamaSession::Snapshot>& sessions);
QString scrollLine(const ScrollDiagnostics::Values& diagnostics);
QString memoryLine(const ProcessMemory& memory);

} // namespace DebugReadings

struct DebugPanelModel {
    enum class Status { none, ok, failed };

    struct Row {
        QString label;
        QString value; // lines separated by "\n"
        Status status = Status::none;

        friend bool operator==(const Row&, const Row&) = default;
    };

    // Every record the panel reads, copied.
    struct Inputs {
        QDateTime now;
        std::optional<GpuDevice> gpu;
        std::vector<LoadedModelSnapshot> liveModels;
        std::optional<LoadAttempt> lastLoad;
        QList<LlamaSession::Snapshot> sessions;
        ScrollDiagnostics::Values scroll;
        ProcessMemory memory;
        QStringList probes;
        DebugReadings::GpuSwitch gpuSwitch;
    };

    static inline const QString title = QStringLiteral("DEBUG \u00B7 RUNTIME");

    QString clock;
    QList<Row> rows;

    // Copies the live records, one at a time.
    static Inputs gather(const QDateTime& now);
    static DebugPanelModel build(const Inputs& inputs);
    static DebugPanelModel current() { return build(gather(QDateTime::currentDateTime())); }
};

} // namespace cvn
