#include "chat/composer/Composer.h"

#include "chat/composer/ComposerControls.h"
#include "chat/composer/MentionPopup.h"
#include "chat/shared/LayoutProbe.h"
#include "engine/CouncilMentions.h"
#include "ui_kit/Icons.h"
#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

namespace cvn {

namespace {

constexpr int kPadTop = 12;
constexpr int kPadLeading = 28;
constexpr int kPadBottom = 12;
constexpr int kPadTrailing = 24;
constexpr int kGap = 8;
constexpr int kButton = 38;
constexpr int kPillTrailing = 20;
constexpr int kEmptyContent = 105;
constexpr int kChrome = kPadTop + kGap + kButton + kPadBottom; // 70 around the editor block
constexpr int kLabelGap = 10;
constexpr int kChevronWidth = 14;
constexpr int kChevronHeight = 8;
constexpr int kPillPadding = 32;
constexpr qreal kPillRadius = 19;
constexpr qreal kChevronStroke = 2;

// A round 38-pixel button that paints its face through `paint`; the circle
// is the hit area and the face fades while pressed.
class RoundButton : public QAbstractButton {
public:
    using Paint = std::function<void(QPainter&, const QRectF&)>;

    RoundButton(const QString& name, Paint paint, QWidget* parent) : QAbstractButton(parent), m_paint(std::move(paint))
    {
        setFixedSize(kButton, kButton);
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::PointingHandCursor);
        setToolTip(name);
        setAccessibleName(name);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        Theme::paintLayer(p, size(), isDown() ? pressFadeOpacity : 1.0, [this](QPainter& layer) {
            layer.setRenderHint(QPainter::Antialiasing);
            m_paint(layer, QRectF(rect()));
        });
    }
    bool hitButton(const QPoint& pos) const override
    {
        return QLineF(QPointF(pos), QRectF(rect()).center()).length() <= kButton / 2.0;
    }

private:
    Paint m_paint;
};

void paintSend(QPainter& p, const QRectF& rect)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink());
    p.drawEllipse(rect);
    p.setPen(Theme::surface());
    p.setFont(Theme::interMedium16());
    p.drawText(rect, Qt::AlignCenter, QStringLiteral("↑"));
}

} // namespace

ModelPill::ModelPill(QWidget* parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    m_labelFrame = new QWidget(this);
    m_labelFrame->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_pillProbe = new LayoutProbe(this, QStringLiteral("model pill"));
    m_labelProbe = new LayoutProbe(m_labelFrame, QStringLiteral("model pill text"));
    Theme::repaintOnAppearanceChange(this);
    setModelName(std::nullopt);
}

void ModelPill::setModelName(const std::optional<QString>& name)
{
    const QString label = name ? name->toUpper() : QStringLiteral("SELECT A MODEL");
    setText(label);
    setAccessibleName(label);
    const qreal advance = QFontMetricsF(ComposerEditor::textFont()).horizontalAdvance(label);
    m_labelWidth = qMin(qCeil(advance) + 1, maxLabelWidth);
    m_pillWidth = qBound(minWidth, m_labelWidth + kLabelGap + kChevronWidth + kPillPadding, maxWidth);
    setFixedSize(m_pillWidth, pillHeight);
    m_labelFrame->setGeometry(labelRect());
    m_pillProbe->setDetail(QStringLiteral("width ") + QString::number(m_pillWidth));
    m_labelProbe->setDetail(QString::number(label.size()) + QStringLiteral(" chars"));
    update();
}

QRect ModelPill::labelRect() const
{
    const int content = m_labelWidth + kLabelGap + kChevronWidth;
    const int lineHeight = qCeil(QFontMetricsF(ComposerEditor::textFont()).height());
    return {(m_pillWidth - content) / 2, (pillHeight - lineHeight) / 2, m_labelWidth, lineHeight};
}

void ModelPill::resizeEvent(QResizeEvent* event)
{
    QAbstractButton::resizeEvent(event);
    m_labelFrame->setGeometry(labelRect());
}

void ModelPill::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    Theme::paintLayer(p, size(), isDown() ? pressFadeOpacity : 1.0, [this](QPainter& layer) {
        layer.setRenderHint(QPainter::Antialiasing);
        layer.setPen(Qt::NoPen);
        layer.setBrush(Theme::ink());
        layer.drawRoundedRect(QRectF(rect()), kPillRadius, kPillRadius);
        const QColor surface = Theme::surface();
        const QRect label = labelRect();
        layer.setPen(surface);
        Theme::drawElidedLine(layer, QRectF(label.x(), 0, label.width(), pillHeight), ComposerEditor::textFont(),
                              text());
        QPen chevron(surface, kChevronStroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        layer.setPen(chevron);
        layer.setBrush(Qt::NoBrush);
        const QPointF origin(label.right() + 1 + kLabelGap, (pillHeight - kChevronHeight) / 2.0);
        const QPointF points[] = {origin + QPointF(1, 1), origin + QPointF(7, 7), origin + QPointF(13, 1)};
        layer.drawPolyline(points, 3);
    });
}

