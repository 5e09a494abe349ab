#pragma once

// Small GGUF models written once per test process into its temporary folder.

#include "engine/LlamaModel.h"
#include "engine/SessionTask.h"
#include "models/ModelInfo.h"

#include <QMutex>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cvn::test {

// Scripted on llama.cpp's Llama SPM vocabulary; the path is cached per chain
// list. `ctx` is the trained context length written into the file.
QString scriptedModel(const std::vector<std::vector<std::string>>& chains, int64_t ctx = 2048);

// "▁Hi → ▁Hello → <0xC3> → <0xA9> → ! → </s>": the prompt "Hi" is answered
// " Hello", "é", "!".
QString helloModel();

// Random weights, 2 layers, n_embd 64.
QString randomModel();

// Writes a model with extra string metadata (not cached).
QString randomModelWith(const std::string& key, const std::string& value);

struct Reply {
    QStringList pieces;
    std::optional<QString> failure;
    QString text() const { return pieces.join(QString()); }
};

// A PNG of `width` x `height` pixels of one colour, as an image sent with a
// message.
ChatImage png(const QString& name, int width, int height, QRgb color);

// Runs one generation to its end and collects the pieces.
Reply generateAll(LlamaModel& model, const std::string& prompt, const SamplingParams& params);

// The logits that choose the first reply token when a freshly loaded copy of
// `path` decodes `tokens` in full.
std::vector<float> fullDecodeLogits(const QString& path, int64_t context, const std::vector<int32_t>& tokens);

// Logits of a reply whose prompt was partly kept from earlier runs, against
// those of a full decode: the memory holds keys and values in f16, so a value
// computed in another batch shape may round the other way, and the logits
// then differ by about a thousandth of their spread. A prompt that differs
// moves them by a few hundredths.
::testing::AssertionResult sameUpToRounding(const std::vector<float>& kept, const std::vector<float>& full);

// A models folder of its own, holding scripted models named after their
// files ("alpha" is alpha.gguf, listed as "alpha"). A `chatTemplate` is
// embedded as the file's tokenizer.chat_template.
struct ModelsFolder {
    QString path;
    ModelsFolder();
    void add(const QString& name, const std::vector<std::vector<std::string>>& chains,
             const std::string& vocab = "llama-spm", int64_t ctx = 2048, const std::string& chatTemplate = {}) const;
    // A random model (f32) of that trained context.
    void addRandom(const QString& name, int64_t ctx) const;
};

// Captures the runtime log's messages, from any thread, while it lives.
struct LogCapture {
    static inline QMutex mutex;
    static inline QStringList messages;
    static inline QStringList warnings; // and worse
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& ctx,
                                                          const QString& msg) {
        QMutexLocker lock(&mutex);
        if (QLatin1String(ctx.category) != QLatin1String("org.corvanthelis.models.runtime"))
            return;
        messages << msg;
        if (type != QtDebugMsg && type != QtInfoMsg)
            warnings << msg;
    });
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        QMutexLocker lock(&mutex);
        messages.clear();
        warnings.clear();
    }
    QStringList taken()
    {
        QMutexLocker lock(&mutex);
        return messages;
    }
    void clear()
    {
        QMutexLocker lock(&mutex);
        messages.clear();
        warnings.clear();
    }
};

// Puts a copy of `source` in place of `target` by a rename, as copying a new
// file over the old name in two steps does: the name gets another file (a new
// inode), while the old one lives on for whoever still maps it.
void replaceByRename(const QString& source, const QString& target);

// The record with that display name (a test failure when there is none).
ModelInfo modelNamed(const QList<ModelInfo>& models, const QString& name);

// Runs the Qt event loop until the task is over.
bool finishes(const SessionTask& task, int ms = 30000);

// The SPM vocabulary spells the end of a chatML prompt ("assistant\n") with
// a newline byte token, so scripts start there.
inline const std::string kPromptEnd = "<0x0A>";

} // namespace cvn::test
