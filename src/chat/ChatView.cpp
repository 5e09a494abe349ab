#include "chat/ChatView.h"

#include "attachments/AttachmentStager.h"
#include "attachments/views/StagedStrip.h"
#include "chat/ChatSession.h"
#include "chat/NoticeLine.h"
#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/shared/AppSignals.h"
#include "chat/shared/DebugPanel.h"
#include "chat/shared/EmptyState.h"
#include "chat/shared/Toasts.h"
#include "chat/transcript/ChatScrollController.h"
#include "chat/transcript/EditMessageDialog.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/ScrollToNewestButton.h"
#include "chat/transcript/TranscriptColumn.h"
#include "models/MemoryEstimates.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "storage/ChatHistory.h"
#include "ui_kit/ContextWarningDialog.h"
#include "ui_kit/CouncilIntroDialog.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/Icons.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QClipboard>
#include <QFile>
#include <QFontMetricsF>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

#include <cmath>
#include <utility>

namespace cvn {

namespace {

// "COUNCIL" and the switch, 18 apart, vertically centred.
class CouncilRow : public QWidget {
public:
    explicit CouncilRow(QWidget* parent) : QWidget(parent)
    {
        m_label = QStringLiteral("COUNCIL");
        m_labelWidth = int(std::ceil(QFontMetricsF(Theme::interMedium16()).horizontalAdvance(m_label)));
        toggle = new CouncilToggle(this);
        toggle->setToolTip(QStringLiteral("Council"));
        toggle->move(m_labelWidth + ChatView::councilSpacing, 0);
        resize(toggle->geometry().right() + 1, CouncilToggle::trackHeight);
        Theme::repaintOnAppearanceChange(this);
    }

    CouncilToggle* toggle;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setPen(Theme::ink());
        Theme::drawElidedLine(painter, QRectF(0, 0, m_labelWidth, height()), Theme::interMedium16(), m_label);
    }

private:
    QString m_label;
    int m_labelWidth = 0;
};

} // namespace

// The page's side of the send road: the model made ready through the main
// view, a council member's planned context, the chat marked as a council.
class ChatView::Planner : public SendController::Planner {
public:
    explicit Planner(ChatView* view) : m_view(view) {}

    void prepareModel(std::function<void(bool)> done) override
    {
        if (m_view->prepareModel)
            m_view->prepareModel(std::move(done));
        else
            done(true);
    }
    int64_t councilContext(const ModelInfo& first) const override
    {
        // Through the screens' one reading of the machine, which tests can fix.
        const int64_t freeMb = SystemFacts::read().rig.ramFreeMb;
        return autoContextForRam(first.effectiveMetadata(), uint64_t(qMax<int64_t>(0, freeMb))).contextSize;
    }
    void markCouncil() override
    {
        if (m_view->m_history)
            m_view->m_history->markCouncil();
    }

private:
    ChatView* m_view;
};

