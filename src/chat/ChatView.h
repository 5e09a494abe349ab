#pragma once

// The chat page: the transcript of the open chat, the composer below it with
// the session's status line and the staged files, the toolbar ("History",
// "New chat"), the council switch, the toasts, and the dialogs that sending
// and the message actions open (edit, delete, context warning, council
// introduction, empty question).
//
// While the chat history cannot save (the database closed or read-only, or
// its writes failing), a notice stands above the composer column.
//
// The page observes the long-lived objects it is given (the session, the
// stager, the chat history) and never owns them; they must outlive it. It
// owns only transient interface state: its toast centre, the open dialogs
// and the send road's state. Changes of the session's turns are gathered and
// applied once per pass of the event loop, so a reply that streams many
// pieces between two paints costs one relayout. Overlays (toasts, the
// mention popup, dialogs) are children of the page itself, placed and raised
// explicitly. Main thread only.

#include "chat/SendController.h"
#include "engine/LlamaSession.h"
#include "models/ModelInfo.h"

#include <QPointer>
#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QScrollArea;
class QGraphicsOpacityEffect;

namespace cvn {

class AttachmentStager;
class ChatHistory;
class ChatScrollController;
class DebugPanel;
class ScrollToNewestButton;
class ChatSession;
class Composer;
class CouncilToggle;
class CvnButton;
class EmptyState;
class MessageBubble;
class ModalOverlay;
class NoticeLine;
class StagedStrip;
class StatusLine;
class ToastCenter;
class ToastView;
class TranscriptColumn;

class ChatView : public QWidget {
    Q_OBJECT
public:
    using Turn = LlamaSession::Turn;

    static constexpr int bandHeight = 70;
    static constexpr int columnWidth = 797;
    static constexpr int composerSpacing = 8;
    static constexpr int councilTop = 35;
    static constexpr int councilSpacing = 18;
    static constexpr int toolbarLeading = 21;
    static constexpr int toolbarTop = 18;
    static constexpr int debugPanelInset = 12; // from the page's sides
    static constexpr int debugPanelTop = 8;
    static constexpr int editMaxLength = 4000;
    static constexpr qreal dimmedToggle = 0.4;
    static inline const QString introShownKey = QStringLiteral("council.introShown");
    static inline const QString copiedToast = QStringLiteral("Copied to clipboard");

    // What the scrolling code reports of the transcript.
    struct ScrollMetrics {
        qreal offset = 0;
        qreal contentHeight = 0;
        qreal viewportHeight = 0;
        friend bool operator==(const ScrollMetrics&, const ScrollMetrics&) = default;
    };

    // `history` may be null (nothing is marked as a council chat then).
    ChatView(ChatSession* session, AttachmentStager* stager, ChatHistory* history, QWidget* parent = nullptr);
    // Over the engine's own session, through an adapter the page owns.
    ChatView(LlamaSession* session, AttachmentStager* stager, ChatHistory* history, QWidget* parent = nullptr);
    ~ChatView() override;

    // --- inputs, set by the main view ---------------------------------------
    std::function<void()> onToggleDrawer;
    std::function<void()> onSelectModel;
    std::function<void()> onNewChat;
    std::function<void()> onAttach;
    // Awaited before a plain send: calls its argument once with true when
    // the message may go to the loaded model. Unset answers true.
    std::function<void(std::function<void(bool)>)> prepareModel;
    // Writes the council flag the main view owns.
    std::function<void(bool)> onCouncilChange;
    void setCurrentModelName(const std::optional<QString>& name);
    void setCouncilOn(bool on);
    void setContextSize(int64_t tokens);
    void setModels(const QList<ModelInfo>& models);

    // --- operations ---------------------------------------------------------
    void onSend(const QString& text);
    void stopGeneration();
    void setComposerHeight(int height);
    void setReadingGap(int gap);
    // The council switch's setter: writes the flag and shows the council
    // introduction the first time the mode goes on.
    void setCouncil(bool on);
    void copyTurn(const Turn& turn);
    void copyReasoning(const Turn& turn);
    void editTurn(const Turn& turn);
    void deleteTurn(const Turn& turn);
    void resendTurn(const Turn& turn);
    void toggleReasoning(const Turn& turn);
    void saveEdit(const QString& text);
    void cancelEdit();
    void confirmDelete();
    void cancelDelete();
    // A "showToast" notification's user info: its "message", when it is
    // text, shows as an information toast.
    void showToastNotification(const QVariantMap& userInfo);

    // --- the rules of the layout ----------------------------------------------
    // The council row's leading padding for a page width.
    static int councilPadding(int pageWidth);
    // Whether the scroll-to-newest button shows.
    static bool showsScrollButton(bool hasTurns, bool autoFollow, const ScrollMetrics& metrics);

