#include "engine/CouncilMentions.h"

#include "engine/LlamaModel.h"
#include "models/MemoryEstimates.h"
#include "platform/NumberFormat.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace cvn::CouncilMentions {

namespace {

// Unicode mode: without it PCRE2's \w is ASCII-only and "@café" would end at
// "caf".
const QRegularExpression& mentionPattern()
{
    static const QRegularExpression pattern(QStringLiteral("@([\\w\\-._\\x{00B7}]+)"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& quantisationPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("[-_.\\x{00B7}\\s]?(IQ[0-9]+[A-Z0-9_]*|Q[0-9]+[A-Z0-9_]*|BF16|F16|F32)(?=$|[-_.\\x{00B7}\\s])"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& separatorRun()
{
    static const QRegularExpression pattern(QStringLiteral("[-_.\\x{00B7}\\s]+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& whitespaceRun()
{
    static const QRegularExpression pattern(QStringLiteral("\\s+"), QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& middleDotWithSpace()
{
    static const QRegularExpression pattern(QStringLiteral("\\s*\\x{00B7}\\s*"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

// The file name without its last extension, or empty.
QString fileStem(const QString& fileName)
{
    return fileName.isEmpty() ? QString() : QFileInfo(fileName).completeBaseName();
}

// The keys a model answers to, found once per text rather than once per
// mention: its display name's, and its file stem's (empty without a stem).
struct ModelKeys {
    QString name;
    QString stem;
};

QList<ModelKeys> keysOf(const QList<ModelInfo>& models)
{
    QList<ModelKeys> keys;
    keys.reserve(models.size());
    for (const ModelInfo& model : models) {
        const QString stem = fileStem(model.fileName);
        keys.append({normalize(model.displayName), stem.isEmpty() ? QString() : normalize(stem)});
    }
    return keys;
}

std::optional<ModelInfo> resolve(const QString& key, const QList<ModelInfo>& models, const QList<ModelKeys>& keys)
{
    if (key.isEmpty())
        return std::nullopt;
    for (qsizetype i = 0; i < models.size(); ++i) {
        if (keys[i].name == key || keys[i].stem == key)
            return models[i];
    }
    return std::nullopt;
}

const QString kUnreadable = QStringLiteral("Model file corrupt or unreadable");

} // namespace

QString normalize(const QString& name)
{
    QString key = name;
    for (char16_t dash : {u'\u2013', u'\u2014', u'\u2011', u'\u2010'})
        key.replace(QChar(dash), QLatin1Char('-'));
    key.replace(QChar(u'\u00A0'), QLatin1Char(' '));
    key.remove(quantisationPattern());
    key.replace(separatorRun(), QStringLiteral(" "));
    return key.trimmed().toLower();
}

QList<Mention> mentions(const QString& text, const QList<ModelInfo>& models)
{
    QList<Mention> out;
    std::optional<QList<ModelKeys>> keys; // only once a mention is found
    for (auto it = mentionPattern().globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (!keys)
            keys = keysOf(models);
        Mention mention;
        mention.range = {match.capturedStart(0), match.capturedLength(0)};
        mention.token = match.captured(1);
        mention.model = resolve(normalize(mention.token), models, *keys);
        out.append(std::move(mention));
    }
    return out;
}

QList<ModelInfo> mentionedModels(const QString& text, const QList<ModelInfo>& models)
{
    QList<ModelInfo> out;
    QSet<QUuid> taken;
    for (const Mention& mention : mentions(text, models)) {
        if (mention.model && !taken.contains(mention.model->id)) {
            taken.insert(mention.model->id);
            out.append(*mention.model);
        }
    }
    return out;
}

QStringList unresolvedTokens(const QString& text, const QList<ModelInfo>& models)
{
    QStringList out;
    for (const Mention& mention : mentions(text, models)) {
        if (!mention.model && !normalize(mention.token).isEmpty())
            out.append(mention.token);
    }
    return out;
}

QString notFoundMessage(const QString& token, const QList<ModelInfo>& models)
{
    QStringList names;
    for (const ModelInfo& model : models.first(std::min<qsizetype>(models.size(), 6)))
        names.append(QLatin1Char('@') + model.displayName);
    const QString available = names.isEmpty() ? QStringLiteral("(none)") : names.join(QStringLiteral(", "));
    return QStringLiteral("Model @") + token + QStringLiteral(" not found. Available: ") + available;
}

QString stripMentions(const QString& text, const QList<ModelInfo>& models)
{
    QString out = text;
    const QList<Range> ranges = resolvedMentions(text, models);
    for (auto it = ranges.crbegin(); it != ranges.crend(); ++it)
        out.remove(it->location, it->length);
    out.replace(whitespaceRun(), QStringLiteral(" "));
    return out.trimmed();
}

QList<Range> resolvedMentions(const QString& text, const QList<ModelInfo>& models)
{
    QList<Range> out;
    for (const Mention& mention : mentions(text, models)) {
        if (mention.model)
            out.append(mention.range);
    }
    return out;
}

std::optional<ActiveToken> activeToken(const QString& text, qsizetype caret)
{
    const QStringView before = QStringView(text).first(std::clamp<qsizetype>(caret, 0, text.size()));
    const qsizetype at = before.lastIndexOf(u'@');
    if (at < 0)
        return std::nullopt;
    const QStringView token = before.sliced(at + 1);
    if (token.contains(u' ') || token.contains(u'\n') || token.contains(u'\r'))
        return std::nullopt;
    return ActiveToken{at, token.toString()};
}

QList<ModelInfo> completionCandidates(const QString& partialToken, const QList<ModelInfo>& models)
{
    QString needle = partialToken;
    needle.replace(QLatin1Char('_'), QLatin1Char(' '));
    if (needle.isEmpty())
        return models;
    QList<ModelInfo> out;
    QSet<QUuid> taken;
    for (const ModelInfo& model : models) {
        if (model.displayName.startsWith(needle, Qt::CaseInsensitive)) {
            taken.insert(model.id);
            out.append(model);
        }
    }
    for (const ModelInfo& model : models) {
        if (!taken.contains(model.id) && model.displayName.contains(needle, Qt::CaseInsensitive)) {
            taken.insert(model.id);
            out.append(model);
        }
    }
    return out;
}

QString mentionHandle(const QString& displayName)
{
    QString handle = displayName;
    handle.replace(middleDotWithSpace(), QStringLiteral(" "));
    handle = handle.trimmed();
    handle.replace(whitespaceRun(), QStringLiteral("_"));
    return handle;
}

QString failureReason(const LoadError& error, const ModelInfo& member)
{
    return failureReason(error, member, freeRamMb());
}

QString failureReason(const LoadError& error, const ModelInfo& member, uint64_t freeMb)
{
    if (error.kind() == LoadError::Kind::fileNotReadable)
        return kUnreadable;
    return failureReason(error.description(), member, freeMb);
}

QString failureReason(const QString& errorDescription, const ModelInfo& member)
{
    return failureReason(errorDescription, member, freeRamMb());
}

QString failureReason(const QString& errorDescription, const ModelInfo& member, uint64_t freeMb)
{
    const QString text = errorDescription.toLower();
    const auto has = [&](const char* word) { return text.contains(QLatin1String(word)); };
    if (has("memory") || has("alloc") || has("nokvslot") || has("kvslot")) {
        const int64_t neededMb = member.effectiveMetadata().requiredMemoryMb(8192, KvCacheType::f16);
        if (neededMb < 1)
            return QStringLiteral("Not enough RAM");
        return QStringLiteral("Not enough RAM (needs ~%1 GB, have %2 GB free)")
            .arg(formatFixed(double(neededMb) / 1024.0, 1), formatFixed(double(freeMb) / 1024.0, 1));
    }
    if (has("template"))
        return QStringLiteral("Chat template incompatible with this model");
    if (has("corrupt") || has("load"))
        return kUnreadable;
    return QStringLiteral("Loading failed");
}

} // namespace cvn::CouncilMentions
