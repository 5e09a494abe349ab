#include "screens/ModelsScreen.h"

#include "models/ProjectorMemory.h"
#include "models/ModelStore.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/ModalOverlay.h"

#include <algorithm>

// A row's More menu on the models screen: rename, edit and remove, each
// with its dialog, and the error a failed removal shows.

namespace cvn {

void ModelsScreen::openRowMenu(const ModelInfo& model)
{
    close(m_rowSheet);
    m_rowSheet = new CvnActionSheet(model.displayName,
                                    {{QStringLiteral("rename"), QStringLiteral("RENAME"), false},
                                     {QStringLiteral("edit"), QStringLiteral("EDIT"), false},
                                     {QStringLiteral("delete"), QStringLiteral("DELETE"), true}},
                                    [this, model](const std::optional<QString>& id) { handleRowMenu(id, model); }, this);
    m_rowSheet->show();
    restack();
}

void ModelsScreen::handleRowMenu(const std::optional<QString>& id, const ModelInfo& model)
{
    close(m_rowSheet);
    if (id == QLatin1String("rename")) {
        const QUuid modelId = model.id;
        m_renameDialog = new CvnInputDialog(
            QStringLiteral("Rename model"), model.displayName, 0,
            [this, modelId](const QString& text) {
                m_store.rename(modelId, text);
                close(m_renameDialog);
            },
            [this] { close(m_renameDialog); }, this);
        m_renameDialog->show();
    } else if (id == QLatin1String("edit")) {
        // The form's state lives exactly as long as its widget, which the
        // dialog owns.
        const QString folder = m_store.folder();
        const EditModelFormModel::Projectors projectors{m_store.models(), [folder](const ModelInfo& projector) {
                                                            return projectorMemoryMb(folder + u'/' + projector.fileName);
                                                        }};
        auto* formState = new EditModelFormModel(model, projectors);
        auto* formView = new EditModelForm(formState);
        formState->setParent(formView);
        m_editing = formState;
        m_editDialog = new CvnContentDialog(QStringLiteral("Edit model"), formView, [this] { saveEdit(); },
                                            [this] { close(m_editDialog); }, QStringLiteral("SAVE"),
                                            QStringLiteral("CANCEL"), this);
        m_editDialog->show();
    } else if (id == QLatin1String("delete")) {
        const QString body = QStringLiteral("This deletes the local copy of \"") + model.displayName
                             + QStringLiteral("\" from your ")
                             + QStringLiteral("Corvanthelis models folder only. Your original .gguf file (in Downloads ")
                             + QStringLiteral("or wherever you got it) is NOT touched.");
        m_removeDialog = new CvnConfirmDialog(
            QStringLiteral("Remove model?"), body, QStringLiteral("REMOVE"), QStringLiteral("CANCEL"), true,
            [this, model] { confirmRemove(model); }, [this] { close(m_removeDialog); }, this);
        m_removeDialog->show();
    }
    restack();
}

void ModelsScreen::saveEdit()
{
    if (m_editing) {
        QList<ModelInfo> models = m_store.models();
        const QUuid id = m_editing->model().id;
        auto it = std::find_if(models.begin(), models.end(), [&](const ModelInfo& m) { return m.id == id; });
        if (it != models.end()) {
            *it = m_editing->apply(*it);
            m_store.setModels(models);
        }
    }
    close(m_editDialog);
}

void ModelsScreen::confirmRemove(const ModelInfo& model)
{
    const std::optional<QString> error = m_store.remove(model.id);
    close(m_removeDialog);
    if (error)
        showDeleteError(*error);
}

void ModelsScreen::showDeleteError(const QString& text)
{
    close(m_deleteErrorDialog);
    m_deleteErrorDialog = new CvnConfirmDialog(QStringLiteral("Could not delete file"), text, QStringLiteral("OK"),
                                               std::nullopt, false, [this] { close(m_deleteErrorDialog); },
                                               [this] { close(m_deleteErrorDialog); }, this);
    m_deleteErrorDialog->show();
    restack();
}

} // namespace cvn