ChatView::ChatView(ChatSession* session, AttachmentStager* stager, ChatHistory* history, QWidget* parent)
    : QWidget(parent), m_session(session), m_stager(stager), m_history(history)
{
    Theme::repaintOnAppearanceChange(this);
    m_stagerAdapter = std::make_unique<StagerAdapter>(stager);
    m_mentionRules = std::make_unique<CouncilMentionRules>();
    m_planner = std::make_unique<Planner>(this);
    m_road = new SendController(*session, *m_stagerAdapter, *m_mentionRules, *m_planner, this);
    m_toasts = new ToastCenter(this);

    // Layer 1: the chat column below the 70-px band.
    m_chatArea = new QWidget(this);
    m_scroll = new QScrollArea(m_chatArea);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidgetResizable(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_scroll->setAutoFillBackground(false);
    ScrollBars::styleScrollBars(m_scroll);
    m_column = new TranscriptColumn;
    m_column->onBubbleCreated = [this](MessageBubble* bubble) { wireBubble(bubble); };
    m_scroll->setWidget(m_column);
    m_column->setAutoFillBackground(false); // setWidget turned it on; the page paints behind
    connect(m_column, &TranscriptColumn::tailTopChanged, this, &ChatView::tailTopChanged);
    m_scroller = new ChatScrollController(this);
    m_scroller->observe(m_column, {[this](const QUuid& id) -> std::optional<double> {
                                       if (const std::optional<int> y = m_column->anchorY(id))
                                           return *y;
                                       return std::nullopt;
                                   },
                                   [this] { return double(m_column->tailTop()); }});
    connect(m_column, &TranscriptColumn::tailTopChanged, m_scroller, &ChatScrollController::tailTopChanged);
    connect(m_column, &TranscriptColumn::contentShifted, m_scroller, &ChatScrollController::contentShifted);
    connect(m_scroller, &ChatScrollController::followStateChanged, this, &ChatView::syncScroll);

    m_empty = new EmptyState(m_chatArea);
    m_toNewest = new ScrollToNewestButton(m_chatArea);
    m_toNewest->connectTo(m_scroller);
    m_toastView = new ToastView(m_toasts, m_chatArea);
    m_status = new StatusLine({}, m_chatArea);
    m_notSaved = new NoticeLine(ChatHistory::notSavedNotice, m_chatArea);
    m_strip = new StagedStrip(stager, m_contextSize, m_chatArea);
    m_composer = new Composer(m_chatArea);
    m_composer->setPopupHost(this);
    m_composer->onSend = [this](const QString& text) { onSend(text); };
    m_composer->onStop = [this] { stopGeneration(); };
    m_composer->onHeightChange = [this](int height) { setComposerHeight(height); };
    m_composer->onSelectModel = [this] {
        if (onSelectModel)
            onSelectModel();
    };
    m_composer->onAttach = [this] {
        if (onAttach)
            onAttach();
    };
    // Pasted and dropped files take the chosen files' road, with its checks.
    m_composer->onStageFiles = [this](const QList<QUrl>& files) {
        for (const QUrl& file : files) {
            if (m_stager)
                m_stager->stage(file);
        }
    };
    m_composer->onStagePasted = [this](const QUrl& file) {
        if (m_stager)
            m_stager->stagePasted(file);
        else
            QFile::remove(file.toLocalFile());
    };
    m_composer->onPasteFailed = [this](const QString& message) { m_toasts->show(message, ToastKind::error); };

    // Layer 2: the council row.
    auto* row = new CouncilRow(this);
    m_councilRow = row;
    m_councilToggle = row->toggle;
    m_councilDim = new QGraphicsOpacityEffect(m_councilToggle);
    m_councilDim->setOpacity(1);
    m_councilToggle->setGraphicsEffect(m_councilDim);
    connect(m_councilToggle, &QAbstractButton::clicked, this, [this] {
        // The switch shows the bound flag; a click asks for the other value.
        m_councilToggle->setChecked(m_councilOn);
        setCouncil(!m_councilOn);
    });

    // Layer 3: the toolbar.
    m_historyButton = new CvnIconButton(new DrawerClosedIcon, this);
    m_historyButton->setToolTip(QStringLiteral("History"));
    m_historyButton->setAccessibleName(QStringLiteral("History"));
    connect(m_historyButton, &QAbstractButton::clicked, this, [this] {
        if (onToggleDrawer)
            onToggleDrawer();
    });
    m_newChat = new CvnIconButton(new NewChatIcon, this);
    m_newChat->setToolTip(QStringLiteral("New chat"));
    m_newChat->setAccessibleName(QStringLiteral("New chat"));
    connect(m_newChat, &QAbstractButton::clicked, this, [this] {
        if (onNewChat)
            onNewChat();
    });

    // Layer 4: the runtime panel; it never takes the pointer.
    m_debugPanel = new DebugPanel(this);
    m_debugPanel->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_debugPanel->bindToSetting();

    connect(session, &ChatSession::turnsChanged, this, &ChatView::scheduleTurns);
    connect(session, &ChatSession::isStreamingChanged, this, &ChatView::streamingChanged);
    connect(session, &ChatSession::statusTextChanged, this, &ChatView::statusChanged);
    connect(session, &ChatSession::firstSeenTurnChanged, this, &ChatView::scheduleTurns);
    if (history) {
        connect(history, &ChatHistory::chatIdChanged, this, [this] {
            m_chatChanged = true;
            scheduleTurns();
        });
        connect(history, &ChatHistory::databaseAvailableChanged, this, &ChatView::savingChanged);
    }
    if (stager) {
        connect(stager, &AttachmentStager::stagedChanged, this, &ChatView::stagerChanged);
        connect(stager, &AttachmentStager::statusChanged, this, &ChatView::stagerChanged);
    }
    connect(m_road, &SendController::sendPendingChanged, m_composer, &Composer::setSendPending);
    connect(m_road, &SendController::oversizeChanged, this, &ChatView::syncDialogs);
    connect(m_road, &SendController::emptyQuestionChanged, this, &ChatView::syncDialogs);
    connect(m_road, &SendController::restoreText, this, &ChatView::restoreText);
    connect(m_road, &SendController::toast, m_toasts, &ToastCenter::show);
    connect(&AppSignals::instance(), &AppSignals::showToast, this,
            [this](const QString& message) { m_toasts->show(message, ToastKind::info); });

    applyTurns();
    streamingChanged();
    statusChanged();
    stagerChanged();
    savingChanged();
    layoutChildren();
}

ChatView::ChatView(LlamaSession* session, AttachmentStager* stager, ChatHistory* history, QWidget* parent)
    : ChatView(new LlamaChatSession(session), stager, history, parent)
{
    m_session->setParent(this);
}

ChatView::~ChatView()
{
    // The stager lives on with the main view: its toasts must not reach a
    // page that is gone, nor may this page silence the one that replaced it.
    if (m_stager)
        m_stager->clearOnToast(m_toastToken);
}

// --- inputs -------------------------------------------------------------------

void ChatView::setCurrentModelName(const std::optional<QString>& name)
{
    m_composer->setCurrentModelName(name);
}

void ChatView::setCouncilOn(bool on)
{
    m_councilOn = on;
    m_road->setCouncilOn(on);
    m_composer->setCouncilOn(on);
    m_councilToggle->setChecked(on);
}

void ChatView::setContextSize(int64_t tokens)
{
    m_contextSize = tokens;
    m_road->setContextSize(tokens);
    m_strip->setContextSize(tokens);
    layoutComposerColumn();
}

void ChatView::setModels(const QList<ModelInfo>& models)
{
    m_road->setModels(models);
    m_composer->setMentionModels(models);
}

// --- the transcript -------------------------------------------------------------

void ChatView::scheduleTurns()
{
    // Pieces of a streaming reply may arrive many times between two paints:
    // gather them and apply the turns once, when the event loop comes round.
    if (m_turnsQueued)
        return;
    m_turnsQueued = true;
    QMetaObject::invokeMethod(this, &ChatView::applyTurns, Qt::QueuedConnection);
}

void ChatView::applyTurns()
{
    m_turnsQueued = false;
    const QList<Turn> turns = m_session ? m_session->turns() : QList<Turn>{};
    m_column->setTurns(turns);
    m_column->setFirstSeen(m_session ? m_session->firstSeenTurnId() : std::nullopt);
    m_empty->setVisible(turns.isEmpty());
    QList<TailFollower::TurnRef> refs;
    for (const Turn& turn : turns)
        refs.append({turn.id, turn.role == ChatMessage::Role::user});
    // A chat change is handled before its turns, so opening a chat jumps to
    // its end instead of anchoring its last question.
    if (std::exchange(m_chatChanged, false))
        m_scroller->follower().onChatChange(refs);
    else
        m_scroller->follower().onTurnsChange(refs);
    if (m_column->width() != m_scroll->width())
        m_column->resize(m_scroll->width(), m_column->contentHeight());
}

void ChatView::wireBubble(MessageBubble* bubble)
{
    const QUuid id = bubble->turn().id;
    // Each action finds its turn afresh, so it acts on the text as it is now.
    auto on = [this, id](void (ChatView::*action)(const Turn&)) {
        return [this, id, action] {
            if (const Turn* turn = liveTurn(id))
                (this->*action)(*turn);
        };
    };
    bubble->onCopy = on(&ChatView::copyTurn);
    bubble->onEdit = on(&ChatView::editTurn);
    bubble->onResend = on(&ChatView::resendTurn);
    bubble->onDelete = on(&ChatView::deleteTurn);
    bubble->onToggleReasoning = on(&ChatView::toggleReasoning);
    bubble->onCopyReasoning = on(&ChatView::copyReasoning);
}

const ChatView::Turn* ChatView::liveTurn(const QUuid& id) const
{
    if (!m_session)
        return nullptr;
    for (const Turn& turn : m_session->turns())
        if (turn.id == id)
            return &turn;
    return nullptr;
}

std::optional<int> ChatView::anchorY(const QUuid& turnId) const
{
    return m_column->anchorY(turnId);
}

int ChatView::tailTop() const
{
    return m_column->tailTop();
}

void ChatView::setComposerHeight(int height)
{
    m_composerHeight = height;
    updateTail();
    layoutComposerColumn();
}

void ChatView::setReadingGap(int gap)
{
    m_readingGap = gap;
    updateTail();
}

void ChatView::updateTail()
{
    // A standing notice takes room above the composer as the strip does, so
    // the end of the transcript is never under it.
    const int notice = m_notSaved->isVisibleTo(this) ? NoticeLine::lineHeight + composerSpacing : 0;
    const int strip = (m_stager ? StagedStrip::stripHeight(*m_stager) : 0) + notice;
    m_column->setTailHeight(m_composerHeight + strip + m_readingGap);
    m_scroller->follower().setInsets(m_composerHeight, strip);
}

void ChatView::syncScroll()
{
    const TailFollower& follower = m_scroller->follower();
    m_column->setFillerHeight(int(std::lround(follower.fillerHeight())));
    // The gap eases between 0 and 140: every frame reaches the tail marker.
    if (const int gap = int(std::lround(follower.readingGap())); gap != m_readingGap)
        setReadingGap(gap);
}

// --- session and stager changes ---------------------------------------------------

void ChatView::streamingChanged()
{
    const bool streaming = m_session && m_session->isStreaming();
    if (streaming != m_streaming) {
        m_streaming = streaming;
        m_scroller->follower().onStreamingChange(streaming);
    }
    m_composer->setStreaming(streaming);
    m_councilDim->setOpacity(streaming ? dimmedToggle : 1.0);
    // Only while dimmed: an idle effect would still route every paint of the
    // switch through an offscreen pass.
    m_councilDim->setEnabled(streaming);
    // Disabled, it ignores the mouse and the keyboard; it paints the same.
    m_councilToggle->setEnabled(!streaming);
}

void ChatView::statusChanged()
{
    const std::optional<QString> text = m_session ? m_session->statusText() : std::nullopt;
    m_status->setText(text.value_or(QString()));
    m_status->setVisible(text.has_value());
    layoutComposerColumn();
}

void ChatView::stagerChanged()
{
    const bool shows = m_stager && (m_stager->status() || !m_stager->staged().isEmpty());
    m_strip->setVisible(shows);
    updateTail();
    layoutComposerColumn();
}

void ChatView::savingChanged()
{
    if (m_history)
        m_notSaved->setText(m_history->notice());
    m_notSaved->setVisible(m_history && !m_history->databaseAvailable());
    updateTail();
    layoutComposerColumn();
}

// --- send and stop --------------------------------------------------------------

void ChatView::onSend(const QString& text)
{
    m_road->send(text);
}

void ChatView::stopGeneration()
{
    m_road->stop();
}

void ChatView::restoreText(const QString& text)
{
    if (!m_composer->text().isEmpty() || text.isEmpty())
        return;
    m_composer->editor()->setText(text);
    m_composer->editor()->setPendingCaret(text.size());
}

// --- message actions ------------------------------------------------------------

void ChatView::copyTurn(const Turn& turn)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(turn.content);
    m_toasts->show(copiedToast, ToastKind::info);
}

