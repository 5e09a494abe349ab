#include "app/MainView.h"

#include "apiserver/ApiServer.h"
#include "app/ChatActions.h"
#include "app/MenuBarStatus.h"
#include "app/ModelSelection.h"
#include "attachments/AttachmentStager.h"
#include "chat/ChatSession.h"
#include "chat/ChatView.h"
#include "chat/shared/AppSignals.h"
#include "chat/shared/DebugPanel.h"
#include "chat/shared/Toasts.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"
#include "engine/LlamaSession.h"
#include "engine/PromptCache.h"
#include "models/ModelCopier.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "screens/AppearancePage.h"
#include "screens/AttachSheetOverlay.h"
#include "screens/ChatsPage.h"
#include "screens/HardwarePage.h"
#include "screens/LocalServerPage.h"
#include "screens/ReplyCachePage.h"
#include "screens/ModelImport.h"
#include "screens/ModelPickerOverlay.h"
#include "screens/ModelsScreen.h"
#include "screens/RigCardLines.h"
#include "screens/SettingsPage.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/CvnTextAreaDialog.h"
#include "ui_kit/Theme.h"

#include <QApplication>
#include <QFileDialog>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QThreadPool>
#include <QTimer>
#include <QVariantAnimation>
#include <QVBoxLayout>

namespace cvn {

namespace {

// Removes an overlay whose state was cleared. Its callback may be running in
// one of its own event handlers, so it goes on the next turn.
void dismiss(QPointer<QWidget>& overlay)
{
    if (!overlay)
        return;
    overlay->hide();
    overlay->deleteLater();
    overlay.clear();
}

// Storage's errors are told on the chat page, the page beside the drawer
// they may come from.
void showErrorToast(QWidget* page, const QString& text)
{
    if (auto* chat = qobject_cast<ChatView*>(page))
        chat->toasts()->show(text, ToastKind::error);
}

// The hardware introduction's content: the rig card lines and the note
// pointing at the hardware page. Its height follows its width alone: the
// lines' minimum (their height when squeezed narrow) would otherwise hold it
// taller than the dialog's area and show a scroll bar for nothing.
class HardwareIntroBody : public QWidget {
public:
    QSize minimumSizeHint() const override { return {0, 0}; }
};

QWidget* hardwareIntroBody(const RigInfo& rig)
{
    auto* body = new HardwareIntroBody;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(new RigCardLines(rig, false, 0));
    column->addWidget(new DialogText(MainView::hardwareIntroNote, Theme::interMedium13(), Theme::paper.withAlpha(0.7)));
    return body;
}

} // namespace

MainView::MainView(QWidget* parent)
    : MainView(ModelStore::shared(), ChatStore::shared(), parent)
{
}

MainView::MainView(ModelStore& store, ChatStore& chats, QWidget* parent)
    : QWidget(parent)
    , m_store(store)
    , m_chats(chats)
    , m_history(new ChatHistory(chats.database(), chats, this))
    , m_session(new LlamaSession(&store, this))
    , m_chatSession(new LlamaChatSession(m_session, this))
    , m_stager(new AttachmentStager(this))
    , m_models(new ModelSelection(*m_session, store, this))
    , m_chat(new ChatActions(*m_session, *m_history, chats, this))
    , m_copier(new ModelCopier(store.folder(), this))
    , m_copierImport(new ModelCopierImport(*m_copier, this))
    , m_import(new ModelImport(store, *m_copierImport, this))
    , m_localServer(std::make_unique<ApiServer>(*m_session, store))
{
    setAutoFillBackground(false);
    m_pickFiles = [stager = QPointer(m_stager)](bool documents) {
        if (stager)
            stager->pickFiles(documents);
    };

    m_row = new QHBoxLayout(this);
    m_row->setContentsMargins(0, 0, 0, 0);
    m_row->setSpacing(0);
    m_sidebar = new SidebarView(chats);
    m_sidebar->setFixedWidth(0);
    m_row->addWidget(m_sidebar);
    m_pageHost = new QWidget;
    auto* hostLayout = new QVBoxLayout(m_pageHost);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    m_row->addWidget(m_pageHost, 1);

    // Only the sidebar's width animates; the page takes what is left.
    m_drawerAnimation = new QVariantAnimation(this);
    m_drawerAnimation->setDuration(drawerMs);
    m_drawerAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_drawerAnimation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { m_sidebar->setFixedWidth(value.toInt()); });

