#pragma once

#include "models/ModelInfo.h"
#include "screens/ModelInfoCard.h"
#include "screens/ModelRow.h"
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

// The MODELS page: the models folder's list with each model's size and fit,
// the ADD MODEL road (drop anywhere on the page, or the file dialog), the row
// actions (rename, edit, remove) and their dialogs, and the copy overlay.
//
// It owns no model data: it observes the shared ModelStore and the window's
// ModelImport (which also owns the copy, so a copy outlives this page). What
// it owns is transient: which card is hovered or pinned and which sheet or
// dialog is open. Everything is rebuilt from the store when it changes.
//
// ModelsScreen.cpp builds the page and its list; ModelInfoCard.cpp places
// the info card, ModelsScreenImport.cpp runs the add road and
// ModelsScreenRowActions.cpp the row actions.
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
