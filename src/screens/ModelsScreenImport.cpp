#include "screens/ModelsScreen.h"

#include "screens/CopyProgressOverlay.h"
#include "screens/ModelImport.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/ModalOverlay.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QTimer>

// The ADD MODEL road on the models screen: a drop anywhere on the page or
// the file chosen from the sheet goes to the window's ModelImport, and the
// import's copy overlay, warning and message follow its state.

namespace cvn {

namespace {

QList<QUrl> droppedUrls(const QMimeData* data)
{
    return data && data->hasUrls() ? data->urls() : QList<QUrl>{};
}

} // namespace

void ModelsScreen::dragEnterEvent(QDragEnterEvent* event)
{
    if (m_import.acceptsDrop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_import.acceptsDrop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::dropEvent(QDropEvent* event)
{
    if (m_import.drop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::openAddSheet()
{
    if (m_addSheet || m_import.isBusy())
        return;
    m_addSheet = new CvnActionSheet(QStringLiteral("ADD MODEL"),
                                    {{QStringLiteral("choose"), QStringLiteral("CHOOSE FILE…"), false}},
                                    [this](const std::optional<QString>& id) { chooseAddSource(id); }, this);
    m_addSheet->show();
    restack();
}

void ModelsScreen::chooseAddSource(const std::optional<QString>& id)
{
    close(m_addSheet);
    // The panel opens on a later turn, once the sheet is gone.
    if (id == QLatin1String("choose"))
        QTimer::singleShot(0, this, &ModelsScreen::openAddPanel);
}

void ModelsScreen::openAddPanel()
{
    if (!m_chooser || m_import.isBusy())
        return;
    QPointer<ModelsScreen> self(this);
    m_chooser(this, [self](const QString& path) {
        if (self && !path.isEmpty())
            self->m_import.addFile(path);
    });
}

void ModelsScreen::chooseModelFile(QWidget* parent, std::function<void(const QString&)> chosen)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // Qt's own panel on every platform; the pattern spells out both cases of
    // each letter, since name filters follow the file system's case rules.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setNameFilter(QStringLiteral("GGUF models (*.[gG][gG][uU][fF])"));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [chosen = std::move(chosen)](const QString& path) {
        if (chosen)
            chosen(path);
    });
    dialog->open();
}

void ModelsScreen::syncImport()
{
    // The copy overlay stands while the copier reports progress.
    const std::optional<CopyProgress> progress = m_import.progress();
    if (progress) {
        if (!m_progressOverlay) {
            m_progressOverlay = new CopyProgressOverlay(*progress, [this] { m_import.cancelCopy(); }, this);
            m_progressOverlay->show();
        }
        static_cast<CopyProgressOverlay*>(m_progressOverlay.data())->setProgress(*progress);
    } else {
        close(m_progressOverlay);
    }

    const auto& pending = m_import.pendingAdd();
    if (!pending || m_shownPending != pending->id)
        close(m_confirmDialog);
    if (pending && !m_confirmDialog) {
        m_shownPending = pending->id;
        m_confirmDialog = new CvnConfirmDialog(
            pending->warning.title, pending->warning.body, pending->warning.confirmText, QStringLiteral("CANCEL"),
            false, [this] { m_import.confirmPending(); }, [this] { m_import.cancelPending(); }, this);
        m_confirmDialog->show();
    }
    if (!pending)
        m_shownPending.reset();

    const auto& message = m_import.message();
    const QString key = message ? message->title + u'\n' + message->body : QString();
    if (key != m_shownMessage)
        close(m_messageDialog);
    if (message && !m_messageDialog) {
        m_messageDialog = new CvnConfirmDialog(message->title, message->body, QStringLiteral("OK"), std::nullopt, false,
                                               [this] { m_import.dismissMessage(); },
                                               [this] { m_import.dismissMessage(); }, this);
        m_messageDialog->show();
    }
    m_shownMessage = key;
    restack();
}

} // namespace cvn
