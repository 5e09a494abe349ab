#include "chat/transcript/MessageBubble.h"

#include "attachments/SentAttachments.h"
#include "attachments/views/AttachmentTile.h"
#include "rendering/LineWrap.h"
#include "rendering/MarkdownText.h"

#include <QFontMetricsF>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QTextLine>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

constexpr int kTop = 6;
constexpr int kUserLeading = 48;
constexpr int kUserTrailing = 30;
constexpr int kUserBottom = 14;
constexpr int kAssistantTrailing = 48;
constexpr int kAssistantBottom = 16;
constexpr int kFailureBottom = 16;
constexpr int kBubblePadV = 16;
constexpr int kBubblePadH = 12;
constexpr int kUserActionsTop = 10;
constexpr int kAssistantActionsTop = 22;
constexpr int kPlaceholderBelow = 4;
constexpr int kTagPadH = 10;
constexpr int kTagPadV = 3;
constexpr qreal kTagRadius = 12;
constexpr qreal kTagOpacity = 0.6;
constexpr int kTagBelow = 8;
constexpr int kReasoningOuter = 8;
constexpr int kReasoningPadV = 16;
constexpr int kReasoningPadH = 20;
constexpr int kHeaderHeight = 28;
constexpr int kBodyGap = 16;
constexpr int kFailurePadV = 16;
constexpr int kFailurePadH = 20;
constexpr int kSignGap = 10;
constexpr qreal kGlyphStroke = 1.3;

const QFont& tagFont()
{
    static const QFont font = Theme::inter(500, 11);
    return font;
}

const QFont& failureFont()
{
    static const QFont font = Theme::inter(500, 14);
    return font;
}

// The platform's own face, for the warning sign Inter does not carry.
QFont systemFont(int pixelSize)
{
    QFont font;
    font.setPixelSize(pixelSize);
    return font;
}

int actionRowWidth(int count)
{
    return count * MessageActionButton::side + (count - 1) * MessageBubble::actionSpacing;
}

// QTextLayout breaks lines at U+2028 only; a stored "\r\n" is one break.
QString displayText(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    text.replace(u'\n', QChar::LineSeparator);
    return text;
}

bool sameText(const QString& a, const QString& b)
{
    return (a.constData() == b.constData() && a.size() == b.size()) || a == b;
}

constexpr int kEndingGap = 8;

const QFont& endingFont()
{
    return Theme::interRegular13();
}

int endingLineHeight()
{
    return int(std::ceil(QFontMetricsF(endingFont()).height()));
}

bool sameTurn(const Turn& a, const Turn& b)
{
    return a.id == b.id && a.role == b.role && a.state == b.state && a.reasoningExpanded == b.reasoningExpanded &&
           a.reasoningDurationMs == b.reasoningDurationMs && a.reasoningElapsedMs == b.reasoningElapsedMs &&
           a.modelName == b.modelName && a.waitingFor == b.waitingFor && a.progress == b.progress && sameText(a.content, b.content) &&
           sameText(a.reasoning, b.reasoning);
}

bool showsReasoning(const Turn& turn)
{
    return !turn.reasoning.trimmed().isEmpty();
}

} // namespace

// A wrapped paragraph painted by the bubble, with extra space between lines.
struct MessageBubble::Wrapped {
    QString source;
    QTextLayout layout;
    qreal spacing;
    int laidOutWidth = -1;
    qreal height = 0;
    qreal naturalWidth = 0;

