#include "models/ModelStore.h"

#include "models/GgufMetadata.h"
#include "models/ModelCopier.h"
#include "platform/FileIdentity.h"
#include "platform/Logging.h"

#include <QCollator>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <utility>

namespace cvn {

namespace {

// What the user chose for a file name outlives its bytes: a rescan or a
// reread of the file keeps it.
void keepChoices(ModelInfo& m, const ModelInfo& from)
{
    m.displayName = from.displayName;
    m.chatTemplate = from.chatTemplate;
    m.contextMode = from.contextMode;
    m.contextSizeManual = from.contextSizeManual;
    m.instructions = from.instructions;
    m.sampling = from.sampling;
    m.projectorChoice = from.projectorChoice;
}

struct FamilyRow {
    const char* key;
    const char* label;
};

// Order matters: the first match wins ("chatglm" before "glm", "mixtral"
// before "mistral" among names).
constexpr FamilyRow kArchitectureRows[] = {
    {"qwen", "Qwen"},         {"llama", "Llama"},         {"gemma", "Gemma"},     {"phi", "Phi"},
    {"mistral", "Mistral"},   {"mixtral", "Mixtral"},     {"chatglm", "GLM"},     {"glm", "GLM"},
    {"baichuan", "Baichuan"}, {"olmo", "OLMo"},           {"falcon", "Falcon"},   {"command", "Command-R"},
    {"cohere", "Command-R"},  {"starcoder", "StarCoder"}, {"stablelm", "StableLM"}, {"gptneox", "GPT-NeoX"},
    {"bert", "BERT"},
};

constexpr FamilyRow kNameRows[] = {
    {"deepseek", "DeepSeek"}, {"qwen", "Qwen"},         {"llama", "Llama"},   {"gemma", "Gemma"},
    {"phi", "Phi"},           {"mixtral", "Mixtral"},   {"mistral", "Mistral"}, {"kimi", "Kimi"},
    {"chatglm", "GLM"},       {"glm", "GLM"},           {"baichuan", "Baichuan"}, {"olmo", "OLMo"},
    {"falcon", "Falcon"},     {"command-r", "Command-R"}, {"yi", "Yi"},       {"internlm", "InternLM"},
    {"starcoder", "StarCoder"},
};

// A record's file name must stay inside the folder whatever the model form
// did to it in memory: nothing absolute, nothing climbing out.
bool staysInsideFolder(const QString& fileName)
{
    if (QDir::isAbsolutePath(fileName))
        return false;
    const QStringList parts = fileName.split(u'/');
    return !parts.contains(QStringLiteral(".."));
}

// A fresh record for the file at `path`, with what one read of its header
// says; the scan and an added copy differ only in the names and size they
// hand in. The file's identity is taken before the read, so a write during
// the read counts as a change at the next load.
ModelInfo recordForFile(const QString& path, QString displayName, QString fileName, int64_t sizeBytes)
{
    ModelInfo m;
    m.factsReadFrom = FileIdentity::of(path);
    m.displayName = std::move(displayName);
    m.fileSizeBytes = sizeBytes;
    GgufMetadata::ModelFileFacts facts = GgufMetadata::readModelFile(path, QFileInfo(path).fileName());
    m.discoveredMetadata = std::move(facts.info);
    if (m.discoveredMetadata)
        m.trainedContext = m.discoveredMetadata->nCtxTrain;
    m.fileName = std::move(fileName);
    m.visionAdapterFile = facts.isProjector;
    m.projectionWidth = facts.projectionWidth;
    return m;
}

// A JSON value as the file spells it, for messages.
QString jsonText(const QJsonValue& value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

// The saved sampling choices of `file`. A value of the wrong kind or out of
// its range is refused with a warning and keeps its default; the others stay.
ModelSampling readSampling(const QJsonObject& o, const QString& file, const QString& choicesPath)
{
    ModelSampling sampling;
    const auto number = [&](const char* key, ModelSampling::Range range, bool whole) -> std::optional<double> {
        const QJsonValue value = o.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull())
            return std::nullopt;
        const double x = value.toDouble(-1);
        if (value.isDouble() && x >= range.low && x <= range.high && (!whole || x == std::floor(x)))
            return x;
        qCWarning(lcRuntime, "%s", qUtf8Printable(QStringLiteral(
            "The saved %1 for \"%2\" in %3 is ignored: %4 is not a %5 from %6 to %7.")
            .arg(QLatin1String(key), file, QDir::toNativeSeparators(choicesPath), jsonText(value),
                 whole ? QStringLiteral("whole number") : QStringLiteral("number"))
            .arg(range.low, 0, 'g', 10).arg(range.high, 0, 'g', 10)));
        return std::nullopt;
    };
    if (const auto x = number("temperature", ModelSampling::temperatureRange, false))
        sampling.temperature = float(*x);
    if (const auto x = number("topK", ModelSampling::topKRange, true))
        sampling.topK = int64_t(*x);
    if (const auto x = number("topP", ModelSampling::topPRange, false))
        sampling.topP = float(*x);
    if (const auto x = number("minP", ModelSampling::minPRange, false))
        sampling.minP = float(*x);
    if (const auto x = number("repeatPenalty", ModelSampling::repeatPenaltyRange, false))
        sampling.repeatPenalty = float(*x);
    if (const auto x = number("replyLimit", ModelSampling::replyLimitRange, true))
        sampling.replyLimit = int64_t(*x);
    if (const auto x = number("seed", ModelSampling::seedRange, true))
        sampling.seed = uint32_t(*x);
    return sampling;
}

// The choices as a hand edit may leave them, for a file the JSON reader
// refuses whole: a bare NaN or Infinity, a number past a double's range and
// a comma before a closing bracket. Each such number becomes a string, so it
// reads as a bad value of its own entry (its default stays, with the usual
// warning), and the stray comma goes. Strings are copied as they are.
QByteArray tolerantJson(const QByteArray& in)
{
    const auto isWordByte = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-'
            || c == '.';
    };
    QByteArray out;
    out.reserve(in.size() + 64);
    const qsizetype n = in.size();
    for (qsizetype i = 0; i < n;) {
        const char c = in[i];
        if (c == '"') {
            qsizetype j = i + 1;
            while (j < n && in[j] != '"')
                j += in[j] == '\\' ? 2 : 1;
            out += in.mid(i, j + 1 - i);
            i = j + 1;
        } else if (c == ',') {
            qsizetype j = i + 1;
            while (j < n && (in[j] == ' ' || in[j] == '\t' || in[j] == '\n' || in[j] == '\r'))
                ++j;
            if (j >= n || (in[j] != '}' && in[j] != ']'))
                out += c;
            ++i;
        } else if (isWordByte(c)) {
            qsizetype j = i;
            while (j < n && isWordByte(in[j]))
                ++j;
            const QByteArray word = in.mid(i, j - i);
            // Kept as it is only where the JSON reader takes it: a literal, or
            // a number in JSON's own form (not "01", "1." or "+1") that a
            // double holds.
            const bool literal = word == "true" || word == "false" || word == "null";
            const QJsonDocument alone = QJsonDocument::fromJson('[' + word + ']');
            const bool number = alone.isArray() && alone.array().first().isDouble()
                                && std::isfinite(alone.array().first().toDouble());
            if (literal || number)
                out += word;
            else
                out += '"' + word + '"';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

QJsonObject samplingJson(const ModelSampling& sampling)
{
    // Floats go out as the shortest decimal that reads back as the same
    // float: 0.8, not 0.800000011920929; nine digits always do.
    const auto decimal = [](float x) {
        for (int digits = 6;; ++digits) {
            const double shortest = QString::number(x, 'g', digits).toDouble();
            if (float(shortest) == x || digits == 9)
                return shortest;
        }
    };
    QJsonObject o{{QStringLiteral("temperature"), decimal(sampling.temperature)},
                  {QStringLiteral("topK"), qint64(sampling.topK)},
                  {QStringLiteral("topP"), decimal(sampling.topP)},
                  {QStringLiteral("minP"), decimal(sampling.minP)},
                  {QStringLiteral("repeatPenalty"), decimal(sampling.repeatPenalty)}};
    if (sampling.replyLimit)
        o.insert(QStringLiteral("replyLimit"), qint64(*sampling.replyLimit));
    if (sampling.seed)
        o.insert(QStringLiteral("seed"), qint64(*sampling.seed));
    return o;
}

} // namespace

ModelStore::ModelStore(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
{
    // What a copy killed midway left behind; no copy can be running yet.
    ModelCopier::removePartialCopies(m_folder);
    m_stored = readChoices();
    reload();
    // Every published change is written at once: the choices outlive the run.
    connect(this, &ModelStore::modelsChanged, this, &ModelStore::writeChoices);
}

QString ModelStore::choicesPath() const
{
    return QDir(m_folder).filePath(QStringLiteral(".model-choices.json"));
}

QList<ModelInfo> ModelStore::readChoices()
{
    QFile file(choicesPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    file.close();
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // Whatever the file holds is the user's work: it is set aside as it
        // is, never written over, and what a tolerant reading finds of it
        // still counts.
        const QString reason = error.error != QJsonParseError::NoError
            ? QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset)
            : QStringLiteral("not an object");
        const QString stamp = choicesPath() + QStringLiteral(".bad-")
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        QString aside = stamp;
        for (int n = 2; QFileInfo::exists(aside) && n < 100; ++n)
            aside = stamp + QLatin1Char('-') + QString::number(n);
        if (QFileInfo::exists(aside) || !QFile::rename(choicesPath(), aside)) {
            m_choicesLocked = true;
            qCWarning(lcRuntime, "%s", qUtf8Printable(QStringLiteral(
                "The model choices in %1 cannot be read (%2), nor set aside; they are not saved in this run.")
                .arg(QDir::toNativeSeparators(choicesPath()), reason)));
            m_choicesNotice = tr("The model choices file cannot be read; changes to model choices are not saved");
        } else {
            qCWarning(lcRuntime, "%s", qUtf8Printable(QStringLiteral(
                "The model choices in %1 cannot be read (%2); the file was set aside as %3.")
                .arg(QDir::toNativeSeparators(choicesPath()), reason, QDir::toNativeSeparators(aside))));
            m_choicesNotice = tr("Some model choices could not be read; the file was kept as %1")
                                  .arg(QFileInfo(aside).fileName());
        }
        document = QJsonDocument::fromJson(tolerantJson(bytes), &error);
        if (error.error != QJsonParseError::NoError)
            return {};
    }
    const QJsonObject all = document.object();
    QList<ModelInfo> stored;
    for (auto it = all.begin(); it != all.end(); ++it) {
        const QJsonObject o = it.value().toObject();
        ModelInfo m;
        m.fileName = it.key();
        m.displayName = o.value(QLatin1String("displayName")).toString();
        m.contextMode = o.value(QLatin1String("contextMode")).toString(QStringLiteral("auto"));
        const QJsonValue manual = o.value(QLatin1String("contextSizeManual"));
        if (!manual.isUndefined() && !manual.isNull()) {
            // A size the engine cannot take is refused with its entry, never
            // narrowed into some other size; the other models' choices stay.
            const double size = manual.toDouble(-1);
            if (!manual.isDouble() || size != std::floor(size) || size < 1 || size > double(maxManualContext)) {
                qCWarning(lcRuntime, "%s", qUtf8Printable(QStringLiteral(
                    "The saved choices for \"%1\" in %2 are ignored: the manual context size %3 is not a whole "
                    "number of tokens from 1 to %4.")
                    .arg(it.key(), QDir::toNativeSeparators(choicesPath()), jsonText(manual))
                    .arg(maxManualContext)));
                continue;
            }
            m.contextSizeManual = int64_t(size);
        }
        if (o.value(QLatin1String("chatTemplate")).isString())
            m.chatTemplate = o.value(QLatin1String("chatTemplate")).toString();
        m.instructions = o.value(QLatin1String("instructions")).toString();
        m.sampling = readSampling(o.value(QLatin1String("sampling")).toObject(), it.key(), choicesPath());
        m.projectorChoice = o.value(QLatin1String("projector")).toString();
        if (!m.fileName.isEmpty() && !m.displayName.trimmed().isEmpty())
            stored.append(m);
    }
    return stored;
}

void ModelStore::writeChoices() const
{
    // A file that could not be read nor set aside stays as the user left it.
    if (m_choicesLocked)
        return;
    QJsonObject all;
    for (const ModelInfo& m : m_models) {
        if (m.fileName.isEmpty() || all.contains(m.fileName))
            continue;
        QJsonObject o{{QStringLiteral("displayName"), m.displayName}, {QStringLiteral("contextMode"), m.contextMode}};
        if (m.contextSizeManual)
            o.insert(QStringLiteral("contextSizeManual"), qint64(*m.contextSizeManual));
        if (m.chatTemplate)
            o.insert(QStringLiteral("chatTemplate"), *m.chatTemplate);
        if (!m.instructions.isEmpty())
            o.insert(QStringLiteral("instructions"), m.instructions);
        if (m.sampling != ModelSampling())
            o.insert(QStringLiteral("sampling"), samplingJson(m.sampling));
        if (!m.projectorChoice.isEmpty())
            o.insert(QStringLiteral("projector"), m.projectorChoice);
        all.insert(m.fileName, o);
    }
    QSaveFile file(choicesPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(all).toJson()) < 0 || !file.commit())
        qCWarning(lcRuntime, "could not save the model choices: %s", qUtf8Printable(file.errorString()));
}

ModelStore& ModelStore::shared()
{
    static ModelStore store(ModelCopier::modelsDirectory());
    return store;
}

void ModelStore::setModels(QList<ModelInfo> models)
{
    if (models == m_models)
        return;
    m_models = std::move(models);
    emit modelsChanged();
}

void ModelStore::reload()
{
    QHash<QString, const ModelInfo*> known;
    for (const ModelInfo& m : std::as_const(m_models)) {
        if (!known.contains(m.fileName))
            known.insert(m.fileName, &m);
    }
    // What an earlier run saved counts for files this run has not seen yet.
    QHash<QString, const ModelInfo*> saved;
    for (const ModelInfo& m : std::as_const(m_stored))
        saved.insert(m.fileName, &m);
    QList<ModelInfo> scanned = scanModelsFolder();
    for (ModelInfo& m : scanned) {
        if (const ModelInfo* before = known.value(m.fileName)) {
            // The same version of the file keeps its record, whose facts may
            // have come from a load; another version takes what the scan
            // read. Either way it keeps its id, so a selection held by id
            // survives, and the user's choices.
            if (before->factsReadFrom && before->factsReadFrom == m.factsReadFrom) {
                m = *before;
                continue;
            }
            m.id = before->id;
            keepChoices(m, *before);
        } else if (const ModelInfo* stored = saved.value(m.fileName)) {
            keepChoices(m, *stored);
        }
    }
    m_stored.clear();
    if (scanned == m_models)
        return;
    m_models = std::move(scanned);
    emit modelsChanged();
}

std::optional<ModelInfo> ModelStore::model(const std::optional<QUuid>& id) const
{
    if (!id)
        return std::nullopt;
    for (const ModelInfo& m : m_models) {
        if (m.id == *id)
            return m;
    }
    return std::nullopt;
}

void ModelStore::rename(const QUuid& id, const QString& name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return;
    for (ModelInfo& m : m_models) {
        if (m.id != id)
            continue;
        if (m.displayName == trimmed)
            return;
        m.displayName = trimmed;
        emit modelsChanged();
        return;
    }
}

std::optional<QString> ModelStore::remove(const QUuid& id)
{
    const std::optional<ModelInfo> found = model(id);
    if (!found)
        return std::nullopt;
    if (!found->fileName.isEmpty()) {
        if (!staysInsideFolder(found->fileName))
            return tr("“%1” is not in the models folder, so it was not deleted.").arg(found->fileName);
        // Looked at without following links: a symlink is removed itself, never
        // its target, and a dangling one still goes.
        const QFileInfo item(QDir(m_folder).filePath(found->fileName));
        if (item.isSymLink() || item.isFile()) {
            QFile file(item.filePath());
            if (!file.remove())
                return file.errorString();
        } else if (item.exists()) {
            return tr("“%1” is not a model file, so it was not deleted.").arg(found->fileName);
        }
    }
    m_models.removeIf([&](const ModelInfo& m) { return m.id == id; });
    emit modelsChanged();
    return std::nullopt;
}

std::optional<QString> ModelStore::modelFileURL(const ModelInfo& model) const
{
    if (model.fileName.isEmpty())
        return std::nullopt;
    const QString path = QDir(m_folder).filePath(model.fileName);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return path;
}

ModelInfo ModelStore::makeModelInfo(const QString& filePath, int64_t sizeBytes)
{
    const QString name = QFileInfo(filePath).fileName();
    ModelInfo m = recordForFile(filePath, ModelCopier::splitExtension(name).first, name, sizeBytes);
    m_models.append(m);
    emit modelsChanged();
    return m;
}

ModelInfo ModelStore::upToDate(const ModelInfo& model)
{
    const std::optional<QString> path = modelFileURL(model);
    if (!path)
        return model;
    const std::optional<FileIdentity> now = FileIdentity::of(*path);
    if (now && now == model.factsReadFrom)
        return model;
    ModelInfo fresh = recordForFile(*path, model.displayName, model.fileName, QFileInfo(*path).size());
    fresh.id = model.id;
    keepChoices(fresh, model);
    updateFacts(fresh);
    return fresh;
}

void ModelStore::updateFacts(const ModelInfo& model)
{
    for (ModelInfo& m : m_models) {
        if (m.id != model.id || m.fileName != model.fileName)
            continue;
        ModelInfo listed = model;
        keepChoices(listed, m);
        if (m != listed) {
            m = listed;
            emit modelsChanged();
        }
        return;
    }
}

QString ModelStore::createModelsFolder() const
{
    if (!QFileInfo::exists(m_folder) && !QDir().mkpath(m_folder))
        qCCritical(lcRuntime, "could not create the models folder: %s", qUtf8Printable(m_folder));
    return m_folder;
}

QList<ModelInfo> ModelStore::scanModelsFolder() const
{
    const QString folder = createModelsFolder();
    QList<ModelInfo> models;
    // Without QDir::Hidden the iterator leaves out hidden files and does not
    // descend into hidden folders; it does list symlinks, which are not
    // regular files and are skipped below.
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.suffix().compare(QLatin1String("gguf"), Qt::CaseInsensitive) != 0)
            continue;
        if (info.isSymLink() || !info.isFile())
            continue;
        const QString path = info.filePath();
        models.append(recordForFile(path, displayNameFromFile(path), relativeFileName(path, folder), info.size()));
    }
    sortByName(models);
    return models;
}