void ChatView::copyReasoning(const Turn& turn)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(turn.reasoning);
    m_toasts->show(copiedToast, ToastKind::info);
}

void ChatView::editTurn(const Turn& turn)
{
    if (!m_session || m_session->isStreaming())
        return;
    m_editing = turn;
    syncDialogs();
}

void ChatView::deleteTurn(const Turn& turn)
{
    if (!m_session || m_session->isStreaming())
        return;
    m_deleting = turn;
    syncDialogs();
}

void ChatView::resendTurn(const Turn& turn)
{
    // The session decides: it does nothing while a reply streams.
    if (m_session)
        m_session->regenerate(turn.id);
}

void ChatView::toggleReasoning(const Turn& turn)
{
    if (m_session)
        m_session->toggleReasoning(turn.id);
}

void ChatView::saveEdit(const QString& text)
{
    if (!m_editing)
        return;
    const QUuid id = m_editing->id;
    m_editing.reset();
    syncDialogs();
    if (m_session)
        m_session->resend(id, text);
}

void ChatView::cancelEdit()
{
    m_editing.reset();
    syncDialogs();
}

void ChatView::confirmDelete()
{
    if (!m_deleting)
        return;
    if (m_session)
        m_session->deleteTurn(m_deleting->id);
    m_deleting.reset();
    syncDialogs();
}

