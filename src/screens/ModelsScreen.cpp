#include "screens/ModelsScreen.h"

#include "chat/LayoutProbe.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "screens/CopyProgressOverlay.h"
#include "screens/EditModelForm.h"
#include "screens/EditModelFormModel.h"
#include "screens/ModelImport.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/Icons.h"
#include "ui_kit/ModalOverlay.h"
#include "ui_kit/ScrollBars.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMimeData>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

constexpr qreal kCardRadius = 27;
constexpr int kTextLineSpacing = 5;
constexpr int kPanelGap = 16;
constexpr int kDescriptionAbove = 16;
constexpr int kDescriptionBelow = 22;
constexpr int kAddAbove = 20;
constexpr int kEmptyPadding = 19;

// Lines of page text as one block: as wide as its widest line and centred in
// the column by its layout, each line starting at the block's left edge.
class PageText : public QWidget {
public:
    PageText(const QString& text, const QFont& font, DynamicColor color, QWidget* parent = nullptr)
        : QWidget(parent), m_text(text), m_color(color)
    {
        setFont(font);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        Theme::repaintOnAppearanceChange(this);
    }
    QString text() const { return m_text; }
    QSize sizeHint() const override
    {
        const QFontMetrics metrics(font());
        const QStringList lines = m_text.split(u'\n');
        int width = 0;
        for (const QString& line : lines)
            width = std::max(width, metrics.horizontalAdvance(line));
        return {width + 1, metrics.height() * int(lines.size())};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setFont(font());
        p.setPen(m_color());
        const QFontMetrics metrics(font());
        int y = 0;
        for (const QString& line : m_text.split(u'\n')) {
            p.drawText(QRect(0, y, width(), metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, line);
            y += metrics.height();
        }
    }

private:
    QString m_text;
    DynamicColor m_color;
};

// The card shown instead of the list while the folder holds no model.
class EmptyCard : public CardSurface {
public:
    explicit EmptyCard(QWidget* parent = nullptr) : CardSurface(kCardRadius, parent)
    {
        setObjectName(QStringLiteral("cvn.models.empty"));
        setFixedSize(ModelsScreen::kColumnWidth, heightFor());
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        CardSurface::paintEvent(event);
        QPainter p(this);
        p.setFont(Theme::interMedium13());
        p.setPen(Theme::paper());
        p.drawText(textRect(), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, ModelsScreen::emptyText);
    }

private:
    static QRect textRect()
    {
        return QRect(kEmptyPadding, kEmptyPadding, ModelsScreen::kColumnWidth - 2 * kEmptyPadding, textHeight());
    }
    static int textHeight()
    {
        return QFontMetrics(Theme::interMedium13())
            .boundingRect(QRect(0, 0, ModelsScreen::kColumnWidth - 2 * kEmptyPadding, 10000),
                          Qt::TextWordWrap | Qt::AlignLeft, ModelsScreen::emptyText)
            .height();
    }
    static int heightFor() { return textHeight() + 2 * kEmptyPadding; }
};

// While a card is pinned: a clear layer over the page that takes the first
// click anywhere outside the card, and only closes the card.
class ClickCatcher : public QWidget {
public:
    ClickCatcher(std::function<void()> onTap, QWidget* parent) : QWidget(parent), m_onTap(std::move(onTap)) {}

protected:
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        event->accept();
        if (rect().contains(event->position().toPoint()))
            m_onTap();
    }
    void wheelEvent(QWheelEvent* event) override { event->accept(); }

private:
    std::function<void()> m_onTap;
};

} // namespace

// --- ModelRow -------------------------------------------------------------------