    connect(m_sidebar, &SidebarView::onClose, this, &MainView::toggleDrawer);
    connect(m_sidebar, &SidebarView::onOpenModels, this, &MainView::openModels);
    connect(m_sidebar, &SidebarView::onOpenSettings, this, &MainView::openSettings);
    connect(m_sidebar, &SidebarView::onRowMenu, m_chat, &ChatActions::openMenu);
    connect(m_sidebar, &SidebarView::onNewChat, this, &MainView::startNewChat);
    connect(m_sidebar, &SidebarView::onSelectChat, this, [this](ChatStore::Row row) { openChat(std::move(row)); });

    connect(m_chat, &ChatActions::menuChanged, this, &MainView::syncOverlays);
    connect(m_chat, &ChatActions::changeNotSaved, this,
            [this] { showErrorToast(m_pageWidget.data(), ChatActions::changeNotSavedToast); });
    connect(m_chat, &ChatActions::chatDeletedElsewhere, this, [this](const QString& title) {
        showErrorToast(m_pageWidget.data(), ChatActions::deletedElsewhereToast(title));
    });
    connect(m_chat, &ChatActions::exportRequested, this, &MainView::chooseExportFile);
    connect(m_history, &ChatHistory::chatSavedAgain, this,
            [this](const QString& title) { showErrorToast(m_pageWidget.data(), ChatHistory::savedAgainToast(title)); });
    connect(&chats.database(), &ChatDatabase::someChatsHiddenChanged, this, [this](bool hidden) {
        if (hidden)
            showErrorToast(m_pageWidget.data(), ChatDatabase::someChatsHiddenText);
    });
    connect(m_models, &ModelSelection::loadFailureChanged, this, &MainView::syncOverlays);
    connect(m_models, &ModelSelection::loadedModelNameChanged, this, &MainView::publishModelName);
    connect(m_models, &ModelSelection::currentModelChanged, this, &MainView::refreshChatPage);
    connect(m_session, &LlamaSession::loadedModelChanged, this, &MainView::refreshChatPage);
    connect(m_chat, &ChatActions::councilOnChanged, this, &MainView::refreshChatPage);
    connect(&m_store, &ModelStore::modelsChanged, this, [this] {
        refreshChatPage();
        // An open picker lists what the folder holds now.
        if (m_picker) {
            dismiss(m_picker);
            syncOverlays();
        }
    });

    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) {
            m_store.reload();
            // Another program may have changed the chats meanwhile.
            m_chats.catchUp();
        }
    });
    connect(&AppSignals::instance(), &AppSignals::openSettingsPage, this, &MainView::openSettings);
    connect(&AppSignals::instance(), &AppSignals::newChat, this, &MainView::startNewChat);

    buildPage();
}

MainView::~MainView()
{
    // Pages and overlays observe the session and history; they go first.
    delete m_pageWidget;
    for (QWidget* overlay : overlays())
        delete overlay;
}

QWidget* MainView::runtimePanel() const
{
    if (auto* chat = qobject_cast<ChatView*>(m_pageWidget.data()))
        return chat->debugPanel();
    if (auto* models = qobject_cast<ModelsScreen*>(m_pageWidget.data()))
        return models->debugPanel();
    return nullptr;
}

QList<QWidget*> MainView::overlays() const
{
    QList<QWidget*> shown;
    for (const QPointer<QWidget>& overlay :
         {m_chatMenu, m_renameDialog, m_instructionsDialog, m_deleteDialog, m_picker, m_failureDialog,
          m_introDialog, m_attachSheet}) {
        if (overlay && !overlay->isHidden())
            shown.append(overlay.data());
    }
    return shown;
}

// --- drawer and pages ---------------------------------------------------------------

void MainView::toggleDrawer()
{
    setDrawerOpen(!m_drawerOpen, true);
}

void MainView::setDrawerOpen(bool open, bool animated)
{
    if (open == m_drawerOpen && m_drawerAnimation->state() != QAbstractAnimation::Running)
        return;
    m_drawerOpen = open;
    // Closed, the drawer is only 0 wide and never hidden, so it learns here
    // that it shows again: its day headings may be a day old.
    m_sidebar->setOpen(open);
    const int target = open ? drawerWidth : 0;
    m_drawerAnimation->stop();
    if (!animated) {
        m_sidebar->setFixedWidth(target);
        return;
    }
    m_drawerAnimation->setStartValue(m_sidebar->width());
    m_drawerAnimation->setEndValue(target);
    m_drawerAnimation->start();
    if (m_picker)
        static_cast<ModelPickerOverlay*>(m_picker.data())->setLeadingInset(open ? drawerWidth : 0);
}

