#include "screens/ModelsScreen.h"

#include "chat/shared/LayoutProbe.h"
#include "models/ModelStore.h"
#include "models/ProjectorPairing.h"
#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "screens/ModelImport.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/ModalOverlay.h"
#include "ui_kit/ScrollBars.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace cvn {

namespace {

constexpr qreal kCardRadius = 27;
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
        if (m_panel) {
            // The column's layout sizes the column to its widest part; a
            // panel wider than the cards would widen the column and push the
            // cards off the page's centre.
            m_panel->setFixedWidth(kColumnWidth);
            m_panelSlot->layout()->addWidget(m_panel);
        }
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
            const bool seesImages = ProjectorPairing::projectorFor(models[i], models).has_value();
            auto* row = new ModelRow(models[i], i < n - 1, seesImages, rowsHost);
            if (models[i].isVisionProjector()) {
                QStringList users;
                for (const ModelInfo& model : models) {
                    const std::optional<ModelInfo> through = ProjectorPairing::projectorFor(model, models);
                    if (through && through->id == models[i].id)
                        users.append(model.displayName);
                }
                row->setAdapterUsers(users);
            }
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

void ModelsScreen::close(QPointer<ModalOverlay>& overlay)
{
    if (overlay) {
        overlay->hide();
        overlay->deleteLater();
    }
    overlay = nullptr;
}

} // namespace cvn
