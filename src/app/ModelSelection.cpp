#include "app/ModelSelection.h"

#include "models/ModelStore.h"
#include "models/SystemFacts.h"

#include <QPointer>

namespace cvn {

ModelSelection::ModelSelection(LlamaSession& session, ModelStore& store, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_store(store)
    , m_loadedName(session.loadedModelName())
{
    connect(&m_store, &ModelStore::modelsChanged, this, &ModelSelection::resolveAfterRescan);
    connect(&m_session, &LlamaSession::loadedModelChanged, this, &ModelSelection::loadedChanged);
    // The engine loads a model again on its own when its file changed; when
    // that fails, the user hears of it as of any failed load.
    connect(&m_session, &LlamaSession::reloadFailed, this, &ModelSelection::failed);
    loadedChanged();
}

QList<ModelInfo> ModelSelection::pickable(const QList<ModelInfo>& models)
{
    QList<ModelInfo> kept;
    for (const ModelInfo& model : models) {
        if (!model.isVisionProjector())
            kept.append(model);
    }
    return kept;
}

QList<ModelInfo> ModelSelection::pickableModels() const
{
    return pickable(m_store.models());
}

QString ModelSelection::failureBody(const LoadFailure& failure)
{
    return failure.model + QStringLiteral(" could not be loaded.\n\n") + QStringLiteral("Reason: ") + failure.reason
        + QStringLiteral(".\n\n") + QStringLiteral("Common causes: not enough free RAM for this model; the wrong kind ")
        + QStringLiteral("of file (a vision adapter, mmproj-*.gguf, is not a model); or a ")
        + QStringLiteral("corrupt or incomplete download.");
}

QString ModelSelection::visionAdapterNote(const ModelInfo& model)
{
    return (model.fileName.isEmpty() ? model.displayName : model.fileName)
        + QStringLiteral(" is a vision adapter, not a model. Load the paired main GGUF instead ")
        + QStringLiteral("(e.g. Qwen3-2B-Uncensored-Q4_K_M.gguf). Corvanthelis does not use vision ")
        + QStringLiteral("adapters yet, so this file can stay in the folder or be removed.");
}

std::optional<ModelInfo> ModelSelection::currentModel() const
{
    return m_store.model(m_currentId);
}

std::optional<QString> ModelSelection::currentModelName() const
{
    if (const auto model = currentModel())
        return model->displayName;
    return std::nullopt;
}

bool ModelSelection::currentIsLoaded() const
{
    const auto& loaded = m_session.loadedModelId();
    if (!loaded || !m_currentId)
        return false;
    if (*loaded == *m_currentId)
        return true;
    // After a rescan the engine still holds the old record's id.
    return !m_loadedFile.isEmpty() && m_loadedFile == m_currentFile;
}

int64_t ModelSelection::contextSize() const
{
    const auto model = currentModel();
    if (!model)
        return 4096;
    if (currentIsLoaded() && m_session.loadedContextSize() >= 1)
        return m_session.loadedContextSize();
    return LlamaSession::contextSizeFor(*model, uint64_t(std::max<int64_t>(0, SystemFacts::read().rig.ramFreeMb)));
}

void ModelSelection::select(const QUuid& id)
{
    const auto model = m_store.model(id);
    if (!model)
        return;
    if (model->isVisionProjector()) {
        m_session.appendAssistantNote(visionAdapterNote(*model));
        return;
    }
    setCurrent(model);
    load(*model, {});
}

void ModelSelection::prepare(std::function<void(bool)> done)
{
    const auto model = currentModel();
    const bool loaded = currentIsLoaded();
    // A loaded model whose file changed since is loaded again here, through
    // the pick's own path, rather than answering from a file that is gone;
    // like every load it takes the facts of the file that is there now.
    if (!model) {
        // The send asks for a model, as after start, whatever a council's
        // last member or another program's request left in the slot.
        done(true);
        return;
    }
    if (loaded && !m_session.loadedFileChanged()) {
        done(true);
        return;
    }
    // The engine has this model for the chat once the slot comes to it
    // (another program's request holds it, or the pick still loads): the
    // send goes now, so its question shows and is stored at once while the
    // reply waits there, instead of waiting here unseen.
    if (!loaded && m_session.chatModelAfterWait() == model->id) {
        done(true);
        return;
    }
    load(*model, std::move(done));
}

void ModelSelection::clearLoadFailure()
{
    if (!m_failure)
        return;
    m_failure.reset();
    emit loadFailureChanged();
}

void ModelSelection::load(const ModelInfo& model, std::function<void(bool)> done)
{
    const uint64_t ticket = ++m_ticket;
    // The engine drops the answer of a load that a later one replaced, so a
    // send still waiting on it is told here that it will not go out.
    if (auto superseded = std::exchange(m_waiting, std::move(done)))
        superseded(false);

    QPointer<ModelSelection> self(this);
    const QString name = model.displayName;
    m_session.loadModel(model, [self, ticket, name](const std::optional<LoadError>& error) {
        if (!self || ticket != self->m_ticket)
            return;
        auto waiting = std::exchange(self->m_waiting, {});
        // The user stopped a wait for another program: nothing failed, and
        // the pill shows what is loaded (nothing, since the load unloaded).
        if (error && error->kind() == LoadError::Kind::stopped)
            self->setCurrent(self->m_store.model(self->m_session.loadedModelId()));
        else if (error)
            self->failed(name, error->description());
        if (waiting)
            waiting(!error);
    });
}

void ModelSelection::failed(const QString& model, const QString& reason)
{
    // The engine unloaded before loading, so the pill and the engine agree
    // again on no model.
    setCurrent(m_store.model(m_session.loadedModelId()));
    m_failure = LoadFailure{model, reason};
    emit loadFailureChanged();
}

void ModelSelection::setCurrent(const std::optional<ModelInfo>& model)
{
    const std::optional<QUuid> id = model ? std::optional(model->id) : std::nullopt;
    m_currentFile = model ? model->fileName : QString();
    if (id == m_currentId)
        return;
    m_currentId = id;
    emit currentModelChanged();
}

void ModelSelection::resolveAfterRescan()
{
    if (m_currentId && !m_store.model(m_currentId)) {
        std::optional<ModelInfo> found;
        for (const ModelInfo& model : m_store.models()) {
            if (model.fileName == m_currentFile) {
                found = model;
                break;
            }
        }
        setCurrent(found);
    } else {
        emit currentModelChanged(); // its name or size may have changed
    }
}

void ModelSelection::loadedChanged()
{
    const auto& loaded = m_session.loadedModelId();
    if (!loaded)
        m_loadedFile.clear();
    else if (const auto model = m_store.model(loaded))
        m_loadedFile = model->fileName;

    if (m_session.loadedModelName() != m_loadedName) {
        m_loadedName = m_session.loadedModelName();
        emit loadedModelNameChanged(m_loadedName);
    }
}

} // namespace cvn