void MainView::openModels()
{
    m_modelsReturnToSettings = false;
    showPage(Page::models);
    setDrawerOpen(false, true);
}

void MainView::openSettings()
{
    showPage(Page::settings);
    setDrawerOpen(false, true);
}

void MainView::openModelsFromSettings()
{
    m_modelsReturnToSettings = true;
    showPage(Page::models);
}

void MainView::leaveModels()
{
    showPage(m_modelsReturnToSettings ? Page::settings : Page::chat);
}

void MainView::showPage(Page page)
{
    m_page = page;
    // Deferred: the request may come from a control on the page being replaced.
    QTimer::singleShot(0, this, [this, page] {
        if (m_page == page)
            buildPage();
    });
}

void MainView::buildPage()
{
    // The chat page follows a chat change by itself; rebuilding it would throw
    // away the composer's draft, an open warning and a toast in flight.
    if (m_page == Page::chat && qobject_cast<ChatView*>(m_pageWidget.data())) {
        refreshChatPage();
        restack();
        return;
    }
    if (m_pageWidget) {
        m_pageWidget->hide();
        m_pageWidget->deleteLater();
    }
    QWidget* page = nullptr;
    switch (m_page) {
    case Page::chat:
        page = buildChatPage();
        break;
    case Page::models: {
        auto* models = new ModelsScreen(m_store, *m_import, [this] { leaveModels(); });
        // The same runtime panel as the chat page's, shown while its setting
        // is on; it never takes the pointer.
        models->setPanelFactory([] {
            auto* panel = new DebugPanel;
            panel->setAttribute(Qt::WA_TransparentForMouseEvents);
            return panel;
        });
        page = models;
        break;
    }
    case Page::settings:
        page = new SettingsPage([this] { showPage(Page::chat); }, [this] { showPage(Page::appearance); },
                                [this] { openModelsFromSettings(); }, [this] { showPage(Page::hardware); },
                                [this] { showPage(Page::chats); });
        static_cast<SettingsPage*>(page)->generalCard()->addRow(
            new SettingsNavRow(QStringLiteral("LOCAL SERVER"), [this] { showPage(Page::localServer); }));
        static_cast<SettingsPage*>(page)->generalCard()->addRow(
            new SettingsNavRow(QStringLiteral("REPLY CACHE"), [this] { showPage(Page::replyCache); }));
        break;
    case Page::appearance:
        page = new AppearancePage([this] { showPage(Page::settings); });
        break;
    case Page::hardware:
        page = new HardwarePage([this] { showPage(Page::settings); });
        break;
    case Page::localServer: {
        auto* server = new LocalServerPage([this] { showPage(Page::settings); });
        const auto showState = [server, this] { server->setStateText(m_localServer->stateText()); };
        connect(m_localServer.get(), &ApiServer::stateChanged, server, showState);
        showState();
        page = server;
        break;
    }
    case Page::replyCache: {
        PromptCache& cache = m_session->promptCache();
        auto* replyCache = new ReplyCachePage([this] { showPage(Page::settings); }, [&cache] { cache.clear(); });
        const auto showUsage = [replyCache, &cache] {
            const PromptCache::Usage usage = cache.usage();
            replyCache->setUsage(usage.memoryBytes, usage.diskBytes);
        };
        connect(&cache, &PromptCache::usageChanged, replyCache, showUsage);
        showUsage();
        page = replyCache;
        break;
    }
    case Page::chats:
        page = new ChatsPage(m_chats, [this] { showPage(Page::settings); });
        break;
    }
    page->setProperty("mainViewPage", int(m_page));
    m_pageWidget = page;
    m_pageHost->layout()->addWidget(page);
    page->show();
    restack();
}

QWidget* MainView::buildChatPage()
{
    auto* chat = new ChatView(m_chatSession, m_stager, m_history);
    chat->onToggleDrawer = [this] { toggleDrawer(); };
    chat->onSelectModel = [this] { openPicker(); };
    chat->onNewChat = [this] { startNewChat(); };
    chat->onAttach = [this] { openAttachSheet(); };
    chat->prepareModel = [models = QPointer(m_models)](std::function<void(bool)> done) {
        if (models)
            models->prepare(std::move(done));
        else
            done(false);
    };
    chat->onCouncilChange = [actions = QPointer(m_chat)](bool on) {
        if (actions)
            actions->setCouncilOn(on);
    };
    m_pageWidget = chat;
    refreshChatPage();
    return chat;
}

void MainView::refreshChatPage()
{
    auto* chat = qobject_cast<ChatView*>(m_pageWidget.data());
    if (!chat)
        return;
    chat->setCurrentModelName(m_models->currentModelName());
    chat->setContextSize(m_models->contextSize());
    chat->setModels(m_models->pickableModels());
    chat->setCouncilOn(m_chat->councilOn());
}