void ChatView::cancelDelete()
{
    m_deleting.reset();
    syncDialogs();
}

void ChatView::setCouncil(bool on)
{
    m_councilOn = on;
    m_road->setCouncilOn(on);
    m_composer->setCouncilOn(on);
    m_councilToggle->setChecked(on);
    if (onCouncilChange)
        onCouncilChange(on);
    if (on && !AppSettings::boolValue(introShownKey)) {
        AppSettings::setValue(introShownKey, true);
        m_councilIntroOpen = true;
        syncDialogs();
    }
}

// --- toasts ---------------------------------------------------------------------

void ChatView::showToastNotification(const QVariantMap& userInfo)
{
    const QVariant message = userInfo.value(QStringLiteral("message"));
    if (message.typeId() == QMetaType::QString)
        m_toasts->show(message.toString(), ToastKind::info);
}

void ChatView::wireToasts()
{
    if (!m_stager)
        return;
    QPointer<ToastCenter> toasts(m_toasts);
    m_toastToken = m_stager->setOnToast([toasts](const QString& message, ToastKind kind) {
        if (toasts)
            toasts->show(message, kind);
    });
}

void ChatView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    wireToasts();
}

// --- dialogs --------------------------------------------------------------------

QList<ModalOverlay*> ChatView::openDialogs() const
{
    QList<ModalOverlay*> open;
    for (const QPointer<ModalOverlay>& dialog :
         {m_editDialog, m_deleteDialog, m_warningDialog, m_introDialog, m_emptyQuestionDialog})
        if (dialog)
            open.append(dialog);
    return open;
}

