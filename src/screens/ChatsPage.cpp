#include "screens/ChatsPage.h"

#include "screens/CopyProgressOverlay.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"
#include "ui_kit/CvnDialogCard.h"

#include <QFileDialog>
#include <QVBoxLayout>

namespace cvn {

namespace {

constexpr int kSectionTop = 13;
// Work done per turn of the event loop before the window gets a frame.
constexpr int kSliceMs = 25;

QString chatsCount(int64_t n)
{
    return QStringLiteral("%1 chat%2").arg(n).arg(n == 1 ? "" : "s");
}

} // namespace

ChatsPage::ChatsPage(ChatStore& store, std::function<void()> onBack, QWidget* parent)
    : QWidget(parent)
    , m_store(store)
{
    QVBoxLayout* column = nullptr;
    QWidget* content = SettingsPageFrame::pageColumn(&column);
    column->addWidget(new PageTitle(QStringLiteral("CHATS")));
    column->addWidget(new SectionHeader(QStringLiteral("EXPORT AND IMPORT"), kSectionTop));
    m_card = new SettingsCard;
    m_card->addRow(new CardRowButton(QStringLiteral("Export all chats…"), CardRowButton::Trailing::None, [this] {
        m_chooseExport(this, [self = QPointer(this)](const QString& path) {
            if (self)
                self->exportAll(path);
        });
    }));
    m_card->addRow(new CardRowButton(QStringLiteral("Import chats…"), CardRowButton::Trailing::None, [this] {
        m_chooseImport(this, [self = QPointer(this)](const QString& path) {
            if (self)
                self->importFrom(path);
        });
    }));
    column->addWidget(m_card);
    m_outcomeHost = new QWidget;
    auto* outcome = new QVBoxLayout(m_outcomeHost);
    outcome->setContentsMargins(0, kSectionTop, 0, 0);
    column->addWidget(m_outcomeHost);
    m_frame = new SettingsPageFrame(0, content, new PageBackButton(QStringLiteral("Back"), std::move(onBack)), this);

    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &ChatsPage::tick);
}

void ChatsPage::setFileChoosers(ChooseFile exportFile, ChooseFile importFile)
{
    m_chooseExport = std::move(exportFile);
    m_chooseImport = std::move(importFile);
}

void ChatsPage::chooseExportFile(QWidget* parent, std::function<void(const QString&)> chosen)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setNameFilter(QStringLiteral("JSON Lines (*.jsonl)"));
    dialog->setDefaultSuffix(QStringLiteral("jsonl"));
    dialog->selectFile(QStringLiteral("Corvanthelis chats.jsonl"));
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, std::move(chosen));
    dialog->open();
}

void ChatsPage::chooseImportFile(QWidget* parent, std::function<void(const QString&)> chosen)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setNameFilters({QStringLiteral("Chats (*.jsonl *.json)"), QStringLiteral("All files (*)")});
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Import"));
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, std::move(chosen));
    dialog->open();
}

void ChatsPage::exportAll(const QString& path)
{
    if (isRunning())
        return;
    QString error;
    std::optional<QList<ChatArchive::Key>> chats = ChatExport::allChats(m_store.database(), &error);
    if (!chats) {
        finish(error + QLatin1Char('.'));
        return;
    }
    m_export = std::make_unique<ChatExport>(m_store.database(), path, ChatExport::Format::jsonLines, std::move(*chats));
    start();
}

void ChatsPage::importFrom(const QString& path)
{
    if (isRunning())
        return;
    m_import = std::make_unique<ChatImport>(m_store.database(), path);
    start();
}

void ChatsPage::start()
{
    setOutcome(QString());
    m_started.start();
    m_timer.setInterval(0);
    m_timer.start();
}

void ChatsPage::cancel()
{
    if (!isRunning())
        return;
    if (m_export) {
        m_export.reset(); // the unfinished file goes with it
        finish(QStringLiteral("Export cancelled; no file was written."));
    } else if (m_import) {
        const QString outcome = QStringLiteral("Import cancelled after adding %1.").arg(chatsCount(m_import->added()));
        finish(outcome);
    }
}

