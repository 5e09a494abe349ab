#pragma once

// One window over scripted models in a folder of their own, a real chat
// database and real settings in temporary folders, for the tests that
// drive the main view offscreen.

#include "app/ChatActions.h"
#include "app/MainView.h"
#include "LoopbackClient.h"
#include "apiserver/ApiServer.h"
#include "app/MenuBarStatus.h"
#include "app/ModelSelection.h"
#include "attachments/AttachmentStager.h"
#include "chat/sidebar/SidebarList.h"
#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"
#include "chat/shared/AppSignals.h"
#include "attachments/views/StagedStrip.h"
#include "chat/ChatView.h"
#include "chat/composer/ComposerEditor.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/TranscriptColumn.h"
#include "chat/NoticeLine.h"
#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/shared/DebugPanel.h"
#include "chat/shared/Toasts.h"
#include "engine/ChildWriter.h"
#include "engine/PromptCache.h"
#include "engine/QtPrinters.h"
#include "engine/TestModels.h"
#include "models/MemoryEstimates.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "screens/AttachSheetOverlay.h"
#include "screens/ModelsScreen.h"
#include "screens/ReplyCachePage.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/CvnTextArea.h"
#include "ui_kit/CvnTextAreaDialog.h"

#include <QFile>
#include <QFileDialog>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cvn::test {

using Page = MainView::Page;

inline const std::vector<std::string> kHello = {kPromptEnd, "▁Hello", "</s>"};
inline const std::vector<std::string> kEndless = {kPromptEnd, "▁A", "▁B", "▁A"};

inline void writeZeros(const QString& path, int bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, '\0'));
}

// One window's worth of state: models folder, chat database, the view.
struct Fixture {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<ChatDatabase> db;
    std::unique_ptr<ChatStore> chats;
    std::unique_ptr<MainView> view;
    SystemFacts::Override facts{SystemFacts{RigInfo{16384, 8192, QStringLiteral("Test CPU")}, 4}};

    explicit Fixture(bool introShown = true)
    {
        AppSettings::setValue(MainView::hardwareIntroKey, introShown);
        AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), false);
        folder.add(QStringLiteral("tiny"), {kHello});
        folder.add(QStringLiteral("endless"), {kEndless});
        store = std::make_unique<ModelStore>(folder.path);
        db = std::make_unique<ChatDatabase>(makeTempFolder() + QStringLiteral("/chats.db"),
                                            ChatDatabase::mainThreadBusyTimeoutMs);
        chats = std::make_unique<ChatStore>(*db);
        view = std::make_unique<MainView>(*store, *chats);
        view->resize(1280, 800);
    }
    QUuid id(const QString& name) const { return modelNamed(store->models(), name).id; }
    bool loaded(const QString& name) const { return view->session().loadedModelName() == name; }
    void load(const QString& name)
    {
        view->models().select(id(name));
        ASSERT_TRUE(waitUntil([&] { return loaded(name); }, 30000));
    }
    void exchange(const QString& text)
    {
        view->session().send(text);
        ASSERT_TRUE(waitUntil([&] { return !view->session().isStreaming(); }, 30000));
    }
    int64_t savedChat(const QString& text)
    {
        view->chat().startNewChat();
        exchange(text);
        return view->history().chatId();
    }
    // The drawer's row for chat `id`.
    ChatStore::Row row(int64_t id) const
    {
        for (const ChatStore::Row& row : chats->rows()) {
            if (row.id == id)
                return row;
        }
        ADD_FAILURE() << "no row for chat " << id;
        return {};
    }
    ChatView* chatPage() const { return qobject_cast<ChatView*>(view->pageWidget()); }
    // Another program takes the write lock on `holder`; `text` is sent and
    // answered, and the open chat's turns wait.
    void sendUnderLock(ChatDatabase& holder, const QString& text)
    {
        ASSERT_TRUE(holder.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        exchange(text);
        ASSERT_TRUE(view->history().hasWaitingWrites());
    }
    // The lock's holder deletes the row's chat with its messages, gives its
    // id to a chat of its own called `title`, and commits.
    static void replaceAndCommit(ChatDatabase& holder, const ChatStore::Row& row, const QString& title)
    {
        ASSERT_TRUE(holder.exec(QStringLiteral("DELETE FROM messages WHERE chat_id=%1; DELETE FROM chats WHERE id=%1;"
                                               "INSERT INTO chats(id, title, created_at) VALUES(%1, '%3', %2); COMMIT")
                                    .arg(row.id)
                                    .arg(row.createdAt + 1)
                                    .arg(title)));
    }
};

} // namespace cvn::test