ModelRow::ModelRow(const ModelInfo& model, bool showDivider, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_showDivider(showDivider)
{
    setObjectName(QStringLiteral("cvn.models.row"));
    setFixedHeight(kHeight);
    setMouseTracking(true);
    Theme::repaintOnAppearanceChange(this);

    m_info = new CvnCompactIconButton(new InfoIcon, this);
    m_info->setObjectName(QStringLiteral("cvn.models.info"));
    m_info->setAccessibleName(QStringLiteral("Context details"));
    m_info->setMouseTracking(true);
    m_info->installEventFilter(this);
    m_more = new CvnCompactIconButton(new MoreHorizontalIcon, this);
    m_more->setObjectName(QStringLiteral("cvn.models.more"));
    m_more->setAccessibleName(QStringLiteral("More actions"));

    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(kPadding, 0, kPadding, 0);
    line->setSpacing(kSpacing);
    line->addStretch(1); // the text is painted into the room left of the buttons
    line->addWidget(m_info, 0, Qt::AlignVCenter);
    line->addWidget(m_more, 0, Qt::AlignVCenter);
    connect(m_info, &QAbstractButton::clicked, this, &ModelRow::infoClicked);
    connect(m_more, &QAbstractButton::clicked, this, &ModelRow::moreClicked);
}

QString ModelRow::secondLine() const
{
    return m_model.isVisionProjector() ? visionAdapterLine : subtitle(m_model);
}

qreal ModelRow::nameOpacity() const
{
    return m_model.isVisionProjector() ? 0.5 : 1.0;
}

QRectF ModelRow::dividerRect() const
{
    if (!m_showDivider)
        return {};
    return QRectF(kPadding, height() - 2, width() - 2 * kPadding, 2);
}

QRectF ModelRow::textRect() const
{
    const qreal right = m_info->geometry().left() - kSpacing;
    return QRectF(kPadding, 0, std::max<qreal>(0, right - kPadding), height());
}

void ModelRow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont& font = Theme::interMedium13();
    const qreal line = QFontMetricsF(font).height();
    const QRectF text = textRect();
    const qreal top = (height() - (2 * line + kTextLineSpacing)) / 2;
    const QColor paper = Theme::paper();

    QColor name = paper;
    name.setAlphaF(nameOpacity());
    p.setPen(name);
    Theme::drawElidedLine(p, QRectF(text.left(), top, text.width(), line), font, m_model.displayName);
    QColor second = paper;
    second.setAlphaF(0.5);
    p.setPen(second);
    Theme::drawElidedLine(p, QRectF(text.left(), top + line + kTextLineSpacing, text.width(), line), font,
                          secondLine());

    if (m_showDivider) {
        p.setPen(Qt::NoPen);
        p.setBrush(second);
        p.drawRoundedRect(dividerRect(), 1, 1);
    }
}

void ModelRow::setInfoHover(bool hovering)
{
    if (hovering == m_infoHover)
        return;
    m_infoHover = hovering;
    emit infoHovered(hovering);
}

void ModelRow::mouseMoveEvent(QMouseEvent* event)
{
    // The button passes its own moves on to the row, so ask where the pointer is.
    setInfoHover(m_info->geometry().contains(event->position().toPoint()));
    QWidget::mouseMoveEvent(event);
}

void ModelRow::leaveEvent(QEvent* event)
{
    setInfoHover(false);
    QWidget::leaveEvent(event);
}

bool ModelRow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_info) {
        switch (event->type()) {
        case QEvent::Enter:
        case QEvent::MouseMove:
            setInfoHover(true);
            break;
        case QEvent::Leave:
        case QEvent::Hide:
            setInfoHover(false);
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- InfoCard -------------------------------------------------------------------

InfoCard::InfoCard(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("cvn.models.infoCard"));
    Theme::repaintOnAppearanceChange(this);
    // Ink on the ink list card: the popups' soft shadow sets it apart.
    Theme::castShadow(this, 16, QPointF(0, 4));
}

void InfoCard::setContent(const QString& text, int textMaxWidth)
{
    m_text = text;
    m_maxWidth = textMaxWidth;
    // Measured now, so the card's first frame already has its own size.
    const QRect bounds = QFontMetrics(Theme::interMedium13())
                             .boundingRect(QRect(0, 0, textMaxWidth, 100000), Qt::TextWordWrap | Qt::AlignLeft, text);
    m_size = QSize(std::min(bounds.width(), textMaxWidth) + 2 * kPadding, bounds.height() + 2 * kPadding);
    resize(m_size);
    update();
}

void InfoCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintInkCard(p, QRectF(rect()), kRadius);
    p.setFont(Theme::interMedium13());
    p.setPen(Theme::paper());
    p.drawText(rect().adjusted(kPadding, kPadding, -kPadding, -kPadding), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop,
               m_text);
}

