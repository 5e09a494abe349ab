#include "ModelsGallery.h"

#include "DebugGallery.h"
#include "chat/shared/DebugPanel.h"
#include "models/ModelCopier.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "screens/CopyProgressOverlay.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "screens/ModelImport.h"
#include "screens/ModelsScreen.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/CvnTextArea.h"

#include <QFile>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

namespace cvn::gallery {

namespace {

constexpr QSize kScreen{760, 640};
constexpr int kCaption = 30;

ModelInfo model(const QString& name, const QString& arch, int64_t trained, int64_t fileMb, int layers = 32,
                int kvHeads = 8)
{
    GgufInfo info;
    info.architecture = arch;
    info.nCtxTrain = trained;
    info.nEmbd = 4096;
    info.nLayers = layers;
    info.nHead = 32;
    info.nHeadKv = kvHeads;
    info.ropeDim = 128;
    info.fileSizeMb = fileMb;
    info.fileName = name + QStringLiteral(".gguf");
    ModelInfo m;
    m.displayName = ModelStore::displayNameFromFile(info.fileName);
    m.fileName = info.fileName;
    m.fileSizeBytes = fileMb << 20;
    m.trainedContext = trained;
    m.discoveredMetadata = info;
    return m;
}

QList<ModelInfo> sampleModels(int count)
{
    QList<ModelInfo> all = {
        model(QStringLiteral("Qwen2.5-7B-Instruct-Q4_K_M"), QStringLiteral("qwen2"), 32768, 4466, 28, 4),
        model(QStringLiteral("Llama-3.2-3B-Instruct-Q8_0"), QStringLiteral("llama"), 131072, 3263, 28, 8),
        model(QStringLiteral("mmproj-Qwen2-VL-2B-f16"), QStringLiteral("clip"), 0, 1276, 0, 0),
        model(QStringLiteral("gemma-2-9b-it-Q5_K_M"), QStringLiteral("gemma2"), 8192, 6268, 42, 8),
        model(QStringLiteral("Mistral-Nemo-Instruct-2407-Q4_K_M-with-a-rather-long-file-name"),
              QStringLiteral("llama"), 1024000, 7130, 40, 8),
        model(QStringLiteral("Phi-3.5-mini-instruct-Q4_K_M"), QStringLiteral("phi3"), 131072, 2282, 32, 32),
    };
    return all.mid(0, count);
}

// One screen with its copier, import and store over an empty temporary
// folder; the models are set in memory only.
struct ScreenRig {
    QTemporaryDir folder;
    ModelStore store{folder.path()};
    ModelCopier copier{folder.path()};
    ModelCopierImport copies{copier};
    ModelImport import{store, copies};
    ModelsScreen screen{store, import, {}};

