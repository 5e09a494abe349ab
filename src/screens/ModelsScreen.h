#pragma once

#include "models/ModelInfo.h"
#include "ui_kit/Theme.h"

#include <QList>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>

class QScrollArea;
class QTimer;
class QVBoxLayout;

namespace cvn {

class CentredCardLayout;
class CopyProgressOverlay;
class CvnActionSheet;
class CvnButton;
class CvnConfirmDialog;
class CvnContentDialog;
class CvnInputDialog;
class EditModelFormModel;
class ModelImport;
class ModelStore;
class ModalOverlay;

// One model in the list card: name and second line, the info button (hover or
// click for the capacity card) and the More button. 70 high, no action of its
// own: the current model is not chosen on this screen.
class ModelRow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 70;
    static constexpr int kPadding = 31;
    static constexpr int kSpacing = 13;
    static inline const QString visionAdapterLine =
        QStringLiteral("Vision adapter, not a model · not selectable · delete it from ⋯ if you like");

    ModelRow(const ModelInfo& model, bool showDivider, QWidget* parent = nullptr);

    const ModelInfo& model() const { return m_model; }
    bool showsDivider() const { return m_showDivider; }
    QString secondLine() const;
    qreal nameOpacity() const;
    CvnButton* infoButton() const { return m_info; }
    CvnButton* moreButton() const { return m_more; }
    // The divider's rectangle, empty without one.
    QRectF dividerRect() const;

signals:
    void moreClicked();
    void infoClicked();
    void infoHovered(bool hovering);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setInfoHover(bool hovering);
    QRectF textRect() const;

    ModelInfo m_model;
    bool m_showDivider;
    bool m_infoHover = false;
    CvnButton* m_info;
    CvnButton* m_more;
};

// The capacity text of one model on a small ink card, measured at once for
// the width it may take.
class InfoCard : public QWidget {
public:
    static constexpr int kPadding = 13;
    static constexpr qreal kRadius = 15;

    InfoCard(QWidget* parent = nullptr);
    void setContent(const QString& text, int textMaxWidth);
    QString text() const { return m_text; }
    int textMaxWidth() const { return m_maxWidth; }
    QSize sizeHint() const override { return m_size; }
    // The text's own width, at most textMaxWidth.
    int textWidth() const { return m_size.width() - 2 * kPadding; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_text;
    int m_maxWidth = 0;
    QSize m_size;
};

// The MODELS page: the models folder's list with each model's size and fit,
// the ADD MODEL road (drop anywhere on the page, or the file dialog), the row
// actions (rename, edit, remove) and their dialogs, and the copy overlay.
//
// It owns no model data: it observes the shared ModelStore and the window's
// ModelImport (which also owns the copy, so a copy outlives this page). What
// it owns is transient: which card is hovered or pinned and which sheet or
// dialog is open. Everything is rebuilt from the store when it changes.
//
// Main thread only.
class ModelsScreen : public QWidget {
    Q_OBJECT

public:
    static constexpr int kColumnWidth = 544;
    static constexpr int kMargin = 19;
    static constexpr int kMaxFittedRows = 5;
    static constexpr int kScrollingHeight = 365;
    static constexpr int kAddWidth = 226;
    static constexpr QPoint kBackPosition{39, 53};
    static constexpr int kHoverDelayMs = 400;
    static constexpr int kHoverTextWidth = 368;
    static constexpr int kPinnedTextWidth = 448;
    static constexpr int kEdgeInset = 8;
    static constexpr int kCardGap = 4;
    static inline const QString emptyText = QStringLiteral("No models yet. Drag a .gguf here or tap ADD.");

    // Shows the open panel parented to `parent`; `chosen` runs once with the
    // chosen file's path, and never when the user cancels.
    using FileChooser = std::function<void(QWidget* parent, std::function<void(const QString&)> chosen)>;
    // Makes the runtime debug panel shown above the title when the setting
    // asks for it.
    using PanelFactory = std::function<QWidget*()>;

    // `store` and `import` must outlive the screen.
    ModelsScreen(ModelStore& store, ModelImport& import, std::function<void()> onBack, QWidget* parent = nullptr);