// --- the open chat ------------------------------------------------------------------

void MainView::startNewChat()
{
    m_chat->startNewChat();
    showPage(Page::chat);
    setDrawerOpen(false, true);
}

void MainView::openChat(ChatStore::Row row)
{
    if (!m_chat->openChat(std::move(row)))
        return; // the list now shows what is stored, beside the toast
    showPage(Page::chat);
    setDrawerOpen(false, true);
}

void MainView::openPicker()
{
    m_pickerOpen = true;
    syncOverlays();
}

void MainView::openAttachSheet()
{
    m_attachSheetOpen = true;
    syncOverlays();
}

void MainView::chooseAttachment(bool documents)
{
    m_attachSheetOpen = false;
    syncOverlays();
    // One turn later, so the sheet is gone before the file panel shows.
    QTimer::singleShot(0, this, [this, documents] {
        if (m_pickFiles)
            m_pickFiles(documents);
    });
}

void MainView::publishModelName(const std::optional<QString>& name)
{
    MenuBarStatus::setLoadedModelName(name);
}

// --- hardware introduction ----------------------------------------------------------

void MainView::showHardwareIntroIfNeeded()
{
    if (AppSettings::boolValue(hardwareIntroKey))
        return;
    QPointer<MainView> self(this);
    QThreadPool::globalInstance()->start([self] {
        const RigInfo rig = SystemFacts::read().rig;
        QMetaObject::invokeMethod(
            qApp,
            [self, rig] {
                if (self)
                    self->presentHardwareIntro(rig);
            },
            Qt::QueuedConnection);
    });
}

void MainView::presentHardwareIntro(const RigInfo& rig)
{
    // Read again: a second check may have shown it meanwhile. Stored before
    // showing, so quitting with the dialog open does not bring it back.
    if (AppSettings::boolValue(hardwareIntroKey))
        return;
    AppSettings::setValue(hardwareIntroKey, true);
    m_hardwareIntro = rig;
    syncOverlays();
}

void MainView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // The database opened before the window existed.
    if (m_chats.database().someChatsHidden())
        showErrorToast(m_pageWidget.data(), ChatDatabase::someChatsHiddenText);
    // So was the models folder's choices file, which is told of once.
    if (const std::optional<QString> notice = m_store.takeChoicesNotice())
        showErrorToast(m_pageWidget.data(), *notice);
    publishModelName(m_session->loadedModelName());
    showHardwareIntroIfNeeded();
}

// --- overlays -----------------------------------------------------------------------

void MainView::chooseExportFile(const ChatStore::Row& row)
{
    static const QString markdown = QStringLiteral("Markdown (*.md)");
    auto* dialog = new QFileDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setNameFilters({markdown, QStringLiteral("JSON (*.json)")});
    dialog->setDefaultSuffix(QStringLiteral("md"));
    // The chosen filter is the format; the name follows it.
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& filter) {
        dialog->setDefaultSuffix(filter == markdown ? QStringLiteral("md") : QStringLiteral("json"));
    });
    QString name = row.title;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    dialog->selectFile(name + QStringLiteral(".md"));
    connect(dialog, &QFileDialog::fileSelected, this, [this, dialog, row](const QString& path) {
        const std::optional<QString> error =
            m_chat->exportChat(row, path, ChatActions::isMarkdownName(path, dialog->selectedNameFilter() == markdown));
        if (auto* chat = qobject_cast<ChatView*>(m_pageWidget.data()))
            chat->toasts()->show(error ? *error : QStringLiteral("Chat exported"), error ? ToastKind::error : ToastKind::info);
    });
    dialog->open();
}