void InfoCard::mousePressEvent(QMouseEvent* event)
{
    event->accept(); // a click on the pinned card keeps it
}

// --- ModelsScreen ---------------------------------------------------------------

ModelsScreen::ModelsScreen(ModelStore& store, ModelImport& import, std::function<void()> onBack, QWidget* parent)
    : QWidget(parent)
    , m_store(store)
    , m_import(import)
    , m_onBack(std::move(onBack))
    , m_chooser(&ModelsScreen::chooseModelFile)
{
    setObjectName(QStringLiteral("cvn.models"));
    setAcceptDrops(true);
    Theme::repaintOnAppearanceChange(this);

    m_column = new QWidget;
    m_column->setObjectName(QStringLiteral("cvn.models.column"));
    m_column->setFixedWidth(kColumnWidth);
    m_columnLayout = new QVBoxLayout(m_column);
    m_columnLayout->setContentsMargins(0, 0, 0, 0);
    m_columnLayout->setSpacing(0);
    m_columnLayout->setSizeConstraint(QLayout::SetMinAndMaxSize);

    m_panelSlot = new QWidget(m_column);
    auto* panelLayout = new QVBoxLayout(m_panelSlot);
    panelLayout->setContentsMargins(0, 0, 0, kPanelGap);
    m_panelSlot->hide();
    m_columnLayout->addWidget(m_panelSlot);

    m_title = new PageText(QStringLiteral("MODELS"), Theme::interRegular32(), Theme::ink, m_column);
    m_columnLayout->addWidget(m_title, 0, Qt::AlignHCenter);
    m_columnLayout->addSpacing(kDescriptionAbove);
    auto* description = new PageText(
        QStringLiteral("Your local GGUF models. Drag a .gguf file here, or use ADD.\n"
                       "Files are copied into your local Corvanthelis models folder."),
        Theme::interMedium13(), Theme::ink, m_column);
    m_columnLayout->addWidget(description, 0, Qt::AlignHCenter);
    m_columnLayout->addSpacing(kDescriptionBelow);

    m_listSlot = new QWidget(m_column);
    auto* listLayout = new QVBoxLayout(m_listSlot);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    m_columnLayout->addWidget(m_listSlot);

    m_columnLayout->addSpacing(kAddAbove);
    m_add = new CvnCompactSurfacePillButton(QStringLiteral("ADD MODEL"), m_column);
    m_add->setObjectName(QStringLiteral("cvn.models.add"));
    m_add->setFixedWidth(kAddWidth);
    m_columnLayout->addWidget(m_add, 0, Qt::AlignHCenter);
    connect(m_add, &QAbstractButton::clicked, this, &ModelsScreen::openAddSheet);

    m_page = new CentredCardLayout(kMargin, m_column, this);
    connect(m_page->verticalScrollBar(), &QScrollBar::valueChanged, this, &ModelsScreen::placeInfoCard);

    m_catcher = new ClickCatcher([this] { closeInfoCard(); }, this);
    m_catcher->setObjectName(QStringLiteral("cvn.models.catcher"));
    m_catcher->hide();
    m_infoCard = new InfoCard(this);
    m_infoCard->hide();

    m_back = new PageBackButton(
        QStringLiteral("Back"),
        [this] {
            if (m_onBack)
                m_onBack();
        },
        this);
    m_back->setObjectName(QStringLiteral("cvn.models.back"));
    m_back->resize(m_back->sizeHint());
    m_back->move(kBackPosition);

    m_hoverTimer = new QTimer(this);
    m_hoverTimer->setSingleShot(true);
    m_hoverTimer->setInterval(kHoverDelayMs);
    connect(m_hoverTimer, &QTimer::timeout, this, [this] {
        m_infoHover = m_pendingHover;
        m_pendingHover.reset();
        placeInfoCard();
    });

    connect(&m_store, &ModelStore::modelsChanged, this, &ModelsScreen::rebuildList);
    connect(&m_import, &ModelImport::changed, this, &ModelsScreen::syncImport);
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == QLatin1String(AppSettings::showRuntimePanel))
            refreshPanel();
    });
    rebuildList();
    syncImport();
}

