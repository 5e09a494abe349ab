#pragma once

// One chat of the sidebar's list, and the footer entries' button. Both draw
// in the surface colour on the drawer's ink background.
//
// A SidebarRow shows a chat it is handed (it owns no data) and reports the
// two clicks it takes; the drawer keeps one row per chat id and hands it a
// new ChatStore::Row when the chat changes. Main thread only.

#include "storage/ChatStore.h"

#include <QAbstractButton>
#include <QWidget>

namespace cvn {

class SidebarRow : public QWidget {
    Q_OBJECT

public:
    static constexpr int rowHeight = 41;
    static constexpr int badgeWidth = 32;
    // The divider under the title: 282 by 2 from the badge column on.
    static constexpr int dividerWidth = 282;
    static constexpr int dividerHeight = 2;
    // The row's natural width: the badge column and the divider.
    static constexpr int rowWidth = badgeWidth + dividerWidth;

    explicit SidebarRow(const ChatStore::Row& row, QWidget* parent = nullptr);

    const ChatStore::Row& row() const { return m_row; }
    // Shows another state of the same or another chat; repaints only when
    // something shown differs.
    void setRow(const ChatStore::Row& row);

    bool hovering() const { return m_hovering; }
    // The title and "More actions" buttons, for the drawer's tests.
    QAbstractButton* titleButton() const { return m_title; }
    QAbstractButton* moreButton() const { return m_more; }

    // "R", "C", "RC" (an "R" with a small raised "C") or "": what the badge
    // column shows for these flags.
    static QString badgeText(bool reasoning, bool council);

    QSize sizeHint() const override { return {rowWidth, rowHeight}; }

signals:
    // A click on the title.
    void onSelect();
    // A click on "More actions".
    void onMore();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setHovering(bool hovering);

    ChatStore::Row m_row;
    bool m_hovering = false;
    QAbstractButton* m_title = nullptr;
    QAbstractButton* m_more = nullptr;
};

// The footer's text entries ("MODELS", "SETTINGS"): the label flush left over
// the full width, 10 above and below, and a faint rounded fill only while
// the button is held down.
class FooterRowButton : public QAbstractButton {
    Q_OBJECT

public:
    static constexpr int verticalPadding = 10;
    static constexpr qreal radius = 19;
    static constexpr double pressedOpacity = 0.08;

    explicit FooterRowButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

} // namespace cvn
