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
// keyboard into a new search field. Main thread only.

#include "storage/ChatStore.h"

#include <QAbstractButton>
#include <QDate>
#include <QPointer>
#include <QWidget>

#include <optional>

class QScrollArea;
class QVBoxLayout;

namespace cvn {

class SidebarList;
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

    explicit SidebarView(ChatStore& chats, QWidget* parent = nullptr);

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
    // the search is open.
    void setQuery(const QString& query);

    // The query trimmed of white space and line breaks while the search is
    // open; empty while it is closed.
    QString activeQuery() const;
    // The rows whose title contains the active query, ignoring case only, or
    // whose messages contain it; all of them for an empty query.
    QList<ChatStore::Row> filtered(const QList<ChatStore::Row>& rows) const;
    // The store's day sections with their rows filtered, empty ones dropped.
    QList<ChatStore::Section> visibleSections();

    // The parts the host's tests and the gallery reach for.
    SidebarList* list() const { return m_list; }
    SidebarSearchField* searchField() const { return m_field; }
    QAbstractButton* searchButton() const { return m_searchButton; }
    QAbstractButton* closeSearchButton() const { return m_closeButton; }
    QScrollArea* scrollArea() const { return m_scroll; }

public slots:
    // Re-reads the store; the list is touched only when what it shows changes.
    void refresh();

signals:
    void onClose();
    void onOpenModels();
    void onOpenSettings();
    void onRowMenu(const cvn::ChatStore::Row& row);
    void onNewChat();
    void onSelectChat(const cvn::ChatStore::Row& row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QList<ChatStore::Row> filterRows(const QList<ChatStore::Row>& rows, const QString& query,
                                     const QSet<int64_t>& contentHits) const;
    QWidget* makePill();
    // The store's pinned rows and day sections, read again only after the
    // store changed or the day moved on: grouping thousands of rows by day
    // costs more than a keystroke may.
    struct StoreLists {
        QDate day;
        QList<ChatStore::Row> pinned;
        QList<ChatStore::Section> sections;
    };
    const StoreLists& readStore();

    ChatStore& m_chats;
    bool m_searchOpen = false;
    QString m_query;
    int m_searchFocus = 0;

    std::optional<StoreLists> m_store;

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