int Composer::panelHeightFor(qreal editorHeight)
{
    const qreal content = editorHeight <= ComposerEditor::minHeight
                              ? kEmptyContent
                              : qMin(editorHeight, maxEditorHeight) + kChrome;
    return qBound(minPanelHeight, qCeil(content), maxPanelHeight);
}

QString Composer::ActiveMention::key() const
{
    return QString::number(location) + u':' + token;
}

Composer::Composer(QWidget* parent) : QWidget(parent)
{
    m_glass = new ComposerGlass(this);
    m_editor = new ComposerEditor(this);
    m_editor->setMaxHeight(maxEditorHeight);
    m_editor->onSend = [this] { send(); };
    m_editor->onMentionKey = [this](ComposerEditor::MentionKey key) { return handleMentionKey(key); };
    m_editor->onAttachments = [this](const QMimeData* source, bool dryRun) { return takeAttachments(source, dryRun); };
    connect(m_editor, &ComposerEditor::textEdited, this, [this] { textEdited(); });
    connect(m_editor, &ComposerEditor::caretMoved, this, [this] { refreshMentions(); });
    connect(m_editor, &ComposerEditor::heightMeasured, this, [this](qreal h) { setEditorHeight(h); });

    m_attach = new RoundButton(QStringLiteral("Attach / prompts"), &AddButtonIcon::paint, this);
    connect(m_attach, &QAbstractButton::clicked, this, [this] {
        if (!m_streaming && onAttach)
            onAttach();
    });
    m_pill = new ModelPill(this);
    connect(m_pill, &QAbstractButton::clicked, this, [this] {
        if (onSelectModel)
            onSelectModel();
    });
    m_send = new RoundButton(QStringLiteral("Send"), &paintSend, this);
    connect(m_send, &QAbstractButton::clicked, this, [this] { send(); });
    m_stop = new StopDisc(this);
    m_stop->setToolTip(QStringLiteral("Stop"));
    m_stop->hide();
    connect(m_stop, &QAbstractButton::clicked, this, [this] {
        if (onStop)
            onStop();
    });

    m_popup = new MentionPopup(nullptr);
    m_popup->onHover = [this](int row) {
        m_highlight = row;
        refreshMentions();
    };
    m_popup->onPick = [this](const ModelInfo& model) { acceptMention(model); };
    m_popupProbe = new LayoutProbe(m_popup, QStringLiteral("mention popup"));
    m_popup->hide();

    setFixedSize(panelWidth, panelHeight() + bottomMargin);
    layoutChildren();
}

Composer::~Composer()
{
    delete m_popup; // lives on the page, which may outlive the composer
}

void Composer::setCurrentModelName(const std::optional<QString>& name)
{
    m_pill->setModelName(name);
    layoutChildren();
}

void Composer::setStreaming(bool streaming)
{
    m_streaming = streaming;
    m_send->setVisible(!streaming);
    m_stop->setVisible(streaming);
}

void Composer::setSendPending(bool pending)
{
    m_sendPending = pending;
}

void Composer::setCouncilOn(bool on)
{
    m_councilOn = on;
    refreshMentions();
}

void Composer::setMentionModels(const QList<ModelInfo>& models)
{
    m_mentionModels = models;
    m_editor->setBoldRanges(CouncilMentions::resolvedMentions(m_editor->text(), m_mentionModels));
    refreshMentions();
}

void Composer::setPopupHost(QWidget* host)
{
    m_popupHost = host;
    placePopup();
}

void Composer::send()
{
    if (m_streaming || m_sendPending)
        return;
    const QString taken = m_editor->text();
    m_editor->setText({});
    m_editor->resetMeasuredHeight(ComposerEditor::minHeight);
    setEditorHeight(ComposerEditor::minHeight);
    if (onSend)
        onSend(taken);
}

std::optional<Composer::ActiveMention> Composer::activeMention() const
{
    if (!m_councilOn)
        return std::nullopt;
    const auto token = CouncilMentions::activeToken(m_editor->text(), m_editor->caret());
    if (!token)
        return std::nullopt;
    ActiveMention active{token->location, token->token};
    if (m_dismissedMention == active.key())
        return std::nullopt;
    return active;
}

QList<ModelInfo> Composer::candidates() const
{
    const auto active = activeMention();
    return active ? CouncilMentions::completionCandidates(active->token, m_mentionModels) : QList<ModelInfo>{};
}

