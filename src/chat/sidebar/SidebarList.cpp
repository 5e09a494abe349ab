#include "chat/sidebar/SidebarList.h"

#include "chat/sidebar/SidebarRow.h"
#include "ui_kit/Theme.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QtMath>

#include <algorithm>

namespace cvn {

SidebarList::Entry SidebarList::heading(const QString& label, bool first)
{
    Entry entry;
    entry.kind = Entry::Kind::heading;
    entry.label = label;
    entry.topPadding = first ? firstHeadingTop : laterHeadingTop;
    return entry;
}

SidebarList::Entry SidebarList::rowEntry(const ChatStore::Row& row)
{
    Entry entry;
    entry.kind = Entry::Kind::row;
    entry.row = row;
    return entry;
}

SidebarList::Entry SidebarList::noMatch()
{
    Entry entry;
    entry.kind = Entry::Kind::noMatch;
    entry.label = QStringLiteral("NO CHATS MATCH");
    entry.topPadding = noMatchTop;
    return entry;
}

SidebarList::SidebarList(QWidget* parent) : QWidget(parent)
{
    Theme::repaintOnAppearanceChange(this);
}

void SidebarList::attachTo(QWidget* viewport)
{
    m_viewport = viewport;
    viewport->installEventFilter(this);
    fitToViewport();
    placeRows();
}

int SidebarList::lineHeight()
{
    return qCeil(QFontMetricsF(Theme::interMedium16()).height());
}

int SidebarList::layOut(QList<Entry>& entries, int line)
{
    int y = 0;
    for (Entry& entry : entries) {
        entry.y = y;
        switch (entry.kind) {
        case Entry::Kind::heading:
            entry.height = entry.topPadding + line + headingBottom;
            break;
        case Entry::Kind::noMatch:
            entry.height = entry.topPadding + line;
            break;
        case Entry::Kind::row:
            entry.height = SidebarRow::rowHeight;
            break;
        }
        y += entry.height;
    }
    return y + bottomPadding;
}

QList<SidebarList::Entry> SidebarList::takeEntries(QList<Entry> laidOut, int contentHeight)
{
    QList<Entry> old = std::exchange(m_entries, std::move(laidOut));
    m_contentHeight = contentHeight;
    ++m_changes;
    fitToViewport();
    placeRows();
    update();
    return old;
}

void SidebarList::dropRowsOf(const QSet<int64_t>& ids)
{
    for (const int64_t id : ids) {
        SidebarRow* const row = m_rows.take(id);
        if (!row)
            continue;
        // The row may be the one whose click led to the chat's removal.
        m_shown.removeOne(row);
        row->hide();
        row->deleteLater();
    }
}

SidebarRow* SidebarList::takeRow(const ChatStore::Row& row)
{
    SidebarRow*& widget = m_rows[row.id];
    if (widget) {
        widget->setRow(row);
        return widget;
    }
    widget = new SidebarRow(row, this);
    // The row hands back the chat it shows at the click, copied there.
    SidebarRow* made = widget;
    connect(made, &SidebarRow::onSelect, this, [this, made] { emit rowSelected(made->row()); });
    connect(made, &SidebarRow::onMore, this, [this, made] { emit rowMenu(made->row()); });
    return made;
}

void SidebarList::fitToViewport()
{
    const int width = m_viewport ? m_viewport->width() : qMax(this->width(), leadingPadding + SidebarRow::rowWidth);
    if (size() != QSize(width, m_contentHeight))
        resize(width, m_contentHeight);
}

void SidebarList::placeRows()
{
    // A viewport's height of rows above and below the visible band exists,
    // so a scroll step never shows an empty row.
    const int viewHeight = m_viewport ? qMax(m_viewport->height(), 1) : m_contentHeight;
    const int top = -y() - viewHeight;
    const int bottom = -y() + 2 * viewHeight;
    QList<SidebarRow*> shown;
    const auto first = std::lower_bound(m_entries.cbegin(), m_entries.cend(), top,
                                        [](const Entry& e, int value) { return e.y + e.height <= value; });
    for (auto it = first; it != m_entries.cend() && it->y < bottom; ++it) {
        if (it->kind != Entry::Kind::row)
            continue;
        SidebarRow* row = takeRow(it->row);
        const QRect place(leadingPadding, it->y, SidebarRow::rowWidth, SidebarRow::rowHeight);
        if (row->geometry() != place)
            row->setGeometry(place);
        shown.append(row);
    }
    for (SidebarRow* row : std::as_const(m_shown)) {
        if (!shown.contains(row))
            row->hide();
    }
    for (SidebarRow* row : std::as_const(shown))
        row->show();
    m_shown = std::move(shown);
}

void SidebarList::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    placeRows();
}

bool SidebarList::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_viewport && event->type() == QEvent::Resize) {
        fitToViewport();
        placeRows();
    }
    return QWidget::eventFilter(watched, event);
}

void SidebarList::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Theme::surface.withAlpha(textOpacity)());
    const int line = lineHeight();
    const QRect dirty = event->rect();
    const auto first = std::lower_bound(m_entries.cbegin(), m_entries.cend(), dirty.top(),
                                        [](const Entry& e, int value) { return e.y + e.height <= value; });
    for (auto it = first; it != m_entries.cend() && it->y < dirty.bottom() + 1; ++it) {
        const Entry& entry = *it;
        if (entry.kind == Entry::Kind::row)
            continue;
        const int inset = leadingPadding + (entry.kind == Entry::Kind::heading ? headingLeading : noMatchLeading);
        const QRectF text(inset, entry.y + entry.topPadding, width() - inset, line);
        Theme::drawElidedLine(painter, text, Theme::interMedium16(), entry.label);
    }
}

} // namespace cvn