    explicit ScreenRig(int count)
    {
        store.setModels(sampleModels(count));
        screen.setAttribute(Qt::WA_DontShowOnScreen);
        screen.resize(kScreen);
        screen.show();
        settle();
    }
};

QImage capture(QWidget& widget, const QString& caption)
{
    settle();
    QImage sheet(widget.width(), widget.height() + kCaption, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    widget.render(&sheet, QPoint(0, kCaption), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    p.drawText(QRect(12, 0, widget.width() - 24, kCaption), Qt::AlignLeft | Qt::AlignVCenter, caption);
    p.setPen(Theme::muted());
    p.drawLine(0, kCaption - 1, widget.width(), kCaption - 1);
    return sheet;
}

QImage screenSheet(int count, const QString& caption)
{
    ScreenRig rig(count);
    return capture(rig.screen, caption);
}

// The page with the runtime panel on: as wide as the column, the column
// centred. The gallery's settings are its own (see main.cpp).
QImage runtimePanelSheet()
{
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::setValue(key, true);
    ScreenRig rig(3);
    rig.screen.resize(kScreen.width(), 960);
    rig.screen.setPanelFactory([] {
        auto* panel = new DebugPanel;
        panel->setSource([] { return DebugPanelModel::build(busyRuntimeInputs()); });
        return panel;
    });
    const QImage image = capture(rig.screen, QStringLiteral("ModelsScreen: the runtime panel on, as wide as the column"));
    AppSettings::remove(key);
    return image;
}

QImage infoSheet(bool pinned)
{
    ScreenRig rig(3);
    const QUuid id = rig.screen.rows()[1]->model().id;
    if (pinned) {
        rig.screen.infoClicked(id);
    } else {
        rig.screen.infoHovered(true, id);
        rig.screen.hoverTimer()->stop();
        QMetaObject::invokeMethod(rig.screen.hoverTimer(), "timeout");
    }
    return capture(rig.screen, pinned ? QStringLiteral("ModelsScreen: capacity card pinned by a click (text up to 448)")
                                      : QStringLiteral("ModelsScreen: capacity card after 0.4 s of hover (text up to 368)"));
}

QImage copySheet(const CopyProgress& progress, const QString& caption)
{
    ScreenRig rig(3);
    auto* overlay = new CopyProgressOverlay(progress, {}, &rig.screen);
    overlay->show();
    return capture(rig.screen, caption);
}

// The form's instructions and sampling: a refused value in view, or the end.
QImage editSamplingSheet(bool refused)
{
    ScreenRig rig(3);
    rig.screen.resize(kScreen.width() + 40, 760);
    ModelInfo model = rig.store.models()[0];
    model.instructions = QStringLiteral("You are a careful assistant.\nAnswer in short paragraphs.");
    EditModelFormModel form(model, 6144);
    if (refused) {
        form.setTyped(EditModelFormModel::Setting::temperature, QStringLiteral("0"));
        form.setSeedFixed(true);
        form.setTyped(EditModelFormModel::Setting::seed, QStringLiteral("1234"));
    }
    auto* view = new EditModelForm(&form);
    auto* dialog = new CvnContentDialog(QStringLiteral("Edit model"), view, {}, {}, QStringLiteral("SAVE"),
                                        QStringLiteral("CANCEL"), &rig.screen);
    dialog->show();
    if (refused) {
        QLineEdit* field = view->samplingField(EditModelFormModel::Setting::topK);
        field->setText(QStringLiteral("250"));
        emit field->textEdited(field->text());
    }
    settle();
    QScrollBar* bar = dialog->bodyArea()->verticalScrollBar();
    if (refused)
        dialog->bodyArea()->ensureWidgetVisible(view->samplingField(EditModelFormModel::Setting::topK), 0, 120);
    else
        bar->setValue(bar->maximum());
    const QImage image = capture(
        rig.screen, refused ? QStringLiteral("EditModelForm: SAMPLING, temperature 0, top-k 250 refused in place")
                            : QStringLiteral("EditModelForm: SAMPLING at its defaults, scrolled to the end"));
    delete dialog;
    return image;
}

QImage editSheet(bool manual)
{
    ScreenRig rig(3);
    rig.screen.resize(kScreen.width() + 40, 760);
    // Fixed memory, so the figures and the warning are the same on every machine.
    EditModelFormModel form(rig.store.models()[0], 6144);
    if (manual) {
        form.chooseNameMode(EditModelFormModel::NameMode::Custom);
        form.setName(QStringLiteral("Qwen 7B, long answers"));
        form.setManual(true);
        form.setStepIndex(3);
        form.setTemplateIndex(2);
    }
    auto* view = new EditModelForm(&form);
    auto* dialog = new CvnContentDialog(QStringLiteral("Edit model"), view, {}, {}, QStringLiteral("SAVE"),
                                        QStringLiteral("CANCEL"), &rig.screen);
    dialog->show();
    settle();
    // The manual form is taller than the body: show the context's warning
    // and the template below it; the sampling sheets show the rest.
    if (manual)
        dialog->bodyArea()->ensureWidgetVisible(view->templateChoice(), 0, 20);
    const QImage image =
        capture(rig.screen, manual ? QStringLiteral("EditModelForm: custom name, manual 16384 with the RAM warning (6 GB free), scrolled to the template")
                                   : QStringLiteral("EditModelForm: as opened, automatic context (6 GB free)"));
    delete dialog;
    return image;
}

// Models beside a projector of their width: the rows of those it fits say
// that they see images (the 3B model is narrower and does not).
QList<ModelInfo> withProjector()
{
    QList<ModelInfo> models = sampleModels(4);
    models[1].discoveredMetadata->nEmbd = 3072;
    ModelInfo projector = model(QStringLiteral("mmproj-Qwen2.5-7B-Instruct-f16"), QStringLiteral("clip"), 0, 1276, 0, 0);
    projector.visionAdapterFile = true;
    projector.projectionWidth = 4096;
    models.append(projector);
    return models;
}

QImage seesImagesSheet()
{
    ScreenRig rig(0);
    rig.store.setModels(withProjector());
    return capture(rig.screen, QStringLiteral("ModelsScreen: the rows of models with a projector say they see images"));
}

// The IMAGES section with a projector that fits, its choice open.
QImage editImagesSheet(bool open)
{
    ScreenRig rig(0);
    rig.store.setModels(withProjector());
    rig.screen.resize(kScreen.width() + 40, 760);
    const QList<ModelInfo> all = rig.store.models();
    EditModelFormModel form(all[0], {all, [](const ModelInfo&) { return int64_t(612); }}, 6144);
    auto* view = new EditModelForm(&form);
    auto* dialog = new CvnContentDialog(QStringLiteral("Edit model"), view, {}, {}, QStringLiteral("SAVE"),
                                        QStringLiteral("CANCEL"), &rig.screen);
    dialog->show();
    settle();
    dialog->bodyArea()->ensureWidgetVisible(view->projectorCaption(), 0, 200);
    if (open)
        view->projectorChoice()->setOpen(true);
    const QImage image = capture(
        rig.screen, open ? QStringLiteral("EditModelForm: IMAGES, the projector choice open")
                         : QStringLiteral("EditModelForm: IMAGES, automatic with the projector's memory (612 MB)"));
    delete dialog;
    return image;
}

// The RAM-fit confirmation over the screen, for a 10,000 MB file without a
// GGUF header (so it needs 13,180 MB) on a machine with the memory given.
QImage fitWarningSheet(int64_t freeMb, int64_t totalMb, const QString& caption)
{
    QTemporaryDir source;
    QFile file(source.filePath(QStringLiteral("Qwen2.5-14B-Instruct-Q5_K_M.gguf")));
    // Sparse: nothing is written but the length.
    if (!file.open(QIODevice::WriteOnly) || !file.resize(10000LL << 20))
        return {};
    file.close();
    SystemFacts facts;
    facts.rig.ramFreeMb = freeMb;
    facts.rig.ramTotalMb = totalMb;
    SystemFacts::Override memory(facts);
    ScreenRig rig(3);
    rig.import.addFile(file.fileName());
    return capture(rig.screen, caption);
}

} // namespace

QList<Sheet> modelsSheets()
{
    SystemFacts facts;
    facts.rig.ramFreeMb = 24000;
    facts.rig.ramTotalMb = 32768;
    SystemFacts::Override fixed(facts);
    return {
        {QStringLiteral("models-screen-empty"), screenSheet(0, QStringLiteral("ModelsScreen: no models"))},
        {QStringLiteral("models-screen-three"),
         screenSheet(3, QStringLiteral("ModelsScreen: three models, a vision adapter among them"))},
        {QStringLiteral("models-screen-six"), screenSheet(6, QStringLiteral("ModelsScreen: six models scroll in 365"))},
        {QStringLiteral("models-screen-runtime-panel"), runtimePanelSheet()},
        {QStringLiteral("models-screen-info-hover"), infoSheet(false)},
        {QStringLiteral("models-screen-info-pinned"), infoSheet(true)},
        {QStringLiteral("copy-progress"),
         copySheet({1610612736, 4294967296, 123.45}, QStringLiteral("CopyProgressOverlay: 1.5 GB of 4 GB"))},
        {QStringLiteral("copy-progress-start"),
         copySheet({0, 1048576, 0}, QStringLiteral("CopyProgressOverlay: just started"))},
        {QStringLiteral("model-edit-form-auto"), editSheet(false)},
        {QStringLiteral("model-edit-form-manual"), editSheet(true)},
        {QStringLiteral("models-screen-sees-images"), seesImagesSheet()},
        {QStringLiteral("model-edit-form-images"), editImagesSheet(false)},
        {QStringLiteral("model-edit-form-images-open"), editImagesSheet(true)},
        {QStringLiteral("model-edit-form-sampling"), editSamplingSheet(false)},
        {QStringLiteral("model-edit-form-sampling-refused"), editSamplingSheet(true)},
        {QStringLiteral("ram-fit-tight"),
         fitWarningSheet(14000, 32768, QStringLiteral("RAM-fit check: 12.9 GB needed, 13.7 GB free"))},
        {QStringLiteral("ram-fit-free-up"),
         fitWarningSheet(8000, 16384, QStringLiteral("RAM-fit check: fits the computer once RAM is freed"))},
        {QStringLiteral("ram-fit-bigger"),
         fitWarningSheet(4000, 8192, QStringLiteral("RAM-fit check: bigger than the computer's RAM"))},
    };
}

} // namespace cvn::gallery
