#pragma once

#include "models/GgufInfo.h"
#include "models/ModelFitCheck.h"
#include "models/ModelInfo.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

// The state of the model edit form, apart from any widget: the name source
// and text, automatic or manual context with its slider position, the chat
// template, the instructions and the sampling settings, plus the figures
// shown beside them. Built once from one
// model; the figures (steps, trained and automatic context, free memory) are
// fixed at that moment and never refreshed while the form is open.
//
// Nothing reaches the model list until the host hands a record to apply().
// Threads: main thread only. changed() follows every change of the editable
// values, so the form's widget redraws from it.
class EditModelFormModel : public QObject {
    Q_OBJECT

public:
    enum class NameMode { Auto, Original, Custom };
    // The sampling settings typed as numbers.
    enum class Setting { temperature, topK, topP, minP, repeatPenalty, replyLimit, seed };
    // The reply length limit a switch to a fixed one starts from.
    static constexpr int64_t kFixedLimitStart = 2048;

    // The most user-perceived characters a display name keeps.
    static constexpr int kNameLimit = 80;
    // Memory the runtime needs beside weights and cache, in MB.
    static constexpr int64_t kRuntimeOverheadMb = 400 + 780;

    // The models folder's records, among which the projectors the model may
    // see images through are found, and what each of those takes in memory
    // (projectorMemoryMb of its file).
    struct Projectors {
        QList<ModelInfo> all;
        std::function<int64_t(const ModelInfo& projector)> memoryMb;
    };

    // Reads the free memory, and the GPU a load would offload to, once
    // through SystemFacts.
    explicit EditModelFormModel(const ModelInfo& model, QObject* parent = nullptr);
    EditModelFormModel(const ModelInfo& model, uint64_t freeMb, QObject* parent = nullptr);
    EditModelFormModel(const ModelInfo& model, const Projectors& projectors, QObject* parent = nullptr);
    // `gpu`: the GPU that takes the layers it has room for (none: all in RAM).
    EditModelFormModel(const ModelInfo& model, const Projectors& projectors, uint64_t freeMb,
                       const std::optional<ModelFitCheck::Gpu>& gpu = std::nullopt, QObject* parent = nullptr);

    // The 16 template labels; index 0 ("Auto-detect") stores no template.
    static const QStringList& chatTemplateChoices();
    // The index of a stored template, ignoring case; 0 for none or no match.
    static int templateIndexForSetting(const std::optional<QString>& setting);
    // 2048, 4096, ... up to `trained` and never above 131072; [2048] when
    // `trained` is below 2048.
    static QList<int64_t> stepsFor(int64_t trained);
    // `name` cut to its first kNameLimit user-perceived characters.
    static QString capName(const QString& name);

    NameMode nameMode() const { return m_nameMode; }
    const QString& name() const { return m_name; }
    bool manual() const { return m_manual; }
    int stepIndex() const { return m_stepIndex; }
    int templateIndex() const { return m_templateIndex; }

    const ModelInfo& model() const { return m_model; }
    const GgufInfo& info() const { return m_info; }
    const QList<int64_t>& steps() const { return m_steps; }
    int64_t trained() const { return m_trained; }
    int64_t autoContext() const { return m_autoContext; }
    const QString& cleanedName() const { return m_cleanedName; }
    const QString& originalName() const { return m_originalName; }
    uint64_t freeMb() const { return m_freeMb; }

    const QString& instructions() const { return m_instructions; }
    const ModelSampling& sampling() const { return m_sampling; }
    static ModelSampling::Range rangeOf(Setting setting);
    // Whether the setting takes whole numbers only.
    static bool isWhole(Setting setting);
    // What a field shows under a typed value out of range: "Enter a number
    // from 0 to 2.", "Enter a whole number from 0 to 200."
    static QString refusal(Setting setting);
    // The setting's value as its field shows it; empty for an automatic
    // limit or a random seed.
    QString valueText(Setting setting) const;

    // The radio choices: auto and original also write the name; custom keeps it.
    void chooseNameMode(NameMode mode);
    // Typed text; longer than kNameLimit characters is cut at once.
    void setName(const QString& name);
    void setManual(bool manual);
    void setStepIndex(int index);
    void setTemplateIndex(int index);
    // At most ModelInfo::maxInstructions characters; longer is cut.
    void setInstructions(const QString& text);
    // A typed value, taken when it is a number within the setting's range
    // (whole where the setting counts); false, with nothing changed, when it
    // is not. A limit or seed typed in makes it fixed.
    bool setTyped(Setting setting, const QString& text);
    void setLimitFixed(bool fixed);
    void setSeedFixed(bool fixed);
    // Every sampling setting back to its default; the instructions stay.
    void restoreSamplingDefaults();

    // The IMAGES section: none for a projector itself.
    bool showsImages() const { return !m_model.isVisionProjector(); }
    // Whether any projector fits, so there is a choice to make.
    bool offersProjectors() const { return !m_fitting.isEmpty(); }
    // "Automatic — NAME", each fitting projector's name, "None"; empty when
    // none fits.
    QStringList projectorChoices() const;
    // The choice on show; a chosen projector no longer there shows as
    // automatic, as it acts, until another is chosen.
    int projectorIndex() const;
    void setProjectorIndex(int index);
    const QString& projectorChoice() const { return m_projectorChoice; }
    // The projector the model would see images through with the choice now.
    std::optional<ModelInfo> projectorInUse() const;
    // Its memory in MB; 0 without one.
    int64_t projectorMb() const;
    // The line under the choice: the projector's memory, what "None" means,
    // or why there is no choice.
    QString projectorCaption() const;

    // The step at stepIndex, the index clamped into the list.
    int64_t selectedContext() const;
    // The cache's extra memory at `context` tokens with an f16 cache; 0 when
    // no estimate can be made.
    int64_t extraMb(int64_t context) const;
    // What file, cache at the selected context, runtime overhead and the
    // projector in use keep in RAM, in MB, placed as the add flow places
    // them (ModelFitCheck::need): what the GPU takes is left out.
    int64_t needMb() const;
    // Manual mode and less free memory than needMb().
    bool showsRamWarning() const;
    QString ramWarning() const;

    // The captions of the context section.
    QString autoCaption() const;     // "Current: 4096 tokens (uses ~512 MB extra RAM)"
    QString manualCaption() const;   // "8192 / 32768  —  uses ~1024 MB extra RAM"
    QString trainedCaption() const;  // "Model was trained for up to 32768 tokens"

    // `m` with the form's name, context, template, instructions, sampling and
    // projector choice written in, nothing else.
    ModelInfo apply(const ModelInfo& m) const;

signals:
    void changed();

private:
    EditModelFormModel(const ModelInfo& model, const Projectors& projectors, const SystemFacts& facts,
                       QObject* parent);

    ModelInfo m_model;
    GgufInfo m_info;
    QList<int64_t> m_steps;
    int64_t m_trained = 0;
    int64_t m_autoContext = 0;
    QString m_cleanedName;
    QString m_originalName;
    uint64_t m_freeMb = 0;
    std::optional<ModelFitCheck::Gpu> m_gpu;

    NameMode m_nameMode = NameMode::Auto;
    QString m_name;
    bool m_manual = false;
    int m_stepIndex = 0;
    int m_templateIndex = 0;
    QString m_instructions;
    ModelSampling m_sampling;

    QList<ModelInfo> m_all;
    QList<ModelInfo> m_fitting;
    QHash<QString, int64_t> m_projectorMb; // by file name, read once
    QString m_projectorChoice;
};

} // namespace cvn