    Wrapped(const QString& text, const QFont& font, qreal lineSpacing) : source(text), spacing(lineSpacing)
    {
        layout.setText(displayText(text));
        layout.setFont(font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.setCacheEnabled(true);
    }

    void layOut(int width)
    {
        if (width == laidOutWidth)
            return;
        laidOutWidth = width;
        naturalWidth = 0;
        qreal y = 0;
        LineWrap::layOut(layout, width, [&](QTextLine& line) {
            line.setPosition(QPointF(0, y));
            y += line.height() + spacing;
            naturalWidth = qMax(naturalWidth, line.naturalTextWidth());
        });
        height = layout.lineCount() > 0 ? y - spacing : QFontMetricsF(layout.font()).height();
    }
};

// --- MessageActionButton ----------------------------------------------------

MessageActionButton::MessageActionButton(Action action, QWidget* parent) : QAbstractButton(parent), m_action(action)
{
    setToolTip(title(action));
    setAccessibleName(title(action));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    resize(side, side);
    Theme::repaintOnAppearanceChange(this);
}

QString MessageActionButton::title(Action action)
{
    switch (action) {
    case Action::copy:
        return QStringLiteral("Copy");
    case Action::edit:
        return QStringLiteral("Edit");
    case Action::resend:
        return QStringLiteral("Resend");
    case Action::remove:
        return QStringLiteral("Delete");
    }
    return {};
}

void MessageActionButton::paintGlyph(QPainter& painter, Action action, const QRectF& frame, const QColor& color)
{
    // The symbols at 12 px: drawn in a 12 x 12 box centred in the frame.
    const QPointF o = frame.center() - QPointF(6, 6);
    QPen pen(color, kGlyphStroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.translate(o);
    switch (action) {
    case Action::copy: {
        const QRectF front(0.5, 3.5, 7.5, 8.5);
        QPainterPath back;
        back.moveTo(3.5, 2);
        back.lineTo(3.5, 1.5);
        back.arcTo(QRectF(3.5, 0, 3, 3), 180, -90);
        back.lineTo(10, 0);
        back.arcTo(QRectF(9.5, 0, 3, 3), 90, -90);
        back.lineTo(12.5 - 0.5, 8);
        back.arcTo(QRectF(9.5, 7, 3, 3), 0, -90);
        back.lineTo(9.5, 10);
        painter.drawPath(back);
        painter.drawRoundedRect(front, 1.5, 1.5);
        break;
    }
    case Action::edit: {
        QPainterPath pencil;
        pencil.moveTo(1, 11);
        pencil.lineTo(1.6, 8.2);
        pencil.lineTo(8.6, 1.2);
        pencil.lineTo(10.8, 3.4);
        pencil.lineTo(3.8, 10.4);
        pencil.closeSubpath();
        painter.drawPath(pencil);
        painter.drawLine(QPointF(7.2, 2.6), QPointF(9.4, 4.8));
        break;
    }
    case Action::resend: {
        // A circle open at the upper right; the arrow head at its top end
        // points the clockwise way.
        const QPointF c(6, 6.6);
        const qreal r = 5;
        painter.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 90 * 16, 290 * 16);
        QPainterPath head;
        head.moveTo(c.x() - 1.6, c.y() - r - 2.4);
        head.lineTo(c.x() + 0.9, c.y() - r);
        head.lineTo(c.x() - 1.6, c.y() - r + 2.4);
        painter.drawPath(head);
        break;
    }
    case Action::remove: {
        painter.drawLine(QPointF(0.5, 2.5), QPointF(11.5, 2.5));
        QPainterPath handle;
        handle.moveTo(4, 2.5);
        handle.lineTo(4.5, 0.5);
        handle.lineTo(7.5, 0.5);
        handle.lineTo(8, 2.5);
        painter.drawPath(handle);
        QPainterPath can;
        can.moveTo(2, 2.5);
        can.lineTo(2.8, 11.5);
        can.lineTo(9.2, 11.5);
        can.lineTo(10, 2.5);
        painter.drawPath(can);
        painter.drawLine(QPointF(4.9, 5), QPointF(5.1, 9));
        painter.drawLine(QPointF(7.1, 5), QPointF(6.9, 9));
        break;
    }
    }
    painter.restore();
}

void MessageActionButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = MessageBubble::actionTint();
    // Reached with Tab, the ring is drawn heavier so the keyboard's place shows.
    const qreal ring = hasFocus() ? 2 : 1;
    painter.setPen(QPen(tint, ring));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(rect()).adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
    paintGlyph(painter, m_action, QRectF(rect()), tint);
}

