#pragma once

// The shell of the main window: the chat drawer beside one of five pages,
// with the chat menu's dialogs, the model picker, the
// load-failure dialog, the hardware introduction and the attach sheet stacked
// above them in that order. Escape reaches only the topmost of them, since
// the keyboard is always handed to it.
//
// Owns the window's long-lived objects for as long as it lives: the
// conversation engine (LlamaSession), the open chat's history, the
// attachment stager, the model import, and the two controllers of the open
// chat and the model choice. Writes the loaded model's name for the tray
// menu (MenuBarStatus). Observes the models folder and the chat list, which must outlive it.
// A page is built afresh each time it is shown, so its own state starts over;
// only the state kept here survives a page change. The chat page stays while
// the chat changes under it (new chat, a chat opened from the drawer).
//
// Main thread only.

#include "models/HardwareInfo.h"
#include "storage/ChatStore.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QHBoxLayout;
class QVariantAnimation;

namespace cvn {

class ApiServer;
class AttachmentStager;
class ChatActions;
class ChatSession;
class ChatDatabase;
class ChatHistory;
class LlamaSession;
class ModelCopier;
class ModelCopierImport;
class ModelImport;
class ModelSelection;
class ModelStore;
class SidebarView;

class MainView : public QWidget {
    Q_OBJECT

public:
    enum class Page { chat, models, settings, appearance, hardware, chats, localServer, replyCache };

    static constexpr int drawerWidth = 378;
    static constexpr int drawerMs = 180;
    static inline const QString hardwareIntroKey = QStringLiteral("hardware.introShown");
    static inline const QString hardwareIntroTitle = QStringLiteral("Your rig");
    static inline const QString hardwareIntroNote =
        QStringLiteral("You can always check this info again in Settings → Hardware.");

    // Over the shared models folder and chat list.
    explicit MainView(QWidget* parent = nullptr);
    // `store`, `chats` and the chat list's database must outlive the view.
    MainView(ModelStore& store, ChatStore& chats, QWidget* parent = nullptr);
    ~MainView() override;

    // --- state ---------------------------------------------------------------
    Page page() const { return m_page; }
    bool drawerOpen() const { return m_drawerOpen; }
    bool pickerOpen() const { return m_pickerOpen; }
    bool attachSheetOpen() const { return m_attachSheetOpen; }
    const std::optional<RigInfo>& hardwareIntro() const { return m_hardwareIntro; }

    LlamaSession& session() const { return *m_session; }
    ChatHistory& history() const { return *m_history; }
    AttachmentStager& stager() const { return *m_stager; }
    ModelSelection& models() const { return *m_models; }
    ChatActions& chat() const { return *m_chat; }
    // Off until main() has it follow its settings.
    ApiServer& localServer() const { return *m_localServer; }

    // --- parts, for tests ------------------------------------------------------
    SidebarView* sidebar() const { return m_sidebar; }
    QWidget* pageWidget() const { return m_pageWidget; }
    // The runtime panel of the chat or models page (it lives with the page
    // and never takes the pointer); none on other pages, nor while the
    // models page has not made one.
    QWidget* runtimePanel() const;
    // The visible overlays from bottom to top; the last one has the keyboard.
    QList<QWidget*> overlays() const;

    // --- actions ---------------------------------------------------------------
    void toggleDrawer();
    void openModels();
    void openSettings();
    void openModelsFromSettings();
    void leaveModels();
    void showPage(Page page);
    void startNewChat();
    // Opens the row's chat on the chat page; a row whose chat is gone opens
    // nothing and leaves the drawer as it is.
    void openChat(ChatStore::Row row);
    // The save panel for "Export…": the file's name and, by its filter,
    // Markdown or JSON; then the chat is written there.
    void chooseExportFile(const ChatStore::Row& row);
    void openPicker();
    void openAttachSheet();
    void chooseAttachment(bool documents);
    // Runs the once-only hardware introduction check; done on first show.
    void showHardwareIntroIfNeeded();

    // Replaces the file panel that a chosen attachment kind opens (tests).
    void setFilePicker(std::function<void(bool documents)> pick) { m_pickFiles = std::move(pick); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildPage();
    QWidget* buildChatPage();
    // Hands the chat page what it shows of the model choice and the council.
    void refreshChatPage();
    void setDrawerOpen(bool open, bool animated);
    void presentHardwareIntro(const RigInfo& rig);
    void syncOverlays();
    void restack();
    void publishModelName(const std::optional<QString>& name);

    ModelStore& m_store;
    ChatStore& m_chats;
    ChatHistory* m_history;
    LlamaSession* m_session;
    ChatSession* m_chatSession; // the chat page's seam over m_session
    AttachmentStager* m_stager;
    ModelSelection* m_models;
    ChatActions* m_chat;
    // The import outlives the models page: a copy may finish on another page.
    ModelCopier* m_copier;
    ModelCopierImport* m_copierImport;
    ModelImport* m_import;
    // Goes before the session it answers through.
    std::unique_ptr<ApiServer> m_localServer;

    Page m_page = Page::chat;
    bool m_drawerOpen = false;
    bool m_modelsReturnToSettings = false;
    bool m_pickerOpen = false;
    bool m_attachSheetOpen = false;
    bool m_shown = false;
    std::optional<RigInfo> m_hardwareIntro;
    std::function<void(bool)> m_pickFiles;

    QHBoxLayout* m_row;
    SidebarView* m_sidebar;
    QWidget* m_pageHost;
    QPointer<QWidget> m_pageWidget;
    QVariantAnimation* m_drawerAnimation;

    // Overlays, each present while its state holds.
    QPointer<QWidget> m_chatMenu;
    QPointer<QWidget> m_renameDialog;
    QPointer<QWidget> m_instructionsDialog;
    QPointer<QWidget> m_deleteDialog;
    QPointer<QWidget> m_picker;
    QPointer<QWidget> m_failureDialog;
    QPointer<QWidget> m_introDialog;
    QPointer<QWidget> m_attachSheet;
};

} // namespace cvn