QString ModelStore::displayNameFromFile(const QString& path)
{
    const QString stem = ModelCopier::splitExtension(QFileInfo(path).fileName()).first;
    QString spaced = stem;
    spaced.replace(u'_', u' ').replace(u'-', u' ').replace(u'.', u' ');
    const QStringList pieces = spaced.split(u' ', Qt::SkipEmptyParts);
    return pieces.isEmpty() ? stem : pieces.join(u' ');
}

QString ModelStore::relativeFileName(const QString& filePath, const QString& folder)
{
    const QString file = QDir::cleanPath(QFileInfo(filePath).absoluteFilePath());
    const QString dir = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    // The prefix must end at a component boundary, or "/m/models2/x.gguf"
    // would count as inside "/m/models".
    const bool inside = file.startsWith(dir)
        && (dir.endsWith(u'/') || (file.size() > dir.size() && file.at(dir.size()) == u'/'));
    if (!inside)
        return QFileInfo(file).fileName();
    qsizetype start = dir.size();
    while (start < file.size() && file.at(start) == u'/')
        ++start;
    return file.mid(start);
}

void ModelStore::sortByName(QList<ModelInfo>& models)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(models.begin(), models.end(), [&](const ModelInfo& a, const ModelInfo& b) {
        return collator.compare(a.displayName, b.displayName) < 0;
    });
}

std::optional<QString> modelFamilyLabel(const std::optional<QString>& architecture, const QString& name)
{
    const QString arch = architecture.value_or(QString()).toLower();
    if (!arch.isEmpty()) {
        for (const FamilyRow& row : kArchitectureRows) {
            if (arch.startsWith(QLatin1String(row.key)))
                return QString::fromLatin1(row.label);
        }
    }
    const QString lowerName = name.toLower();
    for (const FamilyRow& row : kNameRows) {
        if (lowerName.contains(QLatin1String(row.key)))
            return QString::fromLatin1(row.label);
    }
    return std::nullopt;
}

QString subtitle(const ModelInfo& model)
{
    std::optional<QString> architecture;
    if (model.discoveredMetadata)
        architecture = model.discoveredMetadata->architecture;
    const QString name = model.fileName.isEmpty() ? model.displayName : model.fileName;
    const std::optional<QString> label = modelFamilyLabel(architecture, name);
    if (!label)
        return model.summaryLine();
    return model.summaryLine() + QStringLiteral("  ·  ") + *label;
}

} // namespace cvn