void ModelsScreen::setPanelFactory(PanelFactory factory)
{
    m_panelFactory = std::move(factory);
    delete m_panel;
    m_panel = nullptr;
    refreshPanel();
}

void ModelsScreen::refreshPanel()
{
    const bool show = m_panelFactory && AppSettings::boolValue(QString::fromLatin1(AppSettings::showRuntimePanel));
    if (show && !m_panel) {
        m_panel = m_panelFactory();
        if (m_panel)
            m_panelSlot->layout()->addWidget(m_panel);
    }
    m_panelSlot->setVisible(show && m_panel);
    placeInfoCard();
}

QString ModelsScreen::listDetail() const
{
    const qsizetype n = m_rows.size();
    if (n == 0)
        return {};
    return QStringLiteral("%1 models, %2").arg(n).arg(n > kMaxFittedRows ? QStringLiteral("scrolling") : QStringLiteral("fitted"));
}

void ModelsScreen::rebuildList()
{
    delete m_listCard;
    delete m_emptyCard;
    m_listCard = nullptr;
    m_emptyCard = nullptr;
    m_listArea = nullptr;
    m_rows.clear();

    const QList<ModelInfo>& models = m_store.models();
    if (models.isEmpty()) {
        m_emptyCard = new EmptyCard(m_listSlot);
        m_listSlot->layout()->addWidget(m_emptyCard);
    } else {
        const qsizetype n = models.size();
        auto* card = new CardSurface(kCardRadius, m_listSlot);
        card->setObjectName(QStringLiteral("cvn.models.list"));
        m_listCard = card;
        auto* rowsHost = new QWidget;
        rowsHost->setObjectName(QStringLiteral("cvn.models.rows"));
        auto* rowsLayout = new QVBoxLayout(rowsHost);
        rowsLayout->setContentsMargins(0, 0, 0, 0);
        rowsLayout->setSpacing(0);
        for (qsizetype i = 0; i < n; ++i) {
            auto* row = new ModelRow(models[i], i < n - 1, rowsHost);
            const QUuid id = models[i].id;
            const ModelInfo model = models[i];
            connect(row, &ModelRow::moreClicked, this, [this, model] { openRowMenu(model); });
            connect(row, &ModelRow::infoClicked, this, [this, id] { infoClicked(id); });
            connect(row, &ModelRow::infoHovered, this, [this, id](bool on) { infoHovered(on, id); });
            rowsLayout->addWidget(row);
            m_rows.append(row);
        }
        auto* cardLayout = new QVBoxLayout(card);
        cardLayout->setContentsMargins(0, 0, 0, 0);
        cardLayout->setSpacing(0);
        if (n > kMaxFittedRows) {
            m_listArea = new QScrollArea(card);
            m_listArea->setObjectName(QStringLiteral("cvn.models.scroll"));
            m_listArea->setFrameShape(QFrame::NoFrame);
            m_listArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            m_listArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            m_listArea->setWidgetResizable(true);
            m_listArea->setWidget(rowsHost);
            m_listArea->viewport()->setAutoFillBackground(false);
            rowsHost->setAutoFillBackground(false);
            ScrollBars::styleScrollBars(m_listArea, int(kCardRadius));
            connect(m_listArea->verticalScrollBar(), &QScrollBar::valueChanged, this, &ModelsScreen::placeInfoCard);
            cardLayout->addWidget(m_listArea);
            card->setFixedSize(kColumnWidth, kScrollingHeight);
        } else {
            rowsHost->setParent(card);
            cardLayout->addWidget(rowsHost);
            card->setFixedSize(kColumnWidth, int(n) * ModelRow::kHeight);
        }
        m_listSlot->layout()->addWidget(card);
        new LayoutProbe(card, QStringLiteral("models card"), listDetail());
    }
    // A card whose model went away goes with it.
    auto known = [&](const std::optional<QUuid>& id) { return id && m_store.model(id).has_value(); };
    if (!known(m_infoFlyout))
        m_infoFlyout.reset();
    if (!known(m_infoHover))
        m_infoHover.reset();
    m_column->adjustSize();
    placeInfoCard();
}