void ChatView::syncDialogs()
{
    auto sync = [this](QPointer<ModalOverlay>& slot, bool wanted, const std::function<ModalOverlay*()>& make) {
        if (wanted && !slot) {
            slot = make();
            slot->show();
        } else if (!wanted && slot) {
            // A dialog is closed from inside its own button's handler.
            slot->hide();
            slot->deleteLater();
            slot = nullptr;
        }
    };
    sync(m_editDialog, m_editing.has_value(), [this] {
        return new EditMessageDialog(QStringLiteral("Edit message"), m_editing->content, editMaxLength,
                                     [this](const QString& text) { saveEdit(text); }, [this] { cancelEdit(); },
                                     this);
    });
    sync(m_deleteDialog, m_deleting.has_value(), [this] {
        return new CvnConfirmDialog(QStringLiteral("Delete this message?"),
                                    QStringLiteral("This permanently removes the message from the chat."),
                                    QStringLiteral("DELETE"), QStringLiteral("CANCEL"), true,
                                    [this] { confirmDelete(); }, [this] { cancelDelete(); }, this);
    });
    sync(m_warningDialog, m_road->oversize().has_value(), [this] {
        return new ContextWarningDialog(m_road->oversize()->warning, [this] { m_road->sendAfterWarning(); },
                                        [this] { m_road->dismissWarning(); }, this);
    });
    sync(m_introDialog, m_councilIntroOpen, [this] {
        return new CouncilIntroDialog(
            [this] {
                m_councilIntroOpen = false;
                syncDialogs();
            },
            this);
    });
    sync(m_emptyQuestionDialog, m_road->emptyQuestionOpen(), [this] {
        return new CvnConfirmDialog(QStringLiteral("Empty question"),
                                    QStringLiteral("Type a question after the @mention."), QStringLiteral("OK"),
                                    std::nullopt, false, [this] { m_road->dismissEmptyQuestion(); },
                                    [this] { m_road->dismissEmptyQuestion(); }, this);
    });
    for (ModalOverlay* dialog : openDialogs())
        dialog->raise();
}

