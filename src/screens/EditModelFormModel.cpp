#include "screens/EditModelFormModel.h"

#include "models/MemoryEstimates.h"
#include "models/ModelCopier.h"
#include "models/ProjectorPairing.h"
#include "models/SystemFacts.h"
#include "platform/Unicode.h"

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

constexpr int64_t kFirstStep = 2048;
constexpr int64_t kLastStep = 131072;
constexpr int64_t kUnknownTrained = 32768;

// The file's name without folders and without its last extension: the name
// the user gave the file, whatever subfolder of the models folder it sits in.
QString baseNameOf(const QString& fileName)
{
    const QString last = fileName.section(u'/', -1);
    return ModelCopier::splitExtension(last).first;
}

} // namespace

EditModelFormModel::EditModelFormModel(const ModelInfo& model, QObject* parent)
    : EditModelFormModel(model, Projectors{}, parent)
{
}

EditModelFormModel::EditModelFormModel(const ModelInfo& model, uint64_t freeMb, QObject* parent)
    : EditModelFormModel(model, Projectors{}, freeMb, std::nullopt, parent)
{
}

EditModelFormModel::EditModelFormModel(const ModelInfo& model, const Projectors& projectors, QObject* parent)
    : EditModelFormModel(model, projectors, SystemFacts::read(), parent)
{
}

EditModelFormModel::EditModelFormModel(const ModelInfo& model, const Projectors& projectors, const SystemFacts& facts,
                                       QObject* parent)
    : EditModelFormModel(model, projectors, static_cast<uint64_t>(std::max<int64_t>(0, facts.rig.ramFreeMb)),
                         ModelFitCheck::offloadGpu(facts), parent)
{
}

