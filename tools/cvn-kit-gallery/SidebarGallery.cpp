#include "SidebarGallery.h"

#include "chat/sidebar/SidebarList.h"
#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"
#include "storage/ChatDatabase.h"
#include "storage/ChatStore.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEnterEvent>
#include <QPainter>
#include <QTemporaryDir>

namespace cvn::gallery {

namespace {

constexpr int kMargin = 16;
constexpr int kCaption = 22;
constexpr int kDrawerHeight = 860;

struct SampleChat {
    const char* title;
    int daysAgo;
    bool pinned;
    bool council;
    bool reasoning;
    const char* message;
};

// A small history: two pinned chats, three days of others, every badge.
const SampleChat kChats[] = {
    {"Trip planning for Lisbon", 0, true, false, false, "Pack the rain jacket"},
    {"Weekly budget", 9, true, true, true, "Groceries and rent"},
    {"Why is the sky blue? A long answer about Rayleigh scattering and more", 0, false, false, true,
     "Shorter wavelengths scatter more"},
    {"Council: best sorting algorithm", 0, false, true, false, "Merge sort is stable"},
    {"Recipe ideas", 1, false, false, false, "A quick café au lait"},
    {"Rust lifetimes", 1, false, true, true, "Borrow checker notes"},
    {"Birthday card text", 4, false, false, false, "Happy birthday, Ana"},
};

void fillHistory(ChatDatabase& db)
{
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    int64_t minute = 0;
    for (const SampleChat& chat : kChats) {
        const int64_t id = db.insertChat(QString::fromUtf8(chat.title), QStringLiteral("model"));
        db.run(QStringLiteral("UPDATE chats SET updated_at=?, pinned=?, is_council=? WHERE id=?"),
               {now - chat.daysAgo * 86400 - minute++ * 60, chat.pinned ? 1 : 0, chat.council ? 1 : 0, id});
        db.insertMessage(id, QStringLiteral("user"), QString::fromUtf8(chat.message), ChatDatabase::Value::null(),
                         chat.reasoning ? ChatDatabase::Value("thinking") : ChatDatabase::Value::null());
    }
}

void hover(QWidget* w)
{
    const QPoint pos(w->width() / 2, w->height() / 2);
    QEnterEvent enter(pos, w->mapTo(w->window(), pos), w->mapToGlobal(pos));
    QApplication::sendEvent(w, &enter);
}

struct Panel {
    QString caption;
    std::function<void(SidebarView&)> apply;
};

QImage drawerSheet(ChatStore& store, const QList<Panel>& panels)
{
    const int width = kMargin + panels.size() * (SidebarView::drawerWidth + kMargin);
    const int top = kMargin + kCaption;
    QImage sheet(width, top + kDrawerHeight + kMargin, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter painter(&sheet);
    painter.setFont(Theme::interRegular13());
    painter.setPen(Theme::secondaryText());
    int x = kMargin;
    for (const Panel& panel : panels) {
        QWidget window;
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.resize(SidebarView::drawerWidth, kDrawerHeight);
        SidebarView drawer(store, &window);
        drawer.setGeometry(0, 0, SidebarView::drawerWidth, kDrawerHeight);
        window.show();
        // As the main window does: a closed drawer builds no list.
        drawer.setOpen(true);
        settle();
        if (panel.apply)
            panel.apply(drawer);
        settle();
        QImage image(drawer.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        drawer.render(&image);
        painter.drawText(QPointF(x, kMargin + 14), panel.caption);
        painter.drawImage(QPoint(x, top), image);
        x += SidebarView::drawerWidth + kMargin;
    }
    return sheet;
}

void typeQuery(SidebarView& drawer, const QString& query)
{
    drawer.openSearch();
    settle();
    drawer.searchField()->setText(query);
    emit drawer.searchField()->textEdited(query);
}

} // namespace

QList<Sheet> sidebarSheets()
{
    QTemporaryDir folder;
    ChatDatabase db(QDir(folder.path()).filePath(QStringLiteral("chats.db")));
    fillHistory(db);
    ChatStore store(db);

    const QImage sections = drawerSheet(
        store, {{QStringLiteral("Pinned and day sections"), {}},
                {QStringLiteral("Row hovered, MODELS held down"),
                 [](SidebarView& drawer) {
                     SidebarRow* row = drawer.list()->rowWidget(drawer.list()->entries().at(4).row.id);
                     hover(row);
                     for (auto* button : drawer.findChildren<FooterRowButton*>()) {
                         if (button->text() == QLatin1String("MODELS"))
                             button->setDown(true);
                     }
                 }}});
    const QImage search = drawerSheet(
        store, {{QStringLiteral("Search open, empty"), [](SidebarView& drawer) { drawer.openSearch(); }},
                {QStringLiteral("\"ca\": titles and a message match"),
                 [](SidebarView& drawer) { typeQuery(drawer, QStringLiteral("ca")); }},
                {QStringLiteral("\"quetzal\": no match"),
                 [](SidebarView& drawer) { typeQuery(drawer, QStringLiteral("quetzal")); }}});
    return {{QStringLiteral("sidebar-sections"), sections}, {QStringLiteral("sidebar-search"), search}};
}

} // namespace cvn::gallery