// --- layout ---------------------------------------------------------------------

int ChatView::councilPadding(int pageWidth)
{
    const int margin = (pageWidth - columnWidth) / 2;
    return margin <= 120 ? 143 : margin + 23;
}

bool ChatView::showsScrollButton(bool hasTurns, bool autoFollow, const ScrollMetrics& metrics)
{
    return hasTurns && !autoFollow && metrics.contentHeight > metrics.viewportHeight;
}

void ChatView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::surface());
}

void ChatView::resizeEvent(QResizeEvent*)
{
    layoutChildren();
}

void ChatView::layoutChildren()
{
    const int w = width();
    m_chatArea->setGeometry(0, bandHeight, w, qMax(0, height() - bandHeight));
    m_scroll->setGeometry(m_chatArea->rect());
    // No bars and no frame: the viewport is the scroller's whole width, also
    // before a hidden scroller has laid its viewport out.
    m_column->resize(m_scroll->width(), m_column->contentHeight());
    m_empty->setGeometry(m_chatArea->rect());
    m_toNewest->setGeometry(ScrollToNewestButton::frameIn(m_chatArea->rect()));
    layoutComposerColumn();

    m_councilRow->move(councilPadding(w), councilTop);
    m_historyButton->adjustSize();
    m_newChat->adjustSize();
    m_historyButton->move(toolbarLeading, toolbarTop);
    m_newChat->move(m_historyButton->geometry().right() + 1 - 1, toolbarTop);

    // Bottom to top: chat column, council row, toolbar, runtime panel, dialogs.
    m_councilRow->raise();
    m_historyButton->raise();
    m_newChat->raise();
    const int panelWidth = qMax(0, w - 2 * debugPanelInset);
    m_debugPanel->setGeometry(debugPanelInset, debugPanelTop, panelWidth, m_debugPanel->heightForWidth(panelWidth));
    m_debugPanel->raise();
    for (ModalOverlay* dialog : openDialogs())
        dialog->raise();
}

void ChatView::layoutComposerColumn()
{
    const int w = m_chatArea->width();
    int bottom = m_chatArea->height();
    auto place = [&](QWidget* widget, int height) {
        const int width = widget == m_status || widget == m_notSaved ? columnWidth : widget->width();
        widget->setGeometry((w - width) / 2, bottom - height, width, height);
        bottom -= height + composerSpacing;
    };
    place(m_composer, m_composer->height());
    const int aboveComposer = bottom;
    if (m_strip->isVisibleTo(this))
        place(m_strip, m_strip->height());
    if (m_status->isVisibleTo(this))
        place(m_status, m_status->sizeHint().height());
    if (m_notSaved->isVisibleTo(this))
        place(m_notSaved, NoticeLine::lineHeight);
    // The staged strip and the lines above the composer reach higher than
    // the toast's resting place; the toast then rests just above them rather
    // than under the chips, where its text would be hidden.
    m_toastView->setClearanceBelow(bottom < aboveComposer ? m_chatArea->height() - bottom : 0);
    m_toastView->raise();
    m_composer->raise();
    m_strip->raise();
    m_status->raise();
    m_notSaved->raise();
}

} // namespace cvn
