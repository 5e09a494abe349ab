#pragma once

#include "screens/ModelImport.h"

namespace cvn::test {

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