void ModelsScreen::infoClicked(const QUuid& id)
{
    m_hoverTimer->stop();
    m_pendingHover.reset();
    m_infoHover.reset();
    m_infoFlyout = id;
    placeInfoCard();
}

void ModelsScreen::infoHovered(bool hovering, const QUuid& id)
{
    m_hoverTimer->stop();
    m_pendingHover.reset();
    if (hovering) {
        m_pendingHover = id;
        m_hoverTimer->start();
        return;
    }
    if (m_infoHover == id) {
        m_infoHover.reset();
        placeInfoCard();
    }
}

void ModelsScreen::closeInfoCard()
{
    m_infoFlyout.reset();
    placeInfoCard();
}

void ModelsScreen::placeInfoCard()
{
    const std::optional<QUuid> shown = m_infoFlyout ? m_infoFlyout : m_infoHover;
    const bool pinned = m_infoFlyout.has_value();
    m_catcher->setVisible(pinned);
    ModelRow* anchorRow = nullptr;
    for (ModelRow* row : std::as_const(m_rows)) {
        if (shown && row->model().id == *shown)
            anchorRow = row;
    }
    const std::optional<ModelInfo> model = m_store.model(shown);
    if (!shown || !anchorRow || !model) {
        m_infoCard->hide();
        return;
    }
    if (m_infoCard->isHidden() || m_infoCard->text().isEmpty() || m_infoCard->textMaxWidth() != (pinned ? kPinnedTextWidth : kHoverTextWidth)
        || m_infoCard->property("modelId").toUuid() != *shown) {
        const uint64_t freeMb = uint64_t(std::max<int64_t>(0, SystemFacts::read().rig.ramFreeMb));
        m_infoCard->setContent(model->capacityTooltip(freeMb), pinned ? kPinnedTextWidth : kHoverTextWidth);
        m_infoCard->setProperty("modelId", *shown);
    }
    m_infoCard->setAttribute(Qt::WA_TransparentForMouseEvents, !pinned);

    CvnButton* button = anchorRow->infoButton();
    const QRect anchor(button->mapTo(this, QPoint(0, 0)), button->size());
    const QSize size = m_infoCard->sizeHint();
    m_infoCard->setGeometry(QRect(infoCardPosition(anchor, size, width()), size));
    m_infoCard->show();
    restack();
}

QPoint ModelsScreen::infoCardPosition(const QRect& anchor, const QSize& card, int screenWidth)
{
    // Centred on the button, kept 8 inside both edges (the left edge wins
    // when the card is wider than the window), above the button unless that
    // leaves less than 8 at the top.
    const int w = card.width();
    const qreal midX = anchor.x() + anchor.width() / 2.0;
    const int x = std::min(std::max(screenWidth - w - kEdgeInset, kEdgeInset),
                           std::max(int(std::lround(midX - w / 2.0)), kEdgeInset));
    int y = anchor.top() - kCardGap - card.height();
    if (y < kEdgeInset)
        y = anchor.top() + anchor.height() + kCardGap;
    return {x, y};
}

void ModelsScreen::restack()
{
    m_catcher->raise();
    m_infoCard->raise();
    m_back->raise();
    for (const QPointer<ModalOverlay>& overlay : {m_addSheet, m_rowSheet, m_renameDialog, m_editDialog, m_messageDialog,
                                                  m_deleteErrorDialog, m_progressOverlay, m_confirmDialog, m_removeDialog}) {
        if (overlay)
            overlay->raise();
    }
}

