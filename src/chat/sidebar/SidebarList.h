#pragma once

// The scrolled content of the sidebar: section headings, chat rows and the
// "NO CHATS MATCH" line, stacked in the order the drawer gives them.
//
// The drawer hands over a new list laid out, only when it differs from the
// one shown. Row widgets are kept per chat id and reused whatever
// their new place, and only the rows near the visible band of the scroll
// area exist as shown widgets, so thousands of chats cost a handful of
// widgets per keystroke. Headings and the no-match line are painted, not
// widgets. Main thread only.

#include "storage/ChatStore.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QWidget>

namespace cvn {

class SidebarRow;

class SidebarList : public QWidget {
    Q_OBJECT

public:
    static constexpr int leadingPadding = 16;
    static constexpr int bottomPadding = 20;
    static constexpr int headingLeading = 10;
    static constexpr int firstHeadingTop = 20;
    static constexpr int laterHeadingTop = 60;
    static constexpr int headingBottom = 8;
    static constexpr int noMatchLeading = 22;
    static constexpr int noMatchTop = 20;
    static constexpr double textOpacity = 0.6;

    struct Entry {
        enum class Kind { heading, row, noMatch };

        Kind kind = Kind::row;
        QString label;         // heading only
        int topPadding = 0;    // heading: 20 for the first block, else 60
        ChatStore::Row row;    // row only

        // Laid out by setEntries, in list coordinates.
        int y = 0;
        int height = 0;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    static Entry heading(const QString& label, bool first);
    static Entry rowEntry(const ChatStore::Row& row);
    static Entry noMatch();

    explicit SidebarList(QWidget* parent = nullptr);

    // The scroll area's viewport this list is the content of: the list
    // takes its width and places rows around its visible band.
    void attachTo(QWidget* viewport);

    // The height of a heading's or the no-match line's text.
    static int lineHeight();
    // Gives each entry its place, for text lines `line` high; the height of
    // the list. Any thread.
    static int layOut(QList<Entry>& entries, int line);
    // Takes a list laid out already and known to differ from the current
    // one; hands back the one it replaces.
    QList<Entry> takeEntries(QList<Entry> laidOut, int contentHeight);
    const QList<Entry>& entries() const { return m_entries; }
    // How many times a new list was taken.
    int changes() const { return m_changes; }

    // Forgets the row widgets of the chats in `ids` (deleted chats).
    void dropRowsOf(const QSet<int64_t>& ids);
    // The chats that have a row widget kept.
    QList<int64_t> rowWidgetIds() const { return m_rows.keys(); }
    // The row widget kept for a chat, or null when none was made yet.
    SidebarRow* rowWidget(int64_t id) const { return m_rows.value(id); }

    int contentHeight() const { return m_contentHeight; }

signals:
    // Each hands on a copy of the row the widget showed at the click: the
    // widget's own row changes as soon as anything reads the list again.
    void rowSelected(cvn::ChatStore::Row row);
    void rowMenu(cvn::ChatStore::Row row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitToViewport();
    void placeRows();
    SidebarRow* takeRow(const ChatStore::Row& row);

    QList<Entry> m_entries;
    int m_contentHeight = bottomPadding;
    int m_changes = 0;
    QHash<int64_t, SidebarRow*> m_rows;
    QList<SidebarRow*> m_shown;
    QWidget* m_viewport = nullptr;
};

} // namespace cvn
