#pragma once

#include "screens/CopyProgressOverlay.h"
#include "screens/SettingsPageKit.h"
#include "storage/ChatTransfer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

namespace cvn {

class ChatStore;
class DialogText;

// The chats page of the settings: "Export all chats…" writes every chat into
// one JSON Lines file, "Import chats…" adds the chats of such a file or of
// one chat's .json. Both ask for the file with the desktop's panel and then
// run a chat at a time on the main thread (the database's thread), so the
// window stays live; past a second the kit's progress card covers the page,
// and its CANCEL stops between two chats. An export cancelled or failed
// leaves no file; an import keeps the chats added before. While the database
// cannot be written, an import waits, says so on the card, and tries the
// same chat again every second. The outcome stays as a line under the card.
//
// The page owns the running transfer, the overlay and its widgets; the store
// (and its database) outlive it. Main thread only.
class ChatsPage : public QWidget {
    Q_OBJECT
public:
    using ChooseFile = std::function<void(QWidget* parent, std::function<void(const QString&)> chosen)>;

    ChatsPage(ChatStore& store, std::function<void()> onBack, QWidget* parent = nullptr);

    // How the file is asked for; by default Qt's save and open panels.
    void setFileChoosers(ChooseFile exportFile, ChooseFile importFile);

    void exportAll(const QString& path);
    void importFrom(const QString& path);
    void cancel();

    bool isRunning() const { return m_timer.isActive(); }
    SettingsPageFrame* frame() const { return m_frame; }
    SettingsCard* card() const { return m_card; }
    // What the last export or import came to, as the line under the card says.
    QString outcome() const;
    CopyProgressOverlay* progressOverlay() const { return m_overlay; }

    // How long work runs before the progress card shows.
    static constexpr int progressDelayMs = 1000;
    static constexpr int retryMs = 1000;

    static void chooseExportFile(QWidget* parent, std::function<void(const QString&)> chosen);
    static void chooseImportFile(QWidget* parent, std::function<void(const QString&)> chosen);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void start();
    void tick();
    void finish(const QString& outcome);
    void setOutcome(const QString& text);
    void showProgress(int64_t done, int64_t total, const QString& figures);

    ChatStore& m_store;
    SettingsPageFrame* m_frame;
    SettingsCard* m_card;
    QWidget* m_outcomeHost;
    QPointer<DialogText> m_outcome;
    ChooseFile m_chooseExport = &ChatsPage::chooseExportFile;
    ChooseFile m_chooseImport = &ChatsPage::chooseImportFile;
    std::unique_ptr<ChatExport> m_export;
    std::unique_ptr<ChatImport> m_import;
    QTimer m_timer;
    QElapsedTimer m_started;
    QPointer<CopyProgressOverlay> m_overlay;
};

} // namespace cvn
