#pragma once

// The user's choice of model for chatting, kept apart from the model the
// engine has loaded: which models may be picked, what a pick does, the
// context size the chat screen plans with, making the chosen model ready
// before a send, and the failure the load-failure dialog shows.
//
// Loads are ticketed: each pick or preparation takes a new ticket, and only
// the answer to the latest ticket may change the current model or report a
// failure, so a slow load that the user has already overridden never wins.
//
// A rescan keeps the id of every file the models folder knew, but a file
// removed and added again comes back under a new one, so the current and
// the loaded model are also remembered by file name and found again after
// each rescan.
//
// Main thread only. Observes the session and the store, which must outlive
// it; owns nothing.

#include "engine/LlamaSession.h"
#include "models/ModelInfo.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

class ModelStore;

class ModelSelection : public QObject {
    Q_OBJECT

public:
    struct LoadFailure {
        QString model;  // display name of the model that failed
        QString reason; // the error's description
        friend bool operator==(const LoadFailure&, const LoadFailure&) = default;
    };

    static inline const QString failureTitle = QStringLiteral("Model failed to load");
    static inline const QString failureButton = QStringLiteral("OK");

    ModelSelection(LlamaSession& session, ModelStore& store, QObject* parent = nullptr);

    // The store's models in its order, without vision adapters.
    static QList<ModelInfo> pickable(const QList<ModelInfo>& models);
    QList<ModelInfo> pickableModels() const;

    // The dialog's body for a failure.
    static QString failureBody(const LoadFailure& failure);
    // The transcript note for a picked vision adapter.
    static QString visionAdapterNote(const ModelInfo& model);

    const std::optional<QUuid>& currentModelId() const { return m_currentId; }
    std::optional<ModelInfo> currentModel() const;
    // The pill's text: the current model's display name.
    std::optional<QString> currentModelName() const;
    // Tokens the chat screen plans with: 4096 without a current model, the
    // engine's size when the current model is loaded, else the size a load
    // of it would ask for at the free memory now.
    int64_t contextSize() const;
    bool currentIsLoaded() const;

    // The picker's pick. A vision adapter gets a note in the transcript and
    // changes nothing; an id the store does not know is ignored (it could
    // load nothing, and another model would answer under its name).
    void select(const QUuid& id);
    // Before a send: `done(true)` at once when there is nothing to load (with
    // no model picked, the slot is emptied first, so the send asks for one)
    // or when the engine already has the current model coming for the chat
    // (LlamaSession::chatModelAfterWait),
    // else after the current model loaded (again, when its file changed since
    // it was loaded), with the facts of its file as it is then, as a pick
    // loads it; `done(false)` when it failed or a later pick took over.
    // Called exactly once, on the main thread.
    void prepare(std::function<void(bool)> done);

    const std::optional<LoadFailure>& loadFailure() const { return m_failure; }
    void clearLoadFailure();

signals:
    void currentModelChanged();
    void loadFailureChanged();
    // The engine's loaded model's display name, each time it changes.
    void loadedModelNameChanged(const std::optional<QString>& name);

private:
    void load(const ModelInfo& model, std::function<void(bool)> done);
    void failed(const QString& model, const QString& reason);
    void setCurrent(const std::optional<ModelInfo>& model);
    void resolveAfterRescan();
    void loadedChanged();

    LlamaSession& m_session;
    ModelStore& m_store;
    std::optional<QUuid> m_currentId;
    QString m_currentFile;
    QString m_loadedFile;
    std::optional<QString> m_loadedName;
    std::optional<LoadFailure> m_failure;
    uint64_t m_ticket = 0;
    std::function<void(bool)> m_waiting; // the latest ticket's preparation
};

} // namespace cvn