bool MessageActionButton::hitButton(const QPoint& pos) const
{
    const QPointF d = QPointF(pos) + QPointF(0.5, 0.5) - QRectF(rect()).center();
    return d.x() * d.x() + d.y() * d.y() <= (side / 2.0) * (side / 2.0);
}

// --- ReasoningToggle --------------------------------------------------------

ReasoningToggle::ReasoningToggle(QWidget* parent) : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    Theme::repaintOnAppearanceChange(this);
}

void ReasoningToggle::setState(const QString& label, bool expanded)
{
    if (label == text() && expanded == m_expanded)
        return;
    setText(label);
    setAccessibleName(label);
    m_expanded = expanded;
    update();
}

void ReasoningToggle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = MessageBubble::reasoningTint();
    const QRectF box(0, (height() - chevron.height()) / 2, chevron.width(), chevron.height());
    painter.save();
    painter.translate(box.center());
    painter.rotate(chevronAngle());
    painter.translate(-box.center());
    painter.setPen(QPen(tint, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath v;
    v.moveTo(box.topLeft());
    v.lineTo(box.center().x(), box.bottom());
    v.lineTo(box.topRight());
    painter.drawPath(v);
    painter.restore();
    painter.setPen(tint);
    Theme::drawElidedLine(painter, QRectF(chevron.width() + gap, 0, width() - chevron.width() - gap, height()),
                          Theme::interMedium16(), text());
}

// The reasoning section's copy icon: no ring, 14-px symbol.
class ReasoningCopyButton : public QAbstractButton {
public:
    explicit ReasoningCopyButton(QWidget* parent) : QAbstractButton(parent)
    {
        setToolTip(QStringLiteral("Copy reasoning"));
        setAccessibleName(QStringLiteral("Copy reasoning"));
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        resize(MessageActionButton::side, MessageActionButton::side);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.translate(QRectF(rect()).center());
        painter.scale(14.0 / 12.0, 14.0 / 12.0);
        painter.translate(-QRectF(rect()).center());
        MessageActionButton::paintGlyph(painter, MessageActionButton::Action::copy, QRectF(rect()),
                                        MessageBubble::reasoningTint());
    }
};

// --- MessageBubble ----------------------------------------------------------

QColor MessageBubble::actionTint()
{
    return Theme::appearance() == Appearance::Dark ? Theme::dynamicColor(0xFFFFFF, 0xFFFFFF, 0.4)()
                                                   : Theme::dynamicColor(0x29292A, 0x29292A, 0.6)();
}

qreal MessageBubble::cornerRadiusFor(qreal height)
{
    return height > 0 ? qMin(height / 2, userRadius) : userRadius;
}

QString MessageBubble::endingLine()
{
    return QStringLiteral("Message too long to show in full: showing the first %1 characters.")
        .arg(QLocale(QLocale::English).toString(shownCharacters));
}

QString MessageBubble::shownPart(const QString& text, bool* cut)
{
    if (cut)
        *cut = text.size() > shownCharacters;
    if (text.size() <= shownCharacters)
        return text;
    qsizetype end = shownCharacters;
    if (text[end - 1].isHighSurrogate() && text[end].isLowSurrogate())
        --end;
    return text.left(end);
}

bool MessageBubble::showsSame(const Turn& a, const Turn& b)
{
    return sameTurn(a, b);
}

int MessageBubble::estimatedHeight(const Turn& turn)
{
    // Average glyph widths and line heights of the faces the bubble draws
    // with; wrapping is counted per source line as if every line were
    // filled evenly.
    static const QFontMetricsF body(Theme::inter(400, 16));
    static const QFontMetricsF code(Theme::monospace(14));
    static const qreal bodyLine = body.height();
    static const qreal codeLine = code.height();
    static const qreal bodyChar = qMax<qreal>(1, body.averageCharWidth());
    constexpr int kCodeCard = 46; // header, padding and the block's spacing

    if (turn.state.isFailed())
        return kTop + 2 * kFailurePadV + int(std::ceil(bodyLine * 2)) + kFailureBottom;
    const bool actions = turn.state.isComplete() && !turn.content.isEmpty();
    bool cut = false;
    const QString text = shownPart(turn.content, &cut);
    const int ending = cut ? kEndingGap + endingLineHeight() : 0;
    if (turn.role == ChatMessage::Role::user) {
        const qreal perLine = (userMaxWidth - 2 * kBubblePadH) / bodyChar;
        qreal lines = 0;
        for (const QStringView line : QStringView(text).split(u'\n'))
            lines += qMax<qreal>(1, std::ceil(qreal(line.size()) / perLine));
        return kTop + int(std::ceil(lines * (bodyLine + lineSpacing))) + 2 * kBubblePadV + ending
            + (actions ? kUserActionsTop + MessageActionButton::side : 0) + kUserBottom;
    }
    const qreal perLine = (columnWidth - assistantLeading - kAssistantTrailing) / bodyChar;
    qreal height = kTop;
    bool fenced = false;
    bool blank = true;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        if (line.trimmed().startsWith(u"```")) {
            fenced = !fenced;
            height += fenced ? kCodeCard : 0;
            blank = false;
        } else if (fenced) {
            height += codeLine;
        } else if (line.trimmed().isEmpty()) {
            blank = true;
        } else {
            height += (blank ? MarkdownText::blockSpacing : 0) + std::ceil(qreal(line.size()) / perLine) * bodyLine;
            blank = false;
        }
    }
    if (turn.modelName && !turn.modelName->isEmpty())
        height += 2 * kTagPadV + QFontMetricsF(tagFont()).height() + kTagBelow;
    if (showsReasoning(turn))
        height += 2 * kReasoningOuter + 2 * kReasoningPadV + kHeaderHeight;
    if (actions)
        height += kAssistantActionsTop + MessageActionButton::side;
    return int(std::ceil(height)) + ending + kAssistantBottom;
}

