#pragma once

#include "models/GgufWriter.h"
#include "models/ModelInfo.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "screens/ModelImport.h"
#include "screens/ModelsScreen.h"
#include "support/TempEnv.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <QDir>
#include <QFile>

#include <memory>

namespace cvn::test {

inline SystemFacts memory(int64_t freeMb, int64_t totalMb)
{
    return SystemFacts{.rig = RigInfo{.ramTotalMb = totalMb, .ramFreeMb = freeMb}};
}

// A confirm dialog's title, body, confirm and cancel texts (empty without one).
inline QStringList texts(const CvnConfirmDialog* d)
{
    return d ? QStringList{d->titleText()->text(), d->bodyText()->text(), d->confirmButton()->text(),
                           d->cancelButton() ? d->cancelButton()->text() : QString()}
             : QStringList{};
}

// A GGUF header with the layer facts the estimates need; returns its path.
inline QString writeModel(const QString& folder, const QString& name, const QByteArray& arch = "llama",
                          uint32_t context = 4096)
{
    GgufWriter w;
    w.string("general.architecture", arch).u32(arch + ".context_length", context);
    w.u32(arch + ".block_count", 32).u32(arch + ".embedding_length", 4096);
    w.u32(arch + ".attention.head_count", 32).u32(arch + ".attention.head_count_kv", 8);
    return w.writeTo(folder, name);
}

// 32 layers, 8 KV heads of 128: an f16 cache of 4096 tokens is exactly 512 MB.
inline ModelInfo sampleModel(int64_t trained = 32768, int64_t fileMb = 4000)
{
    ModelInfo m;
    m.displayName = QStringLiteral("Sample Model");
    m.fileName = QStringLiteral("sub/Sample-Model.Q4.gguf");
    m.discoveredMetadata = GgufInfo{.architecture = "llama", .nCtxTrain = trained, .nEmbd = 4096, .nLayers = 32,
                                    .nHead = 32, .nHeadKv = 8, .ropeDim = 128, .fileSizeMb = fileMb};
    return m;
}

// A projector of the given output width, as the models folder lists it.
inline ModelInfo sampleProjector(const QString& fileName, int64_t width = 4096)
{
    ModelInfo p;
    p.displayName = fileName.section(u'/', -1).section(u'.', 0, 0);
    p.fileName = fileName;
    p.visionAdapterFile = true;
    p.projectionWidth = width;
    return p;
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
        if (auto completion = std::move(m_completion))
            completion(outcome);
    }

    QStringList sources;
    int cancels = 0;

private:
    std::optional<CopyProgress> m_progress;
    Completion m_completion;
};

// The add road over a temporary models folder with `count` models and the
// fake copier, memory fixed at 60000 free of 65536 MB; with a models screen
// over it unless `withScreen` is false.
struct Road {
    explicit Road(int count = 0, bool withScreen = true, QSize size = {900, 900}) : facts(memory(60000, 65536))
    {
        for (int i = 0; i < count; ++i)
            writeModel(folder, QStringLiteral("model-%1.gguf").arg(i));
        store = std::make_unique<ModelStore>(folder);
        import = std::make_unique<ModelImport>(*store, copier);
        if (!withScreen)
            return;
        screen = std::make_unique<ModelsScreen>(*store, *import, [this] { ++backs; });
        screen->setFileChooser([this](QWidget*, std::function<void(const QString&)> chosen) {
            ++chooserOpened;
            if (!chooserAnswer.isEmpty())
                chosen(chooserAnswer);
        });
        screen->resize(size);
        showAndSettle(*screen);
    }

    // The running copy lands in the models folder, as the real copier puts it.
    void land()
    {
        const QString destination = QDir(folder).filePath(QFileInfo(copier.sources.last()).fileName());
        QFile::copy(copier.sources.last(), destination);
        copier.finish({destination, {}});
    }
    QString message() const { return import->message() ? import->message()->title : QString(); }

    QString folder = makeTempFolder("models");
    QString source = makeTempFolder("source");
    SystemFacts::Override facts;
    FakeCopier copier;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<ModelImport> import;
    std::unique_ptr<ModelsScreen> screen;
    int backs = 0;
    int chooserOpened = 0;
    QString chooserAnswer;
};

} // namespace cvn::test