    // --- what the scrolling code reads ----------------------------------------
    TranscriptColumn* transcript() const { return m_column; }
    QScrollArea* scrollArea() const { return m_scroll; }
    // Follow-the-tail scrolling of the transcript and its button.
    ChatScrollController* scroller() const { return m_scroller; }
    ScrollToNewestButton* scrollToNewestButton() const { return m_toNewest; }
    // The runtime panel over the page, shown while "debug.showRuntimePanel" is on.
    DebugPanel* debugPanel() const { return m_debugPanel; }
    std::optional<int> anchorY(const QUuid& turnId) const;
    int tailTop() const;
    int composerHeight() const { return m_composerHeight; }

    // --- state and parts, for the tests and the gallery -----------------------
    SendController& road() { return *m_road; }
    ToastCenter* toasts() const { return m_toasts; }
    Composer* composer() const { return m_composer; }
    EmptyState* emptyState() const { return m_empty; }
    CouncilToggle* councilToggle() const { return m_councilToggle; }
    QGraphicsOpacityEffect* councilDimming() const { return m_councilDim; }
    QWidget* councilRow() const { return m_councilRow; }
    CvnButton* historyButton() const { return m_historyButton; }
    CvnButton* newChatButton() const { return m_newChat; }
    StagedStrip* stagedStrip() const { return m_strip; }
    StatusLine* statusLine() const { return m_status; }
    // "Chats are not being saved", shown while the history cannot save.
    NoticeLine* notSavedNotice() const { return m_notSaved; }
    const std::optional<Turn>& editing() const { return m_editing; }
    const std::optional<Turn>& deleting() const { return m_deleting; }
    bool councilIntroOpen() const { return m_councilIntroOpen; }
    // The dialogs shown now, bottom to top.
    QList<ModalOverlay*> openDialogs() const;
    bool councilOn() const { return m_councilOn; }

signals:
    // After each relayout of the transcript: where its tail marker starts.
    void tailTopChanged(int top);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    class Planner;

    void scheduleTurns();
    void applyTurns();
    void wireBubble(MessageBubble* bubble);
    void wireToasts();
    void streamingChanged();
    void statusChanged();
    void stagerChanged();
    void savingChanged();
    void updateTail();
    void syncScroll();
    void layoutChildren();
    void layoutComposerColumn();
    void syncDialogs();
    void restoreText(const QString& text);
    const Turn* liveTurn(const QUuid& id) const;

    QPointer<ChatSession> m_session;
    QPointer<AttachmentStager> m_stager;
    uint64_t m_toastToken = 0; // names the toast handler this view installed
    QPointer<ChatHistory> m_history;
    std::unique_ptr<StagerAdapter> m_stagerAdapter;
    std::unique_ptr<CouncilMentionRules> m_mentionRules;
    std::unique_ptr<Planner> m_planner;
    SendController* m_road = nullptr;

    QWidget* m_chatArea = nullptr;
    QScrollArea* m_scroll = nullptr;
    TranscriptColumn* m_column = nullptr;
    ChatScrollController* m_scroller = nullptr;
    ScrollToNewestButton* m_toNewest = nullptr;
    DebugPanel* m_debugPanel = nullptr;
    EmptyState* m_empty = nullptr;
    ToastCenter* m_toasts = nullptr;
    ToastView* m_toastView = nullptr;
    StatusLine* m_status = nullptr;
    NoticeLine* m_notSaved = nullptr;
    StagedStrip* m_strip = nullptr;
    Composer* m_composer = nullptr;
    QWidget* m_councilRow = nullptr;
    CouncilToggle* m_councilToggle = nullptr;
    QGraphicsOpacityEffect* m_councilDim = nullptr;
    CvnButton* m_historyButton = nullptr;
    CvnButton* m_newChat = nullptr;

    bool m_councilOn = false;
    int64_t m_contextSize = 0;
    int m_composerHeight = 140;
    int m_readingGap = 0;
    bool m_turnsQueued = false;
    // Another chat was opened since the turns were last applied (and at
    // first): the next turns are that chat's, never a new user turn.
    bool m_chatChanged = true;
    bool m_streaming = false;

    std::optional<Turn> m_editing;
    std::optional<Turn> m_deleting;
    bool m_councilIntroOpen = false;
    QPointer<ModalOverlay> m_editDialog;
    QPointer<ModalOverlay> m_deleteDialog;
    QPointer<ModalOverlay> m_warningDialog;
    QPointer<ModalOverlay> m_introDialog;
    QPointer<ModalOverlay> m_emptyQuestionDialog;
};

} // namespace cvn
