#pragma once

#include "models/ModelCopier.h"
#include "models/ModelFitCheck.h"
#include "models/ModelInfo.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <optional>

namespace cvn {

class ModelStore;

// One copy into the models folder as the import road sees it: the running
// copy's progress, a way to stop it, and an outcome that tells a failure
// (with the reason to show) apart from a cancel.
//
// Threads: main thread only; progressChanged and the completion arrive there.
class ModelImportCopier : public QObject {
    Q_OBJECT

public:
    // A destination on success; otherwise `failure` is the reason, empty
    // when the user cancelled.
    struct Outcome {
        std::optional<QString> destination;
        QString failure;
    };
    using Completion = std::function<void(const Outcome&)>;

    using QObject::QObject;

    // Present while a copy runs; absent again before its completion runs.
    virtual std::optional<CopyProgress> progress() const = 0;
    virtual void cancel() = 0;
    virtual void start(const QString& sourcePath, Completion completion) = 0;

signals:
    void progressChanged();
};

// The road over the application's ModelCopier: a failure carries the
// copier's reason as a sentence; a cancel carries none.
class ModelCopierImport : public ModelImportCopier {
    Q_OBJECT

public:
    // `copier` must outlive this object.
    explicit ModelCopierImport(ModelCopier& copier, QObject* parent = nullptr);

    std::optional<CopyProgress> progress() const override { return m_copier.progress(); }
    void cancel() override { m_copier.cancel(); }
    void start(const QString& sourcePath, Completion completion) override;

private:
    ModelCopier& m_copier;
};

// The road by which a model file enters the models folder, from a drop or the
// file dialog: the extension and vision-adapter checks, the RAM fit check and
// its confirmation, one copy at a time, and the new record in the store.
//
// It lives at window level, not with the models screen: a copy outlives the
// screen, and one that completes while another page is shown still adds its
// model. The screen only shows this object's state (the pending warning, the
// message, the progress) and forwards the user's answers.
//
// Threads: main thread only. Memory figures come from SystemFacts, so tests
// fix them.
class ModelImport : public QObject {
    Q_OBJECT

public:
    // A file waiting for the user to confirm a RAM warning.
    struct PendingAdd {
        QUuid id;
        QString path;
        ModelFitCheck::Warning warning;
    };

    // A one-button message about a file that was not added.
    struct Message {
        QString title;
        QString body;
        friend bool operator==(const Message&, const Message&) = default;
    };

    // `store` and `copier` must outlive the import.
    ModelImport(ModelStore& store, ModelImportCopier& copier, QObject* parent = nullptr);

    const std::optional<PendingAdd>& pendingAdd() const { return m_pendingAdd; }
    const std::optional<Message>& message() const { return m_message; }
    std::optional<CopyProgress> progress() const { return m_copier.progress(); }
    bool isCopying() const { return m_copying; }

    // Whether a new file is refused now: a warning awaits its answer or a
    // copy runs. A second copy must never start behind the user's back.
    bool isBusy() const { return m_pendingAdd.has_value() || m_copying; }

    // Whether a drop of these URLs is taken: at least one local file, and
    // not busy.
    bool acceptsDrop(const QList<QUrl>& urls) const;
    // A taken drop: the first local file whose extension is "gguf" in any
    // case goes on to addFile, the rest are ignored; without one, the "Not a
    // model file" message. Returns false (and changes nothing) when refused.
    bool drop(const QList<QUrl>& urls);

    // The common entry of the drop and the file dialog: a model file that
    // may not fit asks first; any other, an image projector included, is
    // copied at once. Ignored while busy.
    void addFile(const QString& path);

    void confirmPending();
    void cancelPending();
    // Asks the running copy to stop; the outcome arrives as for any copy.
    void cancelCopy();
    void dismissMessage();

    // "Model added: arch=llama trained_ctx=4096 planned_ctx=4096 file=b.gguf"
    static QString modelAddedLine(const QString& destination, const ModelInfo& model, uint64_t freeMb);

signals:
    // Any of pendingAdd, message, progress or isCopying changed.
    void changed();

private:
    void startCopy(const QString& path);
    void copyFinished(const ModelImportCopier::Outcome& outcome, int64_t size);
    void setMessage(const QString& title, const QString& body);

    ModelStore& m_store;
    ModelImportCopier& m_copier;
    std::optional<PendingAdd> m_pendingAdd;
    std::optional<Message> m_message;
    bool m_copying = false;
};

} // namespace cvn