EditModelFormModel::EditModelFormModel(const ModelInfo& model, const Projectors& projectors, uint64_t freeMb,
                                       const std::optional<ModelFitCheck::Gpu>& gpu, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_info(model.effectiveMetadata())
    , m_freeMb(freeMb)
    , m_gpu(gpu)
    , m_all(projectors.all)
    , m_fitting(ProjectorPairing::fitting(model, projectors.all))
    , m_projectorChoice(model.projectorChoice)
{
    for (const ModelInfo& projector : std::as_const(m_fitting))
        m_projectorMb.insert(projector.fileName, projectors.memoryMb ? projectors.memoryMb(projector) : 0);
    m_trained = m_info.nCtxTrain > 0 ? m_info.nCtxTrain : kUnknownTrained;
    m_steps = stepsFor(m_trained);
    m_autoContext = autoContextForRam(m_info, m_freeMb).contextSize;
    m_cleanedName = model.displayName;
    m_originalName = baseNameOf(model.fileName);
    m_name = model.displayName;
    m_manual = model.contextMode == QLatin1String("manual");
    const int64_t target = model.contextSizeManual.value_or(m_autoContext);
    const auto it = std::find_if(m_steps.cbegin(), m_steps.cend(), [&](int64_t s) { return s >= target; });
    m_stepIndex = it == m_steps.cend() ? int(m_steps.size()) - 1 : int(it - m_steps.cbegin());
    m_templateIndex = templateIndexForSetting(model.chatTemplate);
    m_instructions = model.instructions;
    m_sampling = model.sampling;
}

ModelSampling::Range EditModelFormModel::rangeOf(Setting setting)
{
    switch (setting) {
    case Setting::temperature:
        return ModelSampling::temperatureRange;
    case Setting::topK:
        return ModelSampling::topKRange;
    case Setting::topP:
        return ModelSampling::topPRange;
    case Setting::minP:
        return ModelSampling::minPRange;
    case Setting::repeatPenalty:
        return ModelSampling::repeatPenaltyRange;
    case Setting::replyLimit:
        return ModelSampling::replyLimitRange;
    case Setting::seed:
        return ModelSampling::seedRange;
    }
    return {0, 0};
}

bool EditModelFormModel::isWhole(Setting setting)
{
    return setting == Setting::topK || setting == Setting::replyLimit || setting == Setting::seed;
}

QString EditModelFormModel::refusal(Setting setting)
{
    const ModelSampling::Range range = rangeOf(setting);
    return QStringLiteral("Enter a %1 from %2 to %3.")
        .arg(isWhole(setting) ? QStringLiteral("whole number") : QStringLiteral("number"))
        .arg(range.low, 0, 'g', 10)
        .arg(range.high, 0, 'g', 10);
}

QString EditModelFormModel::valueText(Setting setting) const
{
    switch (setting) {
    case Setting::temperature:
        return QString::number(m_sampling.temperature);
    case Setting::topK:
        return QString::number(m_sampling.topK);
    case Setting::topP:
        return QString::number(m_sampling.topP);
    case Setting::minP:
        return QString::number(m_sampling.minP);
    case Setting::repeatPenalty:
        return QString::number(m_sampling.repeatPenalty);
    case Setting::replyLimit:
        return m_sampling.replyLimit ? QString::number(*m_sampling.replyLimit) : QString();
    case Setting::seed:
        return m_sampling.seed ? QString::number(*m_sampling.seed) : QString();
    }
    return {};
}

void EditModelFormModel::setInstructions(const QString& text)
{
    // Counting characters walks the whole text: only a text with more code
    // units than the limit can be over it.
    const QString capped = text.size() > ModelInfo::maxInstructions
                                   && GraphemeIndex(text).size() > ModelInfo::maxInstructions
                               ? prefixCharacters(ModelInfo::maxInstructions, text)
                               : text;
    if (capped == m_instructions)
        return;
    m_instructions = capped;
    emit changed();
}

bool EditModelFormModel::setTyped(Setting setting, const QString& text)
{
    bool ok = false;
    const double x = text.trimmed().toDouble(&ok);
    const ModelSampling::Range range = rangeOf(setting);
    if (!ok || !(x >= range.low && x <= range.high) || (isWhole(setting) && x != std::floor(x)))
        return false;
    ModelSampling s = m_sampling;
    switch (setting) {
    case Setting::temperature:
        s.temperature = float(x);
        break;
    case Setting::topK:
        s.topK = int64_t(x);
        break;
    case Setting::topP:
        s.topP = float(x);
        break;
    case Setting::minP:
        s.minP = float(x);
        break;
    case Setting::repeatPenalty:
        s.repeatPenalty = float(x);
        break;
    case Setting::replyLimit:
        s.replyLimit = int64_t(x);
        break;
    case Setting::seed:
        s.seed = uint32_t(x);
        break;
    }
    if (s != m_sampling) {
        m_sampling = s;
        emit changed();
    }
    return true;
}

void EditModelFormModel::setLimitFixed(bool fixed)
{
    if (fixed == m_sampling.replyLimit.has_value())
        return;
    m_sampling.replyLimit = fixed ? std::optional<int64_t>(kFixedLimitStart) : std::nullopt;
    emit changed();
}

void EditModelFormModel::setSeedFixed(bool fixed)
{
    if (fixed == m_sampling.seed.has_value())
        return;
    m_sampling.seed = fixed ? std::optional<uint32_t>(0) : std::nullopt;
    emit changed();
}

void EditModelFormModel::restoreSamplingDefaults()
{
    if (m_sampling == ModelSampling())
        return;
    m_sampling = ModelSampling();
    emit changed();
}

const QStringList& EditModelFormModel::chatTemplateChoices()
{
    static const QStringList choices = {
        QStringLiteral("Auto-detect"), QStringLiteral("ChatML"),   QStringLiteral("Qwen"),
        QStringLiteral("Llama"),       QStringLiteral("Mistral"),  QStringLiteral("DeepSeek"),
        QStringLiteral("Gemma"),       QStringLiteral("Phi"),      QStringLiteral("GLM"),
        QStringLiteral("Kimi"),        QStringLiteral("Command-R"), QStringLiteral("Yi"),
        QStringLiteral("InternLM"),    QStringLiteral("Baichuan"), QStringLiteral("OLMo"),
        QStringLiteral("Falcon"),
    };
    return choices;
}

int EditModelFormModel::templateIndexForSetting(const std::optional<QString>& setting)
{
    if (!setting || setting->isEmpty())
        return 0;
    const QStringList& choices = chatTemplateChoices();
    for (int i = 1; i < choices.size(); ++i) {
        if (choices[i].compare(*setting, Qt::CaseInsensitive) == 0)
            return i;
    }
    return 0;
}

QList<int64_t> EditModelFormModel::stepsFor(int64_t trained)
{
    const int64_t limit = std::min(trained, kLastStep);
    QList<int64_t> steps;
    for (int64_t value = kFirstStep; value <= limit; value *= 2)
        steps.append(value);
    if (steps.isEmpty())
        steps.append(kFirstStep);
    return steps;
}

QString EditModelFormModel::capName(const QString& name)
{
    // Cheap exit first: a name of at most 80 code units has at most 80 characters.
    if (name.size() <= kNameLimit)
        return name;
    const GraphemeIndex clusters(name);
    if (clusters.size() <= kNameLimit)
        return name;
    return name.left(clusters.offset(kNameLimit));
}

void EditModelFormModel::chooseNameMode(NameMode mode)
{
    m_nameMode = mode;
    if (mode == NameMode::Auto)
        m_name = m_cleanedName;
    else if (mode == NameMode::Original)
        m_name = capName(m_originalName);
    emit changed();
}

void EditModelFormModel::setName(const QString& name)
{
    const QString capped = capName(name);
    if (capped == m_name)
        return;
    m_name = capped;
    emit changed();
}

void EditModelFormModel::setManual(bool manual)
{
    if (manual == m_manual)
        return;
    m_manual = manual;
    emit changed();
}

void EditModelFormModel::setStepIndex(int index)
{
    if (index == m_stepIndex)
        return;
    m_stepIndex = index;
    emit changed();
}

void EditModelFormModel::setTemplateIndex(int index)
{
    if (index == m_templateIndex)
        return;
    m_templateIndex = index;
    emit changed();
}

QStringList EditModelFormModel::projectorChoices() const
{
    if (m_fitting.isEmpty())
        return {};
    ModelInfo automatic = m_model;
    automatic.projectorChoice.clear();
    const std::optional<ModelInfo> best = ProjectorPairing::projectorFor(automatic, m_all);
    QStringList choices{QStringLiteral("Automatic \u2014 ") + (best ? best->displayName : QString())};
    for (const ModelInfo& projector : m_fitting)
        choices.append(projector.displayName);
    choices.append(QStringLiteral("None"));
    return choices;
}

int EditModelFormModel::projectorIndex() const
{
    if (m_projectorChoice == ModelInfo::noProjector)
        return int(m_fitting.size()) + 1;
    for (qsizetype i = 0; i < m_fitting.size(); ++i) {
        if (!m_projectorChoice.isEmpty() && m_fitting[i].fileName == m_projectorChoice)
            return int(i) + 1;
    }
    return 0;
}

void EditModelFormModel::setProjectorIndex(int index)
{
    if (m_fitting.isEmpty() || index < 0 || index > m_fitting.size() + 1 || index == projectorIndex())
        return;
    if (index == 0)
        m_projectorChoice.clear();
    else if (index == m_fitting.size() + 1)
        m_projectorChoice = ModelInfo::noProjector;
    else
        m_projectorChoice = m_fitting[index - 1].fileName;
    emit changed();
}

std::optional<ModelInfo> EditModelFormModel::projectorInUse() const
{
    ModelInfo chosen = m_model;
    chosen.projectorChoice = m_projectorChoice;
    return ProjectorPairing::projectorFor(chosen, m_all);
}

int64_t EditModelFormModel::projectorMb() const
{
    const std::optional<ModelInfo> projector = projectorInUse();
    return projector ? m_projectorMb.value(projector->fileName) : 0;
}

QString EditModelFormModel::projectorCaption() const
{
    if (m_fitting.isEmpty())
        return QStringLiteral("No projector in the models folder fits this model, so it reads images as text.");
    if (!projectorInUse())
        return QStringLiteral("Images reach this model as the text read from them.");
    return QStringLiteral("Sees images; the projector uses ~%1 MB more RAM").arg(projectorMb());
}

int64_t EditModelFormModel::selectedContext() const
{
    const int index = std::clamp(m_stepIndex, 0, int(m_steps.size()) - 1);
    return m_steps[index];
}

int64_t EditModelFormModel::extraMb(int64_t context) const
{
    return std::max<int64_t>(0, m_info.kvCacheMb(context, KvCacheType::f16));
}

int64_t EditModelFormModel::needMb() const
{
    // The add flow's figure at this context: what stays in RAM once the GPU
    // has taken what it has room for.
    const int64_t model = m_info.fileSizeMb + extraMb(selectedContext()) + kRuntimeOverheadMb;
    return ModelFitCheck::need(model, projectorMb(), m_info, m_gpu).ramMb;
}

bool EditModelFormModel::showsRamWarning() const
{
    return m_manual && int64_t(m_freeMb) < needMb();
}

QString EditModelFormModel::ramWarning() const
{
    return QString::asprintf("Not enough free RAM (need ~%.1f GB, have %.1f GB) — may fail to load",
                             double(needMb()) / 1024.0, double(m_freeMb) / 1024.0);
}

QString EditModelFormModel::autoCaption() const
{
    return QStringLiteral("Current: %1 tokens (uses ~%2 MB extra RAM)").arg(m_autoContext).arg(extraMb(m_autoContext));
}

QString EditModelFormModel::manualCaption() const
{
    const int64_t context = selectedContext();
    return QStringLiteral("%1 / %2  —  uses ~%3 MB extra RAM").arg(context).arg(m_steps.last()).arg(extraMb(context));
}

QString EditModelFormModel::trainedCaption() const
{
    return QStringLiteral("Model was trained for up to %1 tokens").arg(m_trained);
}

ModelInfo EditModelFormModel::apply(const ModelInfo& m) const
{
    ModelInfo out = m;
    const QString trimmed = m_name.trimmed();
    if (!trimmed.isEmpty())
        out.displayName = trimmed;
    out.contextMode = m_manual ? QStringLiteral("manual") : QStringLiteral("auto");
    out.contextSizeManual = m_manual ? std::optional<int64_t>(selectedContext()) : std::nullopt;
    out.chatTemplate = m_templateIndex >= 1 && m_templateIndex < chatTemplateChoices().size()
                           ? std::optional<QString>(chatTemplateChoices()[m_templateIndex])
                           : std::nullopt;
    out.instructions = m_instructions;
    out.sampling = m_sampling;
    out.projectorChoice = m_projectorChoice;
    return out;
}

} // namespace cvn