QList<QWidget*> ModelsScreen::overlays() const
{
    QList<QWidget*> out;
    for (const QPointer<ModalOverlay>& overlay : {m_addSheet, m_rowSheet, m_renameDialog, m_editDialog, m_messageDialog,
                                                  m_deleteErrorDialog, m_progressOverlay, m_confirmDialog, m_removeDialog}) {
        if (overlay)
            out.append(overlay.data());
    }
    return out;
}

void ModelsScreen::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Theme::paper());
}

void ModelsScreen::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_page->setGeometry(rect());
    m_catcher->setGeometry(rect());
    placeInfoCard();
}

// --- the add road -----------------------------------------------------------------

namespace {

QList<QUrl> droppedUrls(const QMimeData* data)
{
    return data && data->hasUrls() ? data->urls() : QList<QUrl>{};
}

} // namespace

void ModelsScreen::dragEnterEvent(QDragEnterEvent* event)
{
    if (m_import.acceptsDrop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_import.acceptsDrop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::dropEvent(QDropEvent* event)
{
    if (m_import.drop(droppedUrls(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ModelsScreen::close(QPointer<ModalOverlay>& overlay)
{
    if (overlay) {
        overlay->hide();
        overlay->deleteLater();
    }
    overlay = nullptr;
}

void ModelsScreen::openAddSheet()
{
    if (m_addSheet || m_import.isBusy())
        return;
    m_addSheet = new CvnActionSheet(QStringLiteral("ADD MODEL"),
                                    {{QStringLiteral("choose"), QStringLiteral("CHOOSE FILE…"), false}},
                                    [this](const std::optional<QString>& id) { chooseAddSource(id); }, this);
    m_addSheet->show();
    restack();
}

void ModelsScreen::chooseAddSource(const std::optional<QString>& id)
{
    close(m_addSheet);
    // The panel opens on a later turn, once the sheet is gone.
    if (id == QLatin1String("choose"))
        QTimer::singleShot(0, this, &ModelsScreen::openAddPanel);
}

void ModelsScreen::openAddPanel()
{
    if (!m_chooser || m_import.isBusy())
        return;
    QPointer<ModelsScreen> self(this);
    m_chooser(this, [self](const QString& path) {
        if (self && !path.isEmpty())
            self->m_import.addFile(path);
    });
}

void ModelsScreen::chooseModelFile(QWidget* parent, std::function<void(const QString&)> chosen)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // Qt's own panel on every platform; the pattern spells out both cases of
    // each letter, since name filters follow the file system's case rules.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setNameFilter(QStringLiteral("GGUF models (*.[gG][gG][uU][fF])"));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [chosen = std::move(chosen)](const QString& path) {
        if (chosen)
            chosen(path);
    });
    dialog->open();
}

void ModelsScreen::syncImport()
{
    // The copy overlay stands while the copier reports progress.
    const std::optional<CopyProgress> progress = m_import.progress();
    if (progress) {
        if (!m_progressOverlay) {
            m_progressOverlay = new CopyProgressOverlay(*progress, [this] { m_import.cancelCopy(); }, this);
            m_progressOverlay->show();
        }
        static_cast<CopyProgressOverlay*>(m_progressOverlay.data())->setProgress(*progress);
    } else {
        close(m_progressOverlay);
    }

    const auto& pending = m_import.pendingAdd();
    if (!pending || m_shownPending != pending->id)
        close(m_confirmDialog);
    if (pending && !m_confirmDialog) {
        m_shownPending = pending->id;
        m_confirmDialog = new CvnConfirmDialog(
            pending->warning.title, pending->warning.body, pending->warning.confirmText, QStringLiteral("CANCEL"),
            false, [this] { m_import.confirmPending(); }, [this] { m_import.cancelPending(); }, this);
        m_confirmDialog->show();
    }
    if (!pending)
        m_shownPending.reset();

    const auto& message = m_import.message();
    const QString key = message ? message->title + u'\n' + message->body : QString();
    if (key != m_shownMessage)
        close(m_messageDialog);
    if (message && !m_messageDialog) {
        m_messageDialog = new CvnConfirmDialog(message->title, message->body, QStringLiteral("OK"), std::nullopt, false,
                                               [this] { m_import.dismissMessage(); },
                                               [this] { m_import.dismissMessage(); }, this);
        m_messageDialog->show();
    }
    m_shownMessage = key;
    restack();
}

// --- row actions ------------------------------------------------------------------

void ModelsScreen::openRowMenu(const ModelInfo& model)
{
    close(m_rowSheet);
    m_rowSheet = new CvnActionSheet(model.displayName,
                                    {{QStringLiteral("rename"), QStringLiteral("RENAME"), false},
                                     {QStringLiteral("edit"), QStringLiteral("EDIT"), false},
                                     {QStringLiteral("delete"), QStringLiteral("DELETE"), true}},
                                    [this, model](const std::optional<QString>& id) { handleRowMenu(id, model); }, this);
    m_rowSheet->show();
    restack();
}

void ModelsScreen::handleRowMenu(const std::optional<QString>& id, const ModelInfo& model)
{
    close(m_rowSheet);
    if (id == QLatin1String("rename")) {
        const QUuid modelId = model.id;
        m_renameDialog = new CvnInputDialog(
            QStringLiteral("Rename model"), model.displayName, 0,
            [this, modelId](const QString& text) {
                m_store.rename(modelId, text);
                close(m_renameDialog);
            },
            [this] { close(m_renameDialog); }, this);
        m_renameDialog->show();
    } else if (id == QLatin1String("edit")) {
        // The form's state lives exactly as long as its widget, which the
        // dialog owns.
        auto* formState = new EditModelFormModel(model);
        auto* formView = new EditModelForm(formState);
        formState->setParent(formView);
        m_editing = formState;
        m_editDialog = new CvnContentDialog(QStringLiteral("Edit model"), formView, [this] { saveEdit(); },
                                            [this] { close(m_editDialog); }, QStringLiteral("SAVE"),
                                            QStringLiteral("CANCEL"), this);
        m_editDialog->show();
    } else if (id == QLatin1String("delete")) {
        const QString body = QStringLiteral("This deletes the local copy of \"") + model.displayName
                             + QStringLiteral("\" from your ")
                             + QStringLiteral("Corvanthelis models folder only. Your original .gguf file (in Downloads ")
                             + QStringLiteral("or wherever you got it) is NOT touched.");
        m_removeDialog = new CvnConfirmDialog(
            QStringLiteral("Remove model?"), body, QStringLiteral("REMOVE"), QStringLiteral("CANCEL"), true,
            [this, model] { confirmRemove(model); }, [this] { close(m_removeDialog); }, this);
        m_removeDialog->show();
    }
    restack();
}

void ModelsScreen::saveEdit()
{
    if (m_editing) {
        QList<ModelInfo> models = m_store.models();
        const QUuid id = m_editing->model().id;
        auto it = std::find_if(models.begin(), models.end(), [&](const ModelInfo& m) { return m.id == id; });
        if (it != models.end()) {
            *it = m_editing->apply(*it);
            m_store.setModels(models);
        }
    }
    close(m_editDialog);
}

void ModelsScreen::confirmRemove(const ModelInfo& model)
{
    const std::optional<QString> error = m_store.remove(model.id);
    close(m_removeDialog);
    if (error)
        showDeleteError(*error);
}

void ModelsScreen::showDeleteError(const QString& text)
{
    close(m_deleteErrorDialog);
    m_deleteErrorDialog = new CvnConfirmDialog(QStringLiteral("Could not delete file"), text, QStringLiteral("OK"),
                                               std::nullopt, false, [this] { close(m_deleteErrorDialog); },
                                               [this] { close(m_deleteErrorDialog); }, this);
    m_deleteErrorDialog->show();
    restack();
}

} // namespace cvn