void ChatsPage::tick()
{
    QElapsedTimer slice;
    slice.start();
    if (m_export) {
        while (slice.elapsed() < kSliceMs && m_export->step()) {
        }
        if (m_export->done() < m_export->total() && m_export->error().isEmpty()) {
            showProgress(m_export->done(), m_export->total(),
                         QStringLiteral("%1 of %2").arg(m_export->done()).arg(chatsCount(m_export->total())));
            return;
        }
        const bool ok = m_export->finish();
        finish(ok ? QStringLiteral("Exported %1.").arg(chatsCount(m_export->written()))
                  : QStringLiteral("Export failed: %1.").arg(m_export->error()));
        return;
    }
    if (!m_import)
        return;
    ChatImport::Step step = ChatImport::Step::added;
    while (slice.elapsed() < kSliceMs && (step = m_import->step()) == ChatImport::Step::added) {
    }
    const QString added = QStringLiteral("Imported %1").arg(chatsCount(m_import->added()));
    const QString skipped =
        m_import->skipped() > 0 ? QStringLiteral("; %1 already there were skipped").arg(chatsCount(m_import->skipped()))
                                : QString();
    switch (step) {
    case ChatImport::Step::added:
        m_timer.setInterval(0);
        showProgress(m_import->position(), m_import->size(), added + QLatin1Char('.'));
        return;
    case ChatImport::Step::waiting:
        // Tried again a second later, as the chat screen's own writes are.
        m_timer.setInterval(retryMs);
        if (!m_overlay)
            m_started = {}; // shows the card at once: the user is told why it waits
        showProgress(m_import->position(), m_import->size(), ChatHistory::notSavedNotice);
        return;
    case ChatImport::Step::finished:
        finish(added + skipped + QLatin1Char('.'));
        return;
    case ChatImport::Step::failed:
        // A line is named where the file went wrong; a file that cannot be
        // opened or a database that cannot be written is said as it is.
        finish((m_import->fault() == ChatImport::Fault::line ? QStringLiteral("Import stopped at %1. %2 before it%3.")
                                                              : QStringLiteral("Import stopped: %1. %2 before it%3."))
                   .arg(m_import->error(), added, skipped));
        return;
    }
}

void ChatsPage::showProgress(int64_t done, int64_t total, const QString& figures)
{
    if (!m_overlay && m_started.isValid() && m_started.elapsed() < progressDelayMs)
        return;
    if (!m_overlay) {
        m_overlay = new CopyProgressOverlay({}, [this] { cancel(); }, this);
        m_overlay->setTitle(m_export ? QStringLiteral("EXPORTING CHATS") : QStringLiteral("IMPORTING CHATS"));
        m_overlay->show();
    }
    m_overlay->setProgress({done, total, 0.0});
    m_overlay->setFigures(figures);
}

void ChatsPage::finish(const QString& outcome)
{
    m_timer.stop();
    const bool imported = m_import != nullptr;
    m_export.reset();
    m_import.reset();
    if (m_overlay) {
        m_overlay->hide();
        m_overlay->deleteLater();
    }
    setOutcome(outcome);
    if (imported)
        m_store.reload();
}

QString ChatsPage::outcome() const
{
    return m_outcome ? m_outcome->text() : QString();
}

void ChatsPage::setOutcome(const QString& text)
{
    // A text view is made for its text; the line under the card is replaced.
    delete m_outcome;
    if (text.isEmpty())
        return;
    m_outcome = new DialogText(text, Theme::interRegular13(), Theme::mutedOnPaper);
    m_outcome->setObjectName(QStringLiteral("cvn.chats.outcome"));
    m_outcome->setAlignment(Qt::AlignHCenter);
    m_outcomeHost->layout()->addWidget(m_outcome);
}

void ChatsPage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
