#pragma once

// What the benchmarks that drive a chat session share: settings kept in a
// scratch folder, and a model load waited for in the event loop. Main
// thread only.

#include "engine/LlamaSession.h"
#include "models/ModelStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace cvn::bench {

// Points the settings, data and cache folders at a folder of its own for as
// long as it lives, so a benchmark never touches the user's nor finds what
// an earlier run left there. Make it before the application object.
struct ScratchSettings {
    QTemporaryDir folder;
    ScratchSettings()
    {
        const QByteArray root = folder.path().toLocal8Bit();
        setenv("XDG_CONFIG_HOME", root.constData(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
        setenv("XDG_CACHE_HOME", (root + "/cache").constData(), 1);
    }
};

// Loads `info` into the session and sleeps in the event loop until it is
// done; false, with the reason on stderr after "`tool`: ", when it fails.
inline bool loadAndWait(LlamaSession& session, const ModelInfo& info, const char* tool)
{
    std::optional<std::optional<LoadError>> outcome;
    session.loadModel(info, [&](const std::optional<LoadError>& error) { outcome = error; });
    while (!outcome)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (*outcome)
        std::fprintf(stderr, "%s: %s\n", tool, (*outcome)->what());
    return !*outcome;
}

// The store's record of `file`, a file in the store's folder, set to a
// context of `ctx` tokens; none when the file is not a model.
inline std::optional<ModelInfo> modelWithContext(const ModelStore& store, const QFileInfo& file, int64_t ctx)
{
    for (ModelInfo model : store.models())
        if (model.fileName == file.fileName() && model.discoveredMetadata) {
            model.contextMode = QStringLiteral("manual");
            model.contextSizeManual = ctx;
            return model;
        }
    return std::nullopt;
}

} // namespace cvn::bench