MessageBubble::MessageBubble(const Turn& turn, QWidget* parent) : QWidget(parent), m_turn(turn)
{
    Theme::repaintOnAppearanceChange(this);
    rebuild(turn, true);
}

MessageBubble::~MessageBubble() = default;

MessageBubble::Layout MessageBubble::layoutKind() const
{
    if (m_turn.state.isFailed())
        return Layout::failure;
    return m_turn.role == ChatMessage::Role::user ? Layout::user : Layout::assistant;
}

bool MessageBubble::setTurn(const Turn& turn)
{
    if (sameTurn(turn, m_turn))
        return false;
    const Turn previous = std::exchange(m_turn, turn);
    rebuild(previous, false);
    return true;
}

void MessageBubble::setActionsEnabled(bool enabled)
{
    if (enabled == m_actionsEnabled)
        return;
    m_actionsEnabled = enabled;
    syncActions();
    m_arrangedWidth = -1;
    placeChildren();
    update();
}

template <typename T>
static void drop(T*& widget)
{
    delete widget;
    widget = nullptr;
}

void MessageBubble::rebuild(const Turn& previous, bool first)
{
    const Layout kind = layoutKind();
    const bool kindChanged = first || previous.state.isFailed() != m_turn.state.isFailed() || previous.role != m_turn.role;
    if (kindChanged) {
        m_textCut = m_reasoningCut = false;
        drop(m_files);
        drop(m_answer);
        drop(m_reasoningBody);
        drop(m_toggle);
        drop(m_reasoningCopy);
        m_text.reset();
        m_userText.clear();
    }

    if (kind == Layout::failure) {
        const QString& message = m_turn.state.failureMessage;
        if (!m_text || !sameText(m_text->source, message))
            m_text = std::make_unique<Wrapped>(message, failureFont(), 0);
    } else if (kind == Layout::user) {
        if (!m_text || !sameText(previous.content, m_turn.content)) {
            const SentAttachments::Parsed parsed = SentAttachments::parse(m_turn.content);
            m_userText = shownPart(parsed.text, &m_textCut);
            m_text = std::make_unique<Wrapped>(m_userText, Theme::interMedium16(), lineSpacing);
            drop(m_files);
            if (!parsed.files.isEmpty()) {
                m_files = new SentAttachmentRow(parsed.files, this);
                m_files->show();
            }
        }
    } else {
        const QString shown = shownPart(m_turn.content, &m_textCut);
        if (shown.isEmpty()) {
            drop(m_answer);
        } else if (!m_answer) {
            m_answer = new MarkdownText(shown, Theme::ink, this);
            m_answer->show();
        } else {
            m_answer->setSource(shown);
        }

        if (!showsReasoning(m_turn)) {
            drop(m_toggle);
            drop(m_reasoningCopy);
            drop(m_reasoningBody);
        } else {
            if (!m_toggle) {
                m_toggle = new ReasoningToggle(this);
                connect(m_toggle, &QAbstractButton::clicked, this, [this] {
                    if (onToggleReasoning)
                        onToggleReasoning();
                });
                m_toggle->show();
                m_reasoningCopy = new ReasoningCopyButton(this);
                connect(m_reasoningCopy, &QAbstractButton::clicked, this, [this] {
                    if (onCopyReasoning)
                        onCopyReasoning();
                });
                m_reasoningCopy->show();
            }
            m_toggle->setState(m_turn.reasoningLabel(), m_turn.reasoningExpanded);
            const QString reasoning = shownPart(m_turn.reasoning, &m_reasoningCut);
            if (!m_turn.reasoningExpanded) {
                drop(m_reasoningBody);
            } else if (!m_reasoningBody) {
                m_reasoningBody = new MarkdownText(reasoning, reasoningTint, this);
                m_reasoningBody->show();
            } else {
                m_reasoningBody->setSource(reasoning);
            }
        }
    }
    syncActions();
    m_arrangedWidth = -1;
    placeChildren();
    update();
}

