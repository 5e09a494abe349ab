#pragma once

// The chats drawer beside the chat screen: a 378-wide panel in the ink
// colour with everything on it in the surface colour. It lists the saved
// chats (pinned ones first, then the rest under day headings), searches
// their titles and message text, and offers "NEW CHAT", "MODELS" and
// "SETTINGS".
//
// It owns no data: it observes a ChatStore it does not own (which must
// outlive it) and re-reads it on every change of the store or the query.
// Every action goes to the host through one of the six signals below; the
// drawer never closes itself or changes the open chat. Its own state is
// whether the search is open, the query, and a focus counter that moves the
// keyboard into a new search field. The host says when the drawer opens and
// closes (it stays a shown widget while closed, only 0 wide). While closed
// it builds nothing: a change of the store only marks its list out of date,
// and opening builds it again, with the day headings worked out anew; while
// open, the headings move on at each local midnight. Main thread only.
//
// While open, the drawer has the store catch up with what another program
// committed (ChatStore::catchUp, which reads on a thread of its own): on
// opening, at each change of the search text, and every catchUpIntervalMs
// while its window is the active one. The list follows when the rows come;
// nothing waits for them.
//
// A long list (more than inlineRows chats, or a message search with more
// than inlineSearchBytes of text to look through) is built on a thread of
// the drawer's own: the rows filtered by the query, the entries laid out and
// compared with those shown. The main thread takes the query's search and
// the store's lists, which it shares and does not copy, and later only the
// finished list; a build that a newer one overtook is dropped, or never
// made. A short list is built at once.

#include "chat/sidebar/SidebarList.h"
#include "platform/SerialQueue.h"
#include "storage/ChatStore.h"

#include <QAbstractButton>
#include <QDate>
#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <QVarLengthArray>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QScrollArea;
class QVBoxLayout;

namespace cvn {

class SidebarSearchField;

class SidebarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int drawerWidth = 378;
    // The column the label, the pill, "NEW CHAT", the dividers and the footer
    // line up on, and its width.
    static constexpr int columnInset = 48;
    static constexpr int columnWidth = 282;
    static constexpr int pillHeight = 38;
    static constexpr int pillRadius = 19;

    // The longest the drawer waits before it looks at the day again. The
    // timer is aimed at midnight, but its clock stops while the computer
    // sleeps and knows nothing of a change of the time or the time zone.
    static constexpr int longestDayWaitMs = 3'600'000;
    // How often the open drawer of the active window looks for what another
    // program committed; one PRAGMA data_version read when nothing was.
    static constexpr int catchUpIntervalMs = 2000;
    // Up to these, a list is built on the main thread; see above.
    static constexpr int inlineRows = 2000;
    static constexpr qsizetype inlineSearchBytes = qsizetype(1) << 20;

    // What "now" is for the day headings: the local wall clock unless a test
    // sets another.
    using Clock = std::function<QDateTime()>;

    explicit SidebarView(ChatStore& chats, QWidget* parent = nullptr);

    // Replaces the clock (none puts the wall clock back) and reads the
    // store again by it.
    void setClock(Clock clock);

    // The host opens (true) or closes the drawer. Opening reads the store
    // again, after the store has read the list again if another program
    // changed the chats, and builds the list; while open, the headings move
    // on at each local midnight. Closed, the list stays as it was.
    void setOpen(bool open);
    bool isOpen() const { return m_open; }
    // Fires at the next local midnight (or after longestDayWaitMs) while open.
    const QTimer& dayTimer() const { return m_dayTimer; }
    // Fires every catchUpIntervalMs while open.
    const QTimer& catchUpTimer() const { return m_catchUpTimer; }

    // Milliseconds from `now` to the first moment of the next day in `now`'s
    // own time zone: 23 or 25 hours away across a change to or from summer
    // time, and the 01:00 that starts a day whose midnight the change skips.
    static qint64 msecsToNextDay(const QDateTime& now);

    // The product name's font for a line this wide: Inter Regular 40, made
    // smaller only as far as the whole name needs to fit.
    static QFont productNameFont(qreal width);

    bool searchOpen() const { return m_searchOpen; }
    const QString& query() const { return m_query; }
    int searchFocus() const { return m_searchFocus; }

    // Opens the search pill (or keeps it), empties the query and moves the
    // focus into the field.
    void openSearch();
    // Empties the query and puts the product label back.
    void closeSearch();
    // Sets the query as if typed (the field follows); it filters only while
    // the search is open. The list is read again first when another program
    // has committed.
    void setQuery(const QString& query);

    // The query trimmed of white space and line breaks while the search is
    // open; empty while it is closed. The list shows the rows whose title
    // contains it, ignoring case only, or whose messages contain it; all of
    // them for an empty query.
    QString activeQuery() const;
    // A list being built on the drawer's thread has not been shown yet.
    bool building() const { return m_shownBuild < m_builds; }
    // The query (as activeQuery gave it) of the list shown.
    const QString& shownQuery() const { return m_shownQuery; }
    // For tests: called on the drawer's thread with each list it built,
    // before the list goes to the main thread.
    void setBuildHook(std::function<void()> hook) { m_buildHook = std::move(hook); }

