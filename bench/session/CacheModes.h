#pragma once

// The modes of cvn-bench-session that time a chat's next reply after
// something else used the model: another chat, another program's request, a
// restart of the program.

#include "models/ModelInfo.h"

#include <QString>

namespace cvn {
class ModelStore;
}

namespace cvn::bench {

enum class CacheMode { switchChats, afterRequest, restart };

// Runs `mode` with chats of about `history` tokens; 0 when it ran, 1 when a
// run failed (said on stderr).
int runCacheMode(CacheMode mode, ModelStore& store, const ModelInfo& info, const QString& path, long threads,
                 long history);

// A short reply's first token with `files` entry files of another model in
// the cache folder against none (CacheFiles.cpp); 0 when it ran, 1 when a
// run failed (said on stderr).
int runCacheFiles(ModelStore& store, const ModelInfo& info, long threads, long files);

} // namespace cvn::bench
