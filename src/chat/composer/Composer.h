#pragma once

// The message composer at the foot of the chat page: the growing editor on
// the glass panel, the attach button, the model pill, and send (or stop while
// a reply streams). With council mode on it completes `@` mentions through
// the mention popup, which it places on the chat page right above its panel.
//
// The composer owns only its transient editing state: the text, the caret,
// the popup's highlight and a dismissed mention. Everything else arrives
// through the setters, and what the user asks for leaves through the
// callbacks, which the chat page sets and outlives. Main thread only.

#include "chat/composer/ComposerEditor.h"
#include "chat/composer/MentionPopup.h"
#include "models/ModelInfo.h"

#include <QAbstractButton>
#include <QList>
#include <QUrl>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QImage;
class QMimeData;

namespace cvn {

class ComposerGlass;
class LayoutProbe;
class StopDisc;

// The pill naming the current model, "SELECT A MODEL" when there is none:
// label width ceil(advance) + 1, at most 182; pill = label + 56 within
// 102 ... 240, 38 high. Drawn at 85 % while pressed.
class ModelPill : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int pillHeight = 38;
    static constexpr int maxLabelWidth = 182;
    static constexpr int minWidth = 102;
    static constexpr int maxWidth = 240;

    explicit ModelPill(QWidget* parent = nullptr);

    void setModelName(const std::optional<QString>& name);
    QString label() const { return text(); }
    int labelWidth() const { return m_labelWidth; }
    int pillWidth() const { return m_pillWidth; }
    // Where the label is drawn, in the pill's coordinates.
    QRect labelRect() const;

    QSize sizeHint() const override { return {m_pillWidth, pillHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_labelWidth = 0;
    int m_pillWidth = minWidth;
    QWidget* m_labelFrame = nullptr; // invisible; carries the label's probe
    LayoutProbe* m_pillProbe = nullptr;
    LayoutProbe* m_labelProbe = nullptr;
};

class Composer : public QWidget {
    Q_OBJECT
public:
    static constexpr int panelWidth = 797;
    static constexpr int bottomMargin = 24;
    static constexpr int minPanelHeight = 116;
    static constexpr int maxPanelHeight = 260;
    static constexpr qreal maxEditorHeight = 180;

    // The panel's height for an editor height (105 content at 35 or less,
    // else min(h, 180) + 70, within 116 ... 260).
    static int panelHeightFor(qreal editorHeight);

    explicit Composer(QWidget* parent = nullptr);
    ~Composer() override;

    // Inputs, set by the chat page.
    void setCurrentModelName(const std::optional<QString>& name);
    void setStreaming(bool streaming);
    // A send still waits for its model: Return keeps the text meanwhile.
    void setSendPending(bool pending);
    void setCouncilOn(bool on);
    void setMentionModels(const QList<ModelInfo>& models);
    // The page the mention popup stands on; the parent widget when unset.
    void setPopupHost(QWidget* host);

    std::function<void()> onSelectModel;
    std::function<void(const QString& text)> onSend;
    std::function<void()> onStop;
    std::function<void(int height)> onHeightChange;
    std::function<void()> onAttach;
    // Files pasted or dropped on the editor, and pasted image data once
    // written as a PNG file into the paste folder: the chat page stages them
    // as it stages chosen files.
    std::function<void(const QList<QUrl>& files)> onStageFiles;
    // Pasted image data once written into the paste folder, when set (else
    // onStageFiles takes it): the file is the stager's to delete once it
    // leaves the list, as nothing else ever reads it again.
    std::function<void(const QUrl& file)> onStagePasted;
    // A pasted image that could not be taken (the clipboard's data is no
    // picture, or it could not be written), with the sentence to show.
    std::function<void(const QString& message)> onPasteFailed;

    // Where pasted images go: QStandardPaths::CacheLocation + "/pasted"
    // unless set.
    void setPasteFolder(const QString& folder) { m_pasteFolder = folder; }
    QString pasteFolder() const;
    // A paste or drop on the editor: local files are staged; else image
    // data is written (off the main thread) as "Pasted image.png", or
    // "Pasted image 2.png" and on when taken, then staged. False, with
    // nothing done, for anything else, which the editor inserts as text.
    bool takeAttachments(const QMimeData* source, bool dryRun);
    // Writes `image` as a PNG named as above into `folder` (made when
    // missing); the file's path, or nothing with `error` set. Any thread.
    static std::optional<QString> writePastedImage(const QImage& image, const QString& folder, QString* error);

    // The send action of Return and the send button: takes the text as it
    // stands, clears the editor, then calls onSend. Does nothing while a
    // reply streams or a send waits, so nothing typed is lost.
    void send();
    // The editor's mention keys; true when consumed.
    bool handleMentionKey(ComposerEditor::MentionKey key);
    // Replaces the typed `@` token with "@handle " and puts the caret behind.
    void acceptMention(const ModelInfo& model);

    QString text() const { return m_editor->text(); }
    int highlight() const { return m_highlight; }
    int panelHeight() const { return panelHeightFor(m_editorHeight); }
    int reportedHeight() const { return panelHeight() + bottomMargin; }
    // The models offered for the token being typed; empty when none.
    QList<ModelInfo> candidates() const;

    ComposerEditor* editor() const { return m_editor; }
    MentionPopup* popup() const { return m_popup; }
    ModelPill* modelPill() const { return m_pill; }
    QAbstractButton* attachButton() const { return m_attach; }
    QAbstractButton* sendButton() const { return m_send; }
    StopDisc* stopDisc() const { return m_stop; }

protected:
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct ActiveMention {
        qsizetype location;
        QString token;
        QString key() const;
    };

    std::optional<ActiveMention> activeMention() const;
    void textEdited();
    void refreshMentions();
    void setEditorHeight(qreal height);
    void layoutChildren();
    void placePopup();

    ComposerGlass* m_glass;
    ComposerEditor* m_editor;
    QAbstractButton* m_attach;
    ModelPill* m_pill;
    QAbstractButton* m_send;
    StopDisc* m_stop;
    QPointer<MentionPopup> m_popup;
    LayoutProbe* m_popupProbe = nullptr;
    QPointer<QWidget> m_popupHost;

    QString m_pasteFolder;
    bool m_streaming = false;
    bool m_sendPending = false;
    bool m_councilOn = false;
    QList<ModelInfo> m_mentionModels;

    int m_highlight = 0;
    std::optional<QString> m_dismissedMention;
    QString m_popupKey; // the key the shown popup was built for
    bool m_popupShown = false;
    qreal m_editorHeight = ComposerEditor::minHeight;
    int m_reportedPanel = 0; // 0 until the first report
};

} // namespace cvn