    // The parts the host's tests and the gallery reach for.
    SidebarList* list() const { return m_list; }
    SidebarSearchField* searchField() const { return m_field; }
    QAbstractButton* searchButton() const { return m_searchButton; }
    QAbstractButton* closeSearchButton() const { return m_closeButton; }
    QScrollArea* scrollArea() const { return m_scroll; }

public slots:
    // Re-reads the store; the list is touched only when what it shows
    // changes. Does nothing while the drawer is closed.
    void refresh();

signals:
    void onClose();
    void onOpenModels();
    void onOpenSettings();
    // A copy of the row as it was shown when clicked.
    void onRowMenu(cvn::ChatStore::Row row);
    void onNewChat();
    void onSelectChat(cvn::ChatStore::Row row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* makePill();
    // What one list is built from, taken on the main thread: the lists are
    // shared, not copied.
    struct BuildInput {
        uint64_t number = 0;
        uint64_t rowsVersion = 0;
        QString query;
        QDateTime now;
        QList<ChatStore::Row> rows;
        // The store's pinned rows and day sections; worked out by the build
        // when missing.
        std::optional<ChatStore::Lists> lists;
        std::optional<ChatDatabase::MessageSearch> search;
        QList<SidebarList::Entry> shown;
        uint64_t shownBuild = 0; // the build `shown` came from
        int lineHeight = 0;
        // The chats with row widgets, to be looked for in the rows.
        std::optional<QList<int64_t>> widgetIds;
    };
    struct Built {
        uint64_t number = 0;
        uint64_t rowsVersion = 0;
        QString query;
        ChatStore::Lists lists;
        QList<SidebarList::Entry> entries;
        int contentHeight = 0;
        // The builds whose lists equal these entries, of those that may be
        // shown when these come.
        QVarLengthArray<uint64_t, 2> sameAs;
        // Of the widget ids looked for, those no longer listed.
        std::optional<QSet<int64_t>> gone;
    };
    // How far the builds posted to the drawer's thread have got: the
    // newest, and the newest for another query than the one before it.
    struct Posted {
        std::atomic<uint64_t> newest = 0;
        std::atomic<uint64_t> newestQuery = 0;
    };
    // The list the drawer's thread built last, kept there: a build asked for
    // while it was under way compares its entries with that list too, which
    // the main thread will have taken by the time they come.
    struct LastBuilt {
        uint64_t number = 0;
        QList<SidebarList::Entry> entries;
    };
    // Nothing when a build for another query was posted meanwhile: the list
    // would be shown for a query no longer typed. `last` is the drawer's
    // thread's own, null for a build on the main thread.
    static std::optional<Built> build(const BuildInput& input, const Posted* posted, LastBuilt* last);
    // Shows a finished build unless a newer one was shown already or the
    // query changed since; what it no longer needs goes back to be freed
    // where it was built.
    void showBuilt(Built built, bool onBuilder);
    // Aims the day timer at the next day by the clock, or at most
    // longestDayWaitMs ahead.
    void armDayTimer();
    // Has the store catch up with what another program committed, leaving
    // the list to the caller's refresh when it read at once (true); rows
    // read on the store's thread refresh the list when they come.
    bool catchUp();

    ChatStore& m_chats;
    Clock m_clock;
    bool m_open = false;
    QTimer m_dayTimer;
    QTimer m_catchUpTimer;
    // The store changed since the row widgets were last matched to it.
    bool m_widgetsStale = false;
    // A caller refreshes once it has had the store read again.
    bool m_refreshLater = false;
    bool m_rowsChangedMeanwhile = false;
    bool m_searchOpen = false;
    QString m_query;
    int m_searchFocus = 0;

    // The store's pinned rows and sections as last built from, until the
    // rows change or the day moves on: grouping thousands of rows by day
    // costs more than a keystroke may.
    std::optional<ChatStore::Lists> m_store;
    // Numbers every build. One that finishes after a newer one was shown
    // is dropped; one overtaken by a build of the same query (rows another
    // program changed meanwhile) is still shown, sooner than the newer.
    uint64_t m_builds = 0;
    // The build whose entries the list shows (0: the empty list it began
    // with).
    uint64_t m_shownBuild = 0;
    QString m_shownQuery;
    // Counts the changes of the store's rows: lists built from rows since
    // replaced are shown, never kept.
    uint64_t m_rowsVersion = 0;
    // The query of the newest build, and the number of the first build for
    // it: lists for an earlier query are never shown after it was typed.
    QString m_builtQuery;
    uint64_t m_queryBuild = 0;
    std::shared_ptr<Posted> m_posted = std::make_shared<Posted>();
    std::shared_ptr<LastBuilt> m_lastBuilt = std::make_shared<LastBuilt>();
    std::unique_ptr<SerialQueue> m_builder;
    std::function<void()> m_buildHook;

    QVBoxLayout* m_titleArea = nullptr;
    QWidget* m_productLabel = nullptr;
    QPointer<QWidget> m_pill;
    QPointer<SidebarSearchField> m_field;
    QPointer<QAbstractButton> m_closeButton;
    QAbstractButton* m_searchButton = nullptr;
    QScrollArea* m_scroll = nullptr;
    SidebarList* m_list = nullptr;
};

} // namespace cvn
