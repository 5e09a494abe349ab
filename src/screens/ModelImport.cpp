#include "screens/ModelImport.h"

#include "models/GgufMetadata.h"
#include "models/MemoryEstimates.h"
#include "models/ProjectorMemory.h"
#include "models/ModelStore.h"
#include "models/ProjectorPairing.h"
#include "models/SystemFacts.h"
#include "platform/Logging.h"

#include <QFileInfo>

#include <algorithm>

namespace cvn {

namespace {

uint64_t megabytes(int64_t mb)
{
    return uint64_t(std::max<int64_t>(0, mb));
}

} // namespace

ModelCopierImport::ModelCopierImport(ModelCopier& copier, QObject* parent)
    : ModelImportCopier(parent)
    , m_copier(copier)
{
    connect(&m_copier, &ModelCopier::progressChanged, this, &ModelImportCopier::progressChanged);
}

void ModelCopierImport::start(const QString& sourcePath, Completion completion)
{
    QPointer<ModelCopier> copier(&m_copier);
    m_copier.importModel(sourcePath, [copier, completion = std::move(completion)](std::optional<QString> destination) {
        Outcome outcome{destination, {}};
        if (!destination && copier && !copier->lastFailure().isEmpty()) {
            // The copier words its reasons as clauses for the log; the dialog
            // shows one as a sentence.
            QString reason = copier->lastFailure();
            reason[0] = reason[0].toUpper();
            outcome.failure = reason.endsWith(u'.') ? reason : reason + u'.';
        }
        if (completion)
            completion(outcome);
    });
}

ModelImport::ModelImport(ModelStore& store, ModelImportCopier& copier, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_copier(copier)
{
    connect(&m_copier, &ModelImportCopier::progressChanged, this, &ModelImport::changed);
}

bool ModelImport::acceptsDrop(const QList<QUrl>& urls) const
{
    if (isBusy())
        return false;
    return std::any_of(urls.cbegin(), urls.cend(), [](const QUrl& url) { return url.isLocalFile(); });
}

bool ModelImport::drop(const QList<QUrl>& urls)
{
    if (!acceptsDrop(urls))
        return false;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (QFileInfo(path).suffix().toLower() == QLatin1String("gguf")) {
            addFile(path);
            return true;
        }
    }
    setMessage(QStringLiteral("Not a model file"),
               QStringLiteral("Drop a .gguf file to add it. Nothing else can be loaded here."));
    return true;
}

void ModelImport::addFile(const QString& path)
{
    if (isBusy())
        return;
    const QFileInfo file(path);
    const QString fileName = file.fileName();
    // An image projector is copied as a model is; its memory counts with the
    // model that sees through it, so it asks nothing by itself.
    if (GgufMetadata::isProjectorFile(path, fileName)) {
        startCopy(path);
        return;
    }
    const SystemFacts facts = SystemFacts::read();
    const QString name = ModelCopier::splitExtension(fileName).first;
    // The model will see images through the folder's projector that fits
    // it, which loads beside it.
    ModelInfo incoming;
    incoming.displayName = name;
    incoming.fileName = fileName;
    incoming.discoveredMetadata = GgufMetadata::read(path);
    const std::optional<ModelInfo> projector = ProjectorPairing::projectorFor(incoming, m_store.models());
    const int64_t projectorMb = projector ? projectorMemoryMb(m_store.folder() + u'/' + projector->fileName) : 0;
    std::optional<ModelFitCheck::Warning> warning = ModelFitCheck::warning(
        path, name, megabytes(facts.rig.ramFreeMb), megabytes(facts.rig.ramTotalMb), incoming.discoveredMetadata,
        ModelFitCheck::offloadGpu(facts), projectorMb);
    if (warning) {
        m_pendingAdd = PendingAdd{QUuid::createUuid(), path, std::move(*warning)};
        emit changed();
        return;
    }
    startCopy(path);
}

void ModelImport::confirmPending()
{
    if (!m_pendingAdd)
        return;
    const QString path = m_pendingAdd->path;
    m_pendingAdd.reset();
    startCopy(path);
}

void ModelImport::cancelPending()
{
    if (!m_pendingAdd)
        return;
    m_pendingAdd.reset();
    emit changed();
}

void ModelImport::cancelCopy()
{
    if (m_copying)
        m_copier.cancel();
}

void ModelImport::dismissMessage()
{
    if (!m_message)
        return;
    m_message.reset();
    emit changed();
}

void ModelImport::setMessage(const QString& title, const QString& body)
{
    m_message = Message{title, body};
    emit changed();
}

void ModelImport::startCopy(const QString& path)
{
    // An unreadable size still copies; the record then says 0 bytes.
    const QFileInfo file(path);
    const int64_t size = file.exists() ? std::max<int64_t>(0, file.size()) : 0;
    m_copying = true;
    QPointer<ModelImport> self(this);
    m_copier.start(path, [self, size](const ModelImportCopier::Outcome& outcome) {
        if (self)
            self->copyFinished(outcome, size);
    });
    emit changed();
}

void ModelImport::copyFinished(const ModelImportCopier::Outcome& outcome, int64_t size)
{
    m_copying = false;
    if (outcome.destination) {
        const ModelInfo added = m_store.makeModelInfo(*outcome.destination, size);
        const uint64_t freeMb = megabytes(SystemFacts::read().rig.ramFreeMb);
        qCInfo(lcRuntime).noquote() << modelAddedLine(*outcome.destination, added, freeMb);
    } else if (!outcome.failure.isEmpty()) {
        // A cancel is the user's own doing and stays silent; a failure is not.
        setMessage(QStringLiteral("Could not add that file"), outcome.failure);
        return;
    }
    emit changed();
}

QString ModelImport::modelAddedLine(const QString& destination, const ModelInfo& model, uint64_t freeMb)
{
    const std::optional<GgufInfo> header = GgufMetadata::read(destination);
    const int64_t planned = autoContextForRam(model.effectiveMetadata(), freeMb).contextSize;
    return QStringLiteral("Model added: arch=%1 trained_ctx=%2 planned_ctx=%3 file=%4")
        .arg(header ? header->architecture : QStringLiteral("unknown"))
        .arg(header ? header->nCtxTrain : 0)
        .arg(planned)
        .arg(QFileInfo(destination).fileName());
}

} // namespace cvn