void Composer::textEdited()
{
    m_editor->setBoldRanges(CouncilMentions::resolvedMentions(m_editor->text(), m_mentionModels));
    refreshMentions();
}

void Composer::refreshMentions()
{
    // A dismissal holds for one token at one place: once the token being
    // typed is another (or there is none), it is forgotten, so retyping the
    // same token there later offers the popup again.
    if (m_dismissedMention) {
        const auto token = m_councilOn ? CouncilMentions::activeToken(m_editor->text(), m_editor->caret())
                                       : std::nullopt;
        if (!token || ActiveMention{token->location, token->token}.key() != *m_dismissedMention)
            m_dismissedMention.reset();
    }
    const auto active = activeMention();
    const QList<ModelInfo> offered = candidates();
    if (offered.isEmpty()) {
        m_popupShown = false;
        m_popup->hide();
        return;
    }
    if (m_popupShown && active->key() != m_popupKey)
        m_highlight = 0;
    m_popupKey = active->key();
    m_popupShown = true;
    const int n = int(offered.size());
    m_popup->setModels(offered, qMin(n - 1, m_highlight));
    m_popupProbe->setDetail(QString::number(n) + QStringLiteral(" rows"));
    placePopup();
}

bool Composer::handleMentionKey(ComposerEditor::MentionKey key)
{
    const QList<ModelInfo> offered = candidates();
    const int n = int(offered.size());
    if (n == 0)
        return false;
    const int h = qMin(n - 1, m_highlight);
    using K = ComposerEditor::MentionKey;
    switch (key) {
    case K::up: m_highlight = (h - 1 + n) % n; break;
    case K::down: m_highlight = (h + 1) % n; break;
    case K::escape: m_dismissedMention = activeMention()->key(); break;
    case K::accept: acceptMention(offered[h]); return true;
    }
    refreshMentions();
    return true;
}

void Composer::acceptMention(const ModelInfo& model)
{
    const auto active = activeMention();
    if (!active)
        return;
    const QString handle = CouncilMentions::mentionHandle(model.displayName);
    const qsizetype length = m_editor->text().size();
    const qsizetype end = qMin(length, active->location + 1 + active->token.size());
    m_editor->replaceRange(active->location, end, u'@' + handle + u' ');
    m_editor->setPendingCaret(active->location + 1 + handle.size() + 1);
}

void Composer::setEditorHeight(qreal height)
{
    m_editorHeight = height;
    const int panel = panelHeight();
    setFixedSize(panelWidth, panel + bottomMargin);
    layoutChildren();
    if (m_reportedPanel != 0 && panel != m_reportedPanel) {
        m_reportedPanel = panel;
        if (onHeightChange)
            onHeightChange(panel + bottomMargin);
    }
}

void Composer::layoutChildren()
{
    const int panel = panelHeight();
    m_glass->setGeometry(0, 0, panelWidth, panel);
    // The editor block is the measured height: 7 of padding above the text,
    // then the text itself. Editor, gap and button row are centred in the
    // padded panel when it is taller than they are.
    const int block = int(qBound(ComposerEditor::minHeight, m_editorHeight, maxEditorHeight));
    const int inner = panel - kPadTop - kPadBottom;
    const int top = kPadTop + qMax(0, (inner - (block + kGap + kButton)) / 2);
    const int contentWidth = panelWidth - kPadLeading - kPadTrailing;
    m_editor->setGeometry(kPadLeading, top + int(ComposerEditor::topPadding), contentWidth,
                          block - int(ComposerEditor::topPadding));
    const int row = top + block + kGap;
    const int right = panelWidth - kPadTrailing;
    m_attach->move(kPadLeading, row);
    m_send->move(right - kButton, row);
    m_stop->move(right - kButton, row);
    m_pill->move(right - kButton - kPillTrailing - m_pill->pillWidth(), row);
    placePopup();
}

void Composer::placePopup()
{
    if (!m_popup)
        return;
    QWidget* host = m_popupHost ? m_popupHost.data() : parentWidget();
    if (!host)
        host = this;
    if (m_popup->parentWidget() != host) {
        m_popup->setParent(host);
        m_popup->setVisible(m_popupShown);
    }
    if (!m_popupShown)
        return;
    const int height = MentionPopup::heightFor(m_popup->models().size());
    const QPoint top = host == this ? QPoint(0, 0) : mapTo(host, QPoint(0, 0));
    m_popup->setGeometry(top.x(), top.y() - height, panelWidth, height);
    m_popup->show();
    m_popup->raise();
}

void Composer::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_reportedPanel == 0) {
        m_reportedPanel = panelHeight();
        if (onHeightChange)
            onHeightChange(m_reportedPanel + bottomMargin);
    }
    placePopup();
}

void Composer::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    placePopup();
}

void Composer::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placePopup();
}

} // namespace cvn