    void setFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }
    void setPanelFactory(PanelFactory factory);
    // The application's chooser: a non-native open panel for one .gguf file
    // (any letter case), its button labelled "Add".
    static void chooseModelFile(QWidget* parent, std::function<void(const QString&)> chosen);

    // What a test or the gallery looks at.
    CentredCardLayout* page() const { return m_page; }
    QWidget* column() const { return m_column; }
    QWidget* listCard() const { return m_listCard; }       // null without models
    QWidget* emptyCard() const { return m_emptyCard; }     // null with models
    QScrollArea* listScrollArea() const { return m_listArea; } // null for 5 or fewer
    QList<ModelRow*> rows() const { return m_rows; }
    QWidget* debugPanel() const { return m_panel; }
    QWidget* titleLabel() const { return m_title; }
    CvnButton* addButton() const { return m_add; }
    CvnButton* backButton() const { return m_back; }
    InfoCard* infoCard() const { return m_infoCard; }
    QWidget* clickCatcher() const { return m_catcher; }
    QTimer* hoverTimer() const { return m_hoverTimer; }
    std::optional<QUuid> pinnedInfo() const { return m_infoFlyout; }
    std::optional<QUuid> hoveredInfo() const { return m_infoHover; }
    // "5 models, fitted" or "6 models, scrolling"; empty without models.
    QString listDetail() const;
    // The open sheet or dialog on top, if any.
    QList<QWidget*> overlays() const;

    // Where a card of size `card` stands for the info button at `anchor`, in
    // screen coordinates.
    static QPoint infoCardPosition(const QRect& anchor, const QSize& card, int screenWidth);

    void infoClicked(const QUuid& id);
    void infoHovered(bool hovering, const QUuid& id);
    void closeInfoCard();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void rebuildList();
    void refreshPanel();
    void placeInfoCard();
    void restack();

    void openAddSheet();
    void chooseAddSource(const std::optional<QString>& id);
    void openAddPanel();
    void syncImport();

    void openRowMenu(const ModelInfo& model);
    void handleRowMenu(const std::optional<QString>& id, const ModelInfo& model);
    void saveEdit();
    void confirmRemove(const ModelInfo& model);
    void showDeleteError(const QString& text);
    // Removes an overlay from inside one of its own callbacks.
    static void close(QPointer<ModalOverlay>& overlay);

    ModelStore& m_store;
    ModelImport& m_import;
    std::function<void()> m_onBack;
    FileChooser m_chooser;
    PanelFactory m_panelFactory;

    CentredCardLayout* m_page;
    QWidget* m_column;
    QVBoxLayout* m_columnLayout;
    QWidget* m_panelSlot;
    QWidget* m_panel = nullptr;
    QWidget* m_title;
    QWidget* m_listSlot;
    QWidget* m_listCard = nullptr;
    QWidget* m_emptyCard = nullptr;
    QScrollArea* m_listArea = nullptr;
    QList<ModelRow*> m_rows;
    CvnButton* m_add;
    CvnButton* m_back;

    QWidget* m_catcher;
    InfoCard* m_infoCard;
    QTimer* m_hoverTimer;
    std::optional<QUuid> m_pendingHover;
    std::optional<QUuid> m_infoHover;
    std::optional<QUuid> m_infoFlyout;

    // The sheets and dialogs, bottom to top.
    QPointer<ModalOverlay> m_addSheet;
    QPointer<ModalOverlay> m_rowSheet;
    QPointer<ModalOverlay> m_renameDialog;
    QPointer<ModalOverlay> m_editDialog;
    QPointer<ModalOverlay> m_messageDialog;
    QPointer<ModalOverlay> m_deleteErrorDialog;
    QPointer<ModalOverlay> m_progressOverlay;
    QPointer<ModalOverlay> m_confirmDialog;
    QPointer<ModalOverlay> m_removeDialog;
    QPointer<EditModelFormModel> m_editing;
    std::optional<QUuid> m_shownPending;
    QString m_shownMessage;
};

} // namespace cvn