void MessageBubble::syncActions()
{
    QList<Action> wanted;
    const bool offered = m_actionsEnabled && m_turn.state.isComplete() && !m_turn.content.isEmpty();
    if (offered && layoutKind() == Layout::user)
        wanted = {Action::copy, Action::edit, Action::resend, Action::remove};
    else if (offered && layoutKind() == Layout::assistant)
        wanted = {Action::copy, Action::remove};

    QList<Action> current;
    for (const MessageActionButton* button : m_actions)
        current.append(button->action());
    if (current == wanted)
        return;
    qDeleteAll(m_actions);
    m_actions.clear();
    for (const Action action : wanted) {
        auto* button = new MessageActionButton(action, this);
        connect(button, &QAbstractButton::clicked, this, [this, action] {
            const std::function<void()>& callback = action == Action::copy     ? onCopy
                                                    : action == Action::edit   ? onEdit
                                                    : action == Action::resend ? onResend
                                                                               : onDelete;
            if (callback)
                callback();
        });
        button->show();
        m_actions.append(button);
    }
}

int MessageBubble::heightForWidth(int width) const
{
    return arrange(width);
}

int MessageBubble::arrange(int width) const
{
    if (width == m_arrangedWidth)
        return m_height;
    m_arrangedWidth = width;
    m_userBubble = m_failureBox = m_reasoningBox = m_tag = m_placeholder = m_answerRect = m_reasoningHeader =
        m_reasoningBodyRect = m_filesRect = m_actionRow = m_ending = m_reasoningEnding = QRectF();
    int y = kTop;
    const int actionCount = int(m_actions.size());

    switch (layoutKind()) {
    case Layout::failure: {
        const int boxWidth = qMax(0, qMin(failureMaxWidth, width - kAssistantTrailing));
        const QFontMetricsF sign(systemFont(16));
        const qreal signWidth = sign.horizontalAdvance(failureSign());
        const int textWidth = qMax(1, int(boxWidth - 2 * kFailurePadH - signWidth - kSignGap));
        m_text->layOut(textWidth);
        const int inner = int(std::ceil(qMax(sign.height(), m_text->height)));
        m_failureBox = QRectF(0, y, boxWidth, inner + 2 * kFailurePadV);
        m_signOrigin = QPointF(kFailurePadH, y + kFailurePadV);
        m_textOrigin = QPointF(kFailurePadH + signWidth + kSignGap, y + kFailurePadV);
        m_height = y + int(m_failureBox.height()) + kFailureBottom;
        return m_height;
    }
    case Layout::user: {
        const int right = width - kUserTrailing;
        const int room = qMax(2 * kBubblePadH + 1, qMin(userMaxWidth, right - kUserLeading));
        if (m_files) {
            const QSize size = m_files->sizeHint();
            m_filesRect = QRectF(right - size.width(), y, size.width(), size.height());
            y += size.height();
        }
        m_text->layOut(room - 2 * kBubblePadH);
        const int bubbleWidth = qMin(room, int(std::ceil(m_text->naturalWidth)) + 2 * kBubblePadH);
        const int bubbleHeight = int(std::ceil(m_text->height)) + 2 * kBubblePadV;
        m_userBubble = QRectF(right - bubbleWidth, y, bubbleWidth, bubbleHeight);
        m_textOrigin = QPointF(m_userBubble.x() + kBubblePadH, y + kBubblePadV);
        y += bubbleHeight;
        if (m_textCut) {
            y += kEndingGap;
            m_ending = QRectF(right - room, y, room, endingLineHeight());
            y += int(m_ending.height());
        }
        if (actionCount > 0) {
            y += kUserActionsTop;
            const int rowWidth = actionRowWidth(actionCount);
            m_actionRow = QRectF(right - rowWidth, y, rowWidth, MessageActionButton::side);
            y += MessageActionButton::side;
        }
        m_height = y + kUserBottom;
        return m_height;
    }
    case Layout::assistant:
        break;
    }

    const int x = assistantLeading;
    const int room = qMax(1, width - assistantLeading - kAssistantTrailing);
    const QFontMetricsF medium16(Theme::interMedium16());
    const bool empty = m_turn.content.isEmpty() && m_turn.reasoning.isEmpty();
    if (m_turn.state.isStreaming() && empty) {
        const int lineHeight = int(std::ceil(medium16.height()));
        m_placeholder = QRectF(x, y, std::min<qreal>(room, std::ceil(medium16.horizontalAdvance(placeholderText()))),
                               lineHeight);
        y += lineHeight + kPlaceholderBelow;
    }
    if (m_turn.modelName && !m_turn.modelName->isEmpty() && !empty) {
        const QFontMetricsF metrics(tagFont());
        const int tagWidth = qMin(room, int(std::ceil(metrics.horizontalAdvance(*m_turn.modelName))) + 2 * kTagPadH);
        const int tagHeight = int(std::ceil(metrics.height())) + 2 * kTagPadV;
        m_tag = QRectF(x, y, tagWidth, tagHeight);
        y += tagHeight + kTagBelow;
    }
    if (m_toggle) {
        y += kReasoningOuter;
        const int boxWidth = qMin(reasoningMaxWidth, room);
        const int inner = qMax(1, boxWidth - 2 * kReasoningPadH);
        int boxHeight = 2 * kReasoningPadV + kHeaderHeight;
        m_reasoningHeader = QRectF(x + kReasoningPadH, y + kReasoningPadV, inner, kHeaderHeight);
        if (m_reasoningBody) {
            const int bodyHeight = m_reasoningBody->heightForWidth(inner);
            m_reasoningBodyRect = QRectF(x + kReasoningPadH, m_reasoningHeader.bottom() + kBodyGap, inner, bodyHeight);
            boxHeight += kBodyGap + bodyHeight;
            if (m_reasoningCut) {
                m_reasoningEnding = QRectF(x + kReasoningPadH, m_reasoningBodyRect.bottom() + kEndingGap, inner,
                                           endingLineHeight());
                boxHeight += kEndingGap + int(m_reasoningEnding.height());
            }
        }
        m_reasoningBox = QRectF(x, y, boxWidth, boxHeight);
        y += boxHeight + kReasoningOuter;
    }
    if (m_answer) {
        const int answerHeight = m_answer->heightForWidth(room);
        m_answerRect = QRectF(x, y, room, answerHeight);
        y += answerHeight;
        if (m_textCut) {
            y += kEndingGap;
            m_ending = QRectF(x, y, room, endingLineHeight());
            y += int(m_ending.height());
        }
    }
    if (actionCount > 0) {
        y += kAssistantActionsTop;
        m_actionRow = QRectF(x, y, actionRowWidth(actionCount), MessageActionButton::side);
        y += MessageActionButton::side;
    }
    m_height = y + kAssistantBottom;
    return m_height;
}