void MainView::syncOverlays()
{
    const auto& menuFor = m_chat->menuFor();
    if (menuFor && !m_chatMenu) {
        m_chatMenu = new CvnActionSheet(
            menuFor->title, ChatActions::menuItems(*menuFor),
            [chat = QPointer(m_chat)](std::optional<QString> id) {
                if (chat)
                    chat->choose(id);
            },
            this);
        m_chatMenu->show();
    } else if (!menuFor) {
        dismiss(m_chatMenu);
    }

    const auto& renaming = m_chat->renaming();
    if (renaming && !m_renameDialog) {
        QPointer<ChatActions> chat(m_chat);
        m_renameDialog = new CvnInputDialog(
            ChatActions::renameTitle, renaming->title, ChatActions::renameMaxLength,
            [chat](const QString& text) {
                if (chat)
                    chat->saveRename(text);
            },
            [chat] {
                if (chat)
                    chat->cancelRename();
            },
            this);
        m_renameDialog->show();
    } else if (!renaming) {
        dismiss(m_renameDialog);
    }

    const auto& instructing = m_chat->instructing();
    if (instructing && !m_instructionsDialog) {
        QPointer<ChatActions> chat(m_chat);
        m_instructionsDialog = new CvnTextAreaDialog(
            ChatActions::instructionsTitle, m_chat->chatInstructions(), m_chat->modelInstructions(),
            ModelInfo::maxInstructions,
            [chat](const QString& text) {
                if (chat)
                    chat->saveInstructions(text);
            },
            [chat] {
                if (chat)
                    chat->cancelInstructions();
            },
            this);
        m_instructionsDialog->show();
    } else if (!instructing) {
        dismiss(m_instructionsDialog);
    }

    const auto& deleting = m_chat->deleting();
    if (deleting && !m_deleteDialog) {
        QPointer<ChatActions> chat(m_chat);
        m_deleteDialog = new CvnConfirmDialog(
            ChatActions::deleteTitle, ChatActions::deleteBody(deleting->title), QStringLiteral("DELETE"),
            QStringLiteral("CANCEL"), true,
            [chat] {
                if (chat)
                    chat->confirmDelete();
            },
            [chat] {
                if (chat)
                    chat->cancelDelete();
            },
            this);
        m_deleteDialog->show();
    } else if (!deleting) {
        dismiss(m_deleteDialog);
    }

    if (m_pickerOpen && !m_picker) {
        QPointer<MainView> self(this);
        m_picker = new ModelPickerOverlay(
            m_models->pickableModels(), m_store.models(), m_models->currentModelId(), m_drawerOpen ? drawerWidth : 0,
            [self](const QUuid& id) {
                if (!self)
                    return;
                self->m_pickerOpen = false;
                self->syncOverlays();
                self->m_models->select(id);
            },
            [self] {
                if (!self)
                    return;
                self->m_pickerOpen = false;
                self->syncOverlays();
            },
            this);
        m_picker->show();
    } else if (!m_pickerOpen) {
        dismiss(m_picker);
    }

    // A second failure while the dialog is open replaces its text.
    const auto& failure = m_models->loadFailure();
    const QString failureText = failure ? ModelSelection::failureBody(*failure) : QString();
    if (m_failureDialog && m_failureDialog->property("failureText").toString() != failureText)
        dismiss(m_failureDialog);
    if (failure && !m_failureDialog) {
        QPointer<ModelSelection> models(m_models);
        const auto clear = [models] {
            if (models)
                models->clearLoadFailure();
        };
        m_failureDialog = new CvnConfirmDialog(ModelSelection::failureTitle, failureText, ModelSelection::failureButton,
                                               std::nullopt, false, clear, clear, this);
        m_failureDialog->setProperty("failureText", failureText);
        m_failureDialog->show();
    }

    if (m_hardwareIntro && !m_introDialog) {
        QPointer<MainView> self(this);
        const auto done = [self] {
            if (!self)
                return;
            self->m_hardwareIntro.reset();
            self->syncOverlays();
        };
        m_introDialog = new CvnContentDialog(hardwareIntroTitle, hardwareIntroBody(*m_hardwareIntro), done, done,
                                             QStringLiteral("UNDERSTAND"), std::nullopt, this);
        m_introDialog->show();
    } else if (!m_hardwareIntro) {
        dismiss(m_introDialog);
    }

    if (m_attachSheetOpen && !m_attachSheet) {
        QPointer<MainView> self(this);
        m_attachSheet = new AttachSheetOverlay(
            [self](bool documents) {
                if (self)
                    self->chooseAttachment(documents);
            },
            [self] {
                if (!self)
                    return;
                self->m_attachSheetOpen = false;
                self->syncOverlays();
            },
            this);
        m_attachSheet->show();
    } else if (!m_attachSheetOpen) {
        dismiss(m_attachSheet);
    }

    restack();
}

void MainView::restack()
{
    const QList<QWidget*> shown = overlays();
    for (QWidget* overlay : shown)
        overlay->raise();
    // The keyboard goes to the topmost overlay, so Escape closes only that
    // one, even when a lower one appeared after it.
    for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
        QWidget* top = *it;
        QWidget* focus = QApplication::focusWidget();
        if (focus != top && !top->isAncestorOf(focus))
            top->setFocus(Qt::OtherFocusReason);
        break;
    }
}

} // namespace cvn
