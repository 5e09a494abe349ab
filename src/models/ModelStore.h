#pragma once

#include "models/ModelInfo.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <utility>

namespace cvn {

// The models in the models folder: every regular .gguf file (any letter case)
// in it or its subfolders, hidden files and folders and symlinks skipped,
// each read into a ModelInfo and sorted by display name.
//
// Threads: main thread only; a scan reads every header synchronously.
//
// The user's choices for a model (display name, context mode and size, chat
// template, instructions and sampling) are kept by file name across rescans
// and a replaced file, and saved in the folder's hidden ".model-choices.json"
// after every published change, so a relaunch finds them again. A saved
// sampling value of the wrong kind or out of its range keeps its default,
// with a warning in the log. So is each record's id within a run: a rescan keeps the
// id of every file it knew, so a selection held by id survives it. Only a
// file new to the store gets a new id. A choices file the JSON reader
// refuses is set aside, never written over (choicesNotice).
class ModelStore : public QObject {
    Q_OBJECT

public:
    // Deletes the hidden files of copies cut short in earlier runs
    // (ModelCopier::removePartialCopies), then scans `folder` (created when
    // missing) once before returning.
    explicit ModelStore(QString folder, QObject* parent = nullptr);

    // The largest manual context size taken from the saved choices: llama.cpp
    // counts positions in 32-bit signed integers. An entry whose size is not
    // a whole number from 1 to this is ignored, with a warning in the log.
    static constexpr int64_t maxManualContext = 2'147'483'647;

    // The application's store on ModelCopier::modelsDirectory(), made and
    // scanned on first use (on the main thread), alive for the whole run.
    static ModelStore& shared();

    const QString& folder() const { return m_folder; }

    const QList<ModelInfo>& models() const { return m_models; }
    // For the model form's in-place edits; publishes when the list differs.
    void setModels(QList<ModelInfo> models);

    // Rescans, and publishes when the list differs. A file the store knew
    // keeps its record's id and the user's choices; while it is the version
    // its facts were read from (ModelInfo::factsReadFrom) it keeps the record
    // as it is, else the record takes what the scan read: one whose header
    // cannot be read has no header facts.
    void reload();

    // The first record with `id`; nothing for no id or no match.
    std::optional<ModelInfo> model(const std::optional<QUuid>& id) const;

    // Sets the first matching record's display name to `name` trimmed of
    // white space and line breaks; a blank name or an unknown id changes
    // nothing. No re-sort.
    void rename(const QUuid& id, const QString& name);

    // Deletes the model's file (a regular file or a symlink inside the
    // folder, never a folder) and drops every record with that id. Nothing
    // is returned on success, for an unknown id, or when the file is already
    // gone; otherwise the error text to show, and the list stays unchanged.
    std::optional<QString> remove(const QUuid& id);

    // The path of the model's file when something exists there; nothing for
    // an empty file name.
    std::optional<QString> modelFileURL(const ModelInfo& model) const;

    // The record for a file just copied into the folder: named after the
    // file, metadata read from its header. Appended without sorting.
    ModelInfo makeModelInfo(const QString& filePath, int64_t sizeBytes);

    // `model` as its file is now, for a load: `model` itself while the file
    // is the one its facts were read from (ModelInfo::factsReadFrom), else
    // the file read again the way a scan reads it: size, header facts and
    // identity are the file's, while `model`'s id, file name, display name
    // and choices stay. The store's record with that id and file name takes
    // the new facts, keeping its own name and choices, and publishes when it
    // differs; no other record changes. A header that cannot be read gives
    // no header facts (the load then tells what the file is), and a file
    // that is gone gives `model` back as it was. One stat of the file when
    // nothing changed.
    ModelInfo upToDate(const ModelInfo& model);

    // The store's record with `model`'s id and file name takes its size,
    // header facts and identity, keeping its own display name and choices,
    // and publishes when it differs; no other record changes.
    void updateFacts(const ModelInfo& model);

    // The steps of a scan.
    QString createModelsFolder() const;
    QList<ModelInfo> scanModelsFolder() const;
    // "Qwen2.5-7B-Instruct-Q4_K_M.gguf" gives "Qwen2 5 7B Instruct Q4 K M".
    static QString displayNameFromFile(const QString& path);
    // The path below `folder` ("sub/x.gguf"), or the last component for a
    // file outside it. "/m/models2/x" is outside "/m/models".
    static QString relativeFileName(const QString& filePath, const QString& folder);
    // Case-insensitive by the locale's collation; equal names keep their order.
    static void sortByName(QList<ModelInfo>& models);

    // What the user is told once about a choices file that could not be
    // read: it is set aside as ".model-choices.json.bad-DATE" (never written
    // over), and the store starts from what a tolerant reading of it found.
    // Nothing when the file read well, or once it has been taken.
    const std::optional<QString>& choicesNotice() const { return m_choicesNotice; }
    std::optional<QString> takeChoicesNotice() { return std::exchange(m_choicesNotice, std::nullopt); }

signals:
    void modelsChanged();

private:
    QString choicesPath() const;
    QList<ModelInfo> readChoices();
    void writeChoices() const;

    QString m_folder;
    QList<ModelInfo> m_models;
    // The saved choices, until the first scan has applied them.
    QList<ModelInfo> m_stored;
    std::optional<QString> m_choicesNotice;
    // The unreadable file could not be set aside: it is never written over.
    bool m_choicesLocked = false;
};

// "Qwen", "Command-R", ...: the first architecture row the architecture starts
// with, else the first name row the name contains (both lower-cased); nothing
// when neither matches.
std::optional<QString> modelFamilyLabel(const std::optional<QString>& architecture, const QString& name);

// The model's summary line, then "  ·  " and its family label when it has one.
QString subtitle(const ModelInfo& model);

} // namespace cvn