void MessageBubble::placeChildren()
{
    arrange(testAttribute(Qt::WA_Resized) ? width() : columnWidth);
    if (m_files)
        m_files->move(m_filesRect.topLeft().toPoint());
    if (m_answer && m_answer->geometry() != m_answerRect.toRect())
        m_answer->setGeometry(m_answerRect.toRect());
    if (m_toggle) {
        const QRect header = m_reasoningHeader.toRect();
        m_toggle->setGeometry(header.x(), header.y(), header.width() - MessageActionButton::side, header.height());
        m_reasoningCopy->move(header.right() + 1 - MessageActionButton::side, header.y());
    }
    if (m_reasoningBody && m_reasoningBody->geometry() != m_reasoningBodyRect.toRect())
        m_reasoningBody->setGeometry(m_reasoningBodyRect.toRect());
    int x = int(m_actionRow.x());
    for (MessageActionButton* button : m_actions) {
        button->move(x, int(m_actionRow.y()));
        x += MessageActionButton::side + actionSpacing;
    }
}

void MessageBubble::resizeEvent(QResizeEvent*)
{
    placeChildren();
}

void MessageBubble::paintEvent(QPaintEvent*)
{
    arrange(width());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    if (!m_failureBox.isNull()) {
        Theme::strokeInside(painter, m_failureBox, failureRadius, Theme::warningAmber(), 2);
        painter.setFont(systemFont(16));
        painter.setPen(Theme::warningAmber());
        painter.drawText(m_signOrigin + QPointF(0, QFontMetricsF(systemFont(16)).ascent()), failureSign());
        painter.setPen(Theme::ink());
        m_text->layout.draw(&painter, m_textOrigin);
        return;
    }
    if (!m_ending.isNull() || !m_reasoningEnding.isNull()) {
        // Plain and muted, on one line: it says what the bubble leaves out.
        painter.setPen(Theme::secondaryText());
        const bool right = !m_userBubble.isNull();
        for (const QRectF& rect : {m_ending, m_reasoningEnding}) {
            if (rect.isNull())
                continue;
            const qreal width = qMin(rect.width(), QFontMetricsF(endingFont()).horizontalAdvance(endingLine()) + 1);
            const QRectF line(right ? rect.right() - width : rect.x(), rect.y(), width, rect.height());
            Theme::drawElidedLine(painter, line, endingFont(), endingLine());
        }
    }
    if (!m_userBubble.isNull()) {
        const qreal radius = cornerRadiusFor(m_userBubble.height());
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::ink());
        painter.drawRoundedRect(m_userBubble, radius, radius);
        painter.setPen(Theme::surface());
        m_text->layout.draw(&painter, m_textOrigin);
        return;
    }
    if (!m_placeholder.isNull()) {
        painter.setPen(Theme::neutralGrey());
        Theme::drawElidedLine(painter, m_placeholder, Theme::interMedium16(), placeholderText());
    }
    if (!m_tag.isNull()) {
        painter.save();
        painter.setOpacity(kTagOpacity);
        Theme::strokeInside(painter, m_tag, kTagRadius, Theme::ink(), 1);
        painter.setPen(Theme::ink());
        Theme::drawElidedLine(painter, m_tag.adjusted(kTagPadH, kTagPadV, -kTagPadH, -kTagPadV), tagFont(),
                              *m_turn.modelName);
        painter.restore();
    }
    if (!m_reasoningBox.isNull()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(reasoningBackground());
        painter.drawRoundedRect(m_reasoningBox, reasoningRadius, reasoningRadius);
    }
}

} // namespace cvn
