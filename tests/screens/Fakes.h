#pragma once

#include "models/ModelInfo.h"
#include "screens/ModelImport.h"

namespace cvn::test {

// 32 layers, 8 KV heads of 128: an f16 cache of 4096 tokens is exactly 512 MB.
inline ModelInfo sampleModel(int64_t trained = 32768, int64_t fileMb = 4000)
{
    GgufInfo info;
    info.architecture = QStringLiteral("llama");
    info.nCtxTrain = trained;
    info.nEmbd = 4096;
    info.nLayers = 32;
    info.nHead = 32;
    info.nHeadKv = 8;
    info.ropeDim = 128;
    info.fileSizeMb = fileMb;
    ModelInfo m;
    m.displayName = QStringLiteral("Sample Model");
    m.fileName = QStringLiteral("sub/Sample-Model.Q4.gguf");
    m.discoveredMetadata = info;
    return m;
}

// A copier that copies nothing: the test sees each start and finishes it by
// hand, in any way it likes.
class FakeCopier : public ModelImportCopier {
public:
    std::optional<CopyProgress> progress() const override { return m_progress; }
    void cancel() override { ++cancels; }
    void start(const QString& sourcePath, Completion completion) override
    {
        sources.append(sourcePath);
        m_completion = std::move(completion);
        setProgress(CopyProgress{0, 100, 0});
    }
    void setProgress(std::optional<CopyProgress> progress)
    {
        m_progress = progress;
        emit progressChanged();
    }
    // As the real copier ends: progress goes first, then the completion.
    void finish(const Outcome& outcome)
    {
        setProgress(std::nullopt);
        auto completion = std::move(m_completion);
        if (completion)
            completion(outcome);
    }

    QStringList sources;
    int cancels = 0;

private:
    std::optional<CopyProgress> m_progress;
    Completion m_completion;
};

} // namespace cvn::test
