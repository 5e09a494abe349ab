#include "chat/sidebar/SidebarList.h"
#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"

#include "storage/HeldReads.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <dlfcn.h>
#include <time.h>

#include <atomic>

using namespace cvn;
using namespace cvn::test;

// Every read of the time zone in this program, Qt's included, is counted
// here before it goes on to the C library's.
static std::atomic<int> zoneReads{0};

extern "C" void tzset() noexcept
{
    ++zoneReads;
    static const auto next = reinterpret_cast<void (*)()>(dlsym(RTLD_NEXT, "tzset"));
    next();
}

namespace {

using Kind = SidebarList::Entry::Kind;

class SidebarViewTest : public KitTest {
protected:
    // Chats updated around noon `daysAgo` days before today, in the order
    // added within a day.
    int64_t add(const QString& title, int daysAgo, bool pinned = false, const QString& message = {})
    {
        const QDateTime noon(QDate::currentDate().addDays(-daysAgo), QTime(12, 0));
        return addAt(title, noon.addSecs(-++m_age), pinned, message);
    }
    int64_t addAt(const QString& title, const QDateTime& updated, bool pinned = false, const QString& message = {})
    {
        const int64_t id = db.insertChat(title, "m");
        db.run("UPDATE chats SET updated_at=?, pinned=? WHERE id=?", {updated.toSecsSinceEpoch(), pinned ? 1 : 0, id});
        if (!message.isEmpty())
            db.insertMessage(id, "user", message);
        return id;
    }

    // The drawer in an active window, opened by its host unless `opened`
    // is false.
    SidebarView& open(bool opened = true)
    {
        store.reload();
        host.resize(SidebarView::drawerWidth, 900);
        drawer = new SidebarView(store, &host);
        drawer->resize(host.size());
        showAndSettle(host);
        QApplication::setActiveWindow(&host);
        drawer->setOpen(opened);
        return *drawer;
    }

    // The list as text: "TODAY@60" for a heading with its top padding,
    // plain titles for rows, and the no-match line.
    QStringList shown() const
    {
        QStringList out;
        for (const auto& e : drawer->list()->entries())
            out << (e.kind == Kind::row       ? e.row.title
                    : e.kind == Kind::heading ? QString("%1@%2").arg(e.label).arg(e.topPadding)
                                              : e.label);
        return out;
    }

    void type(const QString& text)
    {
        drawer->searchField()->selectAll();
        if (text.isEmpty())
            QTest::keyClick(drawer->searchField(), Qt::Key_Backspace);
        QTest::keyClicks(drawer->searchField(), text);
    }

    // More chats than are built on the main thread, on the last 30 days,
    // written in one go with what `more` adds.
    void addLongList(const std::function<void()>& more)
    {
        db.transaction([&] {
            for (int i = 0; i < SidebarView::inlineRows + 100; ++i)
                add(QString("chat %1").arg(i), i % 30);
            more();
            return true;
        });
    }

    ChatStore::Row rowOf(int64_t id) const
    {
        for (const ChatStore::Row& row : store.rows()) {
            if (row.id == id)
                return row;
        }
        return {};
    }

    ChatDatabase db{makeTempFolder() + "/chats.db"};
    ChatStore store{db};
    QWidget host;
    SidebarView* drawer = nullptr;
    int m_age = 0;
};

} // namespace

TEST_F(SidebarViewTest, FiltersTitlesByCaseAndMessagesByContent)
{
    add("CAFÉ notes", 0);
    add("Café menu", 0);
    add("Straße", 0);
    add("Groceries", 1, false, "a note about quetzal birds");
    add("Pinned plan", 3, true);
    open();
    const QStringList all = {"PINNED@20", "Pinned plan",  "TODAY@60",     "CAFÉ notes",
                             "Café menu", "Straße",       "YESTERDAY@60", "Groceries"};
    EXPECT_EQ(shown(), all);

    const struct {
        QString query;
        QStringList expected;
    } cases[] = {
        {"  \n", all},
        {"café", {"TODAY@20", "CAFÉ notes", "Café menu"}},
        {"cafe", {"NO CHATS MATCH"}},
        {"STRASSE", {"NO CHATS MATCH"}},
        {"STRAßE", {"TODAY@20", "Straße"}},
        {"QUETZAL", {"YESTERDAY@20", "Groceries"}},
        {"plan", {"PINNED@20", "Pinned plan"}},
        {" e", all},
    };
    drawer->openSearch();
    for (const auto& c : cases) {
        drawer->setQuery(c.query);
        EXPECT_EQ(shown(), c.expected) << c.query.toStdString();
    }
    // A closed search filters nothing, whatever was typed.
    drawer->closeSearch();
    EXPECT_EQ(drawer->query(), "");
    EXPECT_EQ(shown(), all);
}

// The headings follow the clock: at local midnight while the drawer is
// open, and on each opening however long it was closed.
TEST_F(SidebarViewTest, DayHeadingsMoveOnAtMidnightAndWhenTheDrawerOpens)
{
    const QDate day(2030, 6, 14);
    addAt("lunch", QDateTime(day, QTime(12, 0)));
    addAt("breakfast", QDateTime(day.addDays(-1), QTime(8, 0)));
    QDateTime now(day, QTime(23, 59, 59, 800));
    open(false);
    drawer->setClock([&now] { return now; });
    EXPECT_FALSE(drawer->dayTimer().isActive());
    drawer->setOpen(true);
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "lunch", "YESTERDAY@60", "breakfast"}));
    ASSERT_TRUE(drawer->dayTimer().isActive());
    EXPECT_EQ(drawer->dayTimer().interval(), 200);

    now = QDateTime(day.addDays(1), QTime(0, 0, 0, 100));
    EXPECT_TRUE(waitUntil([&] { return shown().value(0) == "YESTERDAY@20"; }, 5000));
    EXPECT_EQ(shown(), (QStringList{"YESTERDAY@20", "lunch", "13 JUN 2030@60", "breakfast"}));
    // Aimed at the next midnight again, but never more than the longest wait.
    EXPECT_TRUE(drawer->dayTimer().isActive());
    EXPECT_EQ(drawer->dayTimer().interval(), SidebarView::longestDayWaitMs);

    drawer->setOpen(false);
    EXPECT_FALSE(drawer->dayTimer().isActive());
    now = QDateTime(day.addDays(3), QTime(9, 0));
    drawer->setOpen(true);
    EXPECT_EQ(shown(), (QStringList{"14 JUN 2030@20", "lunch", "13 JUN 2030@60", "breakfast"}));
    EXPECT_EQ(drawer->dayTimer().interval(), SidebarView::longestDayWaitMs);
    now = QDateTime(day.addDays(3), QTime(23, 30));
    drawer->setClock([&now] { return now; });
    EXPECT_EQ(drawer->dayTimer().interval(), 30 * 60'000);
}

// The next day starts 23 or 25 hours away across a change of summer time,
// and at 01:00 where the change skips midnight (the zones are POSIX rules,
// so no time zone files are needed).
TEST(SidebarViewDays, NextDayAcrossSummerTime)
{
    const struct {
        const char* zone;
        QDate date;
        QTime time;
        qint64 msecs;
    } cases[] = {
        {"UTC0", {2024, 6, 1}, {23, 59, 59, 800}, 200},
        {"UTC0", {2024, 6, 1}, {0, 0}, 24 * 3'600'000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 3, 31}, {0, 0}, 23 * 3'600'000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 10, 27}, {0, 0}, 25 * 3'600'000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 10, 26}, {23, 0}, 3'600'000},
        {"<-03>3<-02>,M11.1.0/0,M2.3.0/0", {2018, 11, 3}, {23, 30}, 30 * 60'000},
        {"<-03>3<-02>,M11.1.0/0,M2.3.0/0", {2018, 11, 4}, {1, 0}, 23 * 3'600'000},
    };
    for (const auto& c : cases) {
        const ScopedEnvironment zone("TZ", c.zone);
        EXPECT_EQ(SidebarView::msecsToNextDay(QDateTime(c.date, c.time)), c.msecs)
            << c.zone << " " << c.date.toString(Qt::ISODate).toStdString();
    }
    // A time in a zone of its own counts in that zone, not the local one.
    EXPECT_EQ(SidebarView::msecsToNextDay(QDateTime(QDate(2024, 6, 1), QTime(22, 0), Qt::UTC)), 2 * 3'600'000);
}

TEST_F(SidebarViewTest, NoChatsAndNoQueryShowsNothing)
{
    open();
    EXPECT_TRUE(shown().isEmpty());
    drawer->openSearch();
    type("x");
    EXPECT_EQ(shown(), QStringList{"NO CHATS MATCH"});
}

TEST_F(SidebarViewTest, SearchButtonEmptiesAndRefocusesAndCloseRestoresAtOnce)
{
    add("alpha", 0);
    add("beta", 0);
    open();
    auto* elsewhere = new QLineEdit(&host);
    elsewhere->move(0, 850);
    elsewhere->show();
    for (int round = 1; round <= 2; ++round) {
        QTest::mouseClick(drawer->searchButton(), Qt::LeftButton);
        EXPECT_EQ(drawer->searchFocus(), round);
        ASSERT_TRUE(waitUntil([&] { return drawer->searchField()->hasFocus(); })) << "opening " << round;
        type("alp");
        EXPECT_EQ(shown(), (QStringList{"TODAY@20", "alpha"}));
        elsewhere->setFocus();
    }
    // Pressed while open: the same field, emptied and focused again.
    SidebarSearchField* field = drawer->searchField();
    QTest::mouseClick(drawer->searchButton(), Qt::LeftButton);
    EXPECT_EQ(drawer->searchField(), field);
    EXPECT_EQ(field->text(), "");
    EXPECT_TRUE(waitUntil([&] { return field->hasFocus(); }));
    type("bet");
    QTest::mouseClick(drawer->closeSearchButton(), Qt::LeftButton);
    EXPECT_FALSE(drawer->searchOpen());
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "alpha", "beta"}));
}

TEST_F(SidebarViewTest, RowsAreReusedByIdAndAnUnchangedListIsLeftAlone)
{
    const int64_t alpha = add("alpha", 0);
    const int64_t beta = add("beta", 1);
    open();
    SidebarRow* alphaRow = drawer->list()->rowWidget(alpha);
    SidebarRow* betaRow = drawer->list()->rowWidget(beta);
    ASSERT_TRUE(alphaRow && betaRow);
    const int changes = drawer->list()->changes();

    // Matches every row, or nothing at all changed: nothing is touched.
    drawer->openSearch();
    type("a");
    drawer->refresh();
    store.reload();
    EXPECT_EQ(drawer->list()->changes(), changes);

    type("bet");
    EXPECT_FALSE(alphaRow->isVisible());
    for (const ChatStore::Row& row : store.rows()) {
        if (row.id == beta)
            store.rename(row, "better");
    }
    type("");
    EXPECT_EQ(drawer->list()->changes(), changes + 3);
    EXPECT_EQ(drawer->list()->rowWidget(alpha), alphaRow);
    EXPECT_EQ(drawer->list()->rowWidget(beta), betaRow);
    EXPECT_EQ(betaRow->titleButton()->text(), "better");
    EXPECT_TRUE(alphaRow->isVisible());
    EXPECT_EQ(alphaRow->geometry(), QRect(SidebarList::leadingPadding, alphaRow->y(), SidebarRow::rowWidth, 41));
}

// Past inlineRows chats the list is built on the drawer's thread: a key
// returns before its list is there, a list for a query typed over is never
// shown, and changes to the rows meanwhile still reach the list and its
// row widgets.
TEST_F(SidebarViewTest, ALongListIsBuiltOffTheMainThreadForTheNewestQueryOnly)
{
    int64_t gnu = 0;
    int64_t zebra = 0;
    addLongList([&] {
        gnu = add("gnu", 0, false, "a zebra crossing");
        zebra = add("Zebra notes", 2);
    });
    open();
    ASSERT_TRUE(waitUntil([&] { return !drawer->building(); }));
    const QStringList all = shown();
    ASSERT_EQ(all.count(), SidebarView::inlineRows + 102 + 30);
    const int changes = drawer->list()->changes();

    drawer->openSearch();
    type("zeb");
    EXPECT_TRUE(drawer->building());
    EXPECT_EQ(drawer->list()->changes(), changes) << "the keys wait for no list";
    ASSERT_TRUE(waitUntil([&] { return !drawer->building(); }));
    EXPECT_EQ(drawer->shownQuery(), "zeb");
    const QString twoDaysAgo = ChatStore::dayHeading(QDate::currentDate().addDays(-2), QDate::currentDate());
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "gnu", twoDaysAgo + "@60", "Zebra notes"}));
    EXPECT_EQ(drawer->list()->changes(), changes + 1) << "no list for \"z\" or \"ze\"";

    // Our own writes while the list is built: the rename shows, and the row
    // widget of the chat deleted goes.
    ASSERT_TRUE(drawer->list()->rowWidget(gnu));
    ASSERT_EQ(store.rename(rowOf(zebra), "zebra, renamed"), ChatStore::Change::stored);
    ASSERT_EQ(store.remove(rowOf(gnu)), ChatStore::Change::stored);
    ASSERT_TRUE(waitUntil([&] { return !drawer->building(); }));
    EXPECT_EQ(shown().mid(1), QStringList{"zebra, renamed"});
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(drawer->list()->rowWidget(gnu));
}

// The same query built again while its list is still under way (here the
// message search's copy came in): the second list, equal to the first,
// leaves the list shown alone.
TEST_F(SidebarViewTest, AListBuiltAgainForTheSameQueryMeanwhileLeavesTheEqualListAlone)
{
    addLongList([&] { add("Zebra notes", 2); });
    HeldReads copy;
    db.setCopyReadHook(copy.hook());
    QSignalSpy renewed(&db, &ChatDatabase::searchRenewed);
    open();
    drawer->openSearch();
    ASSERT_TRUE(waitUntil([&] { return !drawer->building(); }));
    const int changes = drawer->list()->changes();

    HeldReads builds;
    drawer->setBuildHook(builds.hook());
    drawer->setQuery("zeb");
    ASSERT_TRUE(waitUntil([&] { return builds.reads == 1; }));
    copy.hold = false;
    ASSERT_TRUE(waitUntil([&] { return renewed.count() == 1; }, 10000));
    builds.hold = false;
    ASSERT_TRUE(waitUntil([&] { return !drawer->building(); }));
    EXPECT_EQ(builds.reads.load(), 2) << "both lists built";
    const QString twoDaysAgo = ChatStore::dayHeading(QDate::currentDate().addDays(-2), QDate::currentDate());
    EXPECT_EQ(shown(), (QStringList{twoDaysAgo + "@20", "Zebra notes"}));
    EXPECT_EQ(drawer->list()->changes(), changes + 1);
}

TEST_F(SidebarViewTest, OnlyRowsNearTheVisibleBandAreShownAndScrollingBringsTheRest)
{
    QList<int64_t> ids;
    for (int i = 0; i < 400; ++i)
        ids << add(QString("chat %1").arg(i), 0);
    open();
    const auto shownRows = [&] {
        int n = 0;
        for (auto* row : drawer->list()->findChildren<SidebarRow*>())
            n += row->isVisible();
        return n;
    };
    // A viewport of rows above and below the visible band, no more.
    const int band = drawer->scrollArea()->viewport()->height() / SidebarRow::rowHeight + 1;
    EXPECT_GT(shownRows(), band);
    EXPECT_LE(shownRows(), 3 * band);

    QScrollBar* bar = drawer->scrollArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    const auto& last = drawer->list()->entries().constLast();
    SidebarRow* row = drawer->list()->rowWidget(ids.last());
    ASSERT_TRUE(row && row->isVisible());
    EXPECT_EQ(row->geometry(), QRect(SidebarList::leadingPadding, last.y, SidebarRow::rowWidth, 41));
    EXPECT_EQ(bar->maximum() + drawer->scrollArea()->viewport()->height(), last.y + 41 + SidebarList::bottomPadding);
    EXPECT_LE(shownRows(), 3 * band);
}

TEST_F(SidebarViewTest, ActionsReachTheHostWithTheirRows)
{
    const int64_t alpha = add("alpha", 0);
    open();
    QStringList heard;
    QObject::connect(drawer, &SidebarView::onClose, [&] { heard << "close"; });
    QObject::connect(drawer, &SidebarView::onNewChat, [&] { heard << "new"; });
    QObject::connect(drawer, &SidebarView::onOpenModels, [&] { heard << "models"; });
    QObject::connect(drawer, &SidebarView::onOpenSettings, [&] { heard << "settings"; });
    QObject::connect(drawer, &SidebarView::onSelectChat, [&](const ChatStore::Row& r) { heard << "select " + r.title; });
    QObject::connect(drawer, &SidebarView::onRowMenu, [&](const ChatStore::Row& r) { heard << "menu " + r.title; });
    for (auto* button : drawer->findChildren<QAbstractButton*>()) {
        const QString name = button->accessibleName().isEmpty() ? button->text() : button->accessibleName();
        if (QStringList{"Hide sidebar", "NEW CHAT", "MODELS", "SETTINGS"}.contains(name))
            QTest::mouseClick(button, Qt::LeftButton);
    }
    SidebarRow* row = drawer->list()->rowWidget(alpha);
    QTest::mouseClick(row->titleButton(), Qt::LeftButton);
    sendEnter(row);
    QTest::mouseClick(row->moreButton(), Qt::LeftButton);
    heard.sort();
    EXPECT_EQ(heard, (QStringList{"close", "menu alpha", "models", "new", "select alpha", "settings"}));
}

TEST_F(SidebarViewTest, PartsLineUpOnTheColumn)
{
    const int64_t alpha = add("alpha", 0);
    open();
    drawer->openSearch();
    QCoreApplication::processEvents();
    const auto at = [&](QWidget* w) { return QRect(w->mapTo(drawer, QPoint()), w->size()); };
    QAbstractButton* newChat = nullptr;
    QList<QAbstractButton*> footer;
    for (auto* b : drawer->findChildren<QAbstractButton*>()) {
        if (b->text() == "NEW CHAT")
            newChat = b;
        if (qobject_cast<FooterRowButton*>(b))
            footer << b;
    }
    ASSERT_TRUE(newChat && footer.size() == 2);
    EXPECT_EQ(drawer->width(), 378);
    const QRect pill = at(drawer->closeSearchButton()->parentWidget());
    EXPECT_EQ(pill, QRect(48, at(drawer->searchButton()).bottom() + 1 + 10, 282, 38));
    EXPECT_EQ(at(newChat), QRect(48, pill.bottom() + 1 + 22, 282, 38));
    EXPECT_EQ(at(drawer->closeSearchButton()), QRect(48 + 282 - 38, pill.top(), 38, 38));
    EXPECT_EQ(at(drawer->searchField()).left(), 48 + 16);
    EXPECT_EQ(at(drawer->list()->rowWidget(alpha)).left() + SidebarRow::badgeWidth, 48);
    EXPECT_EQ(at(footer[0]).left(), 48);
    EXPECT_EQ(at(footer[0]).width(), 282);
    EXPECT_EQ(at(footer[1]).bottom() + 1 + 28, drawer->height());
    EXPECT_EQ(at(footer[1]).top() - at(footer[0]).bottom() - 1, 4);
    EXPECT_EQ(at(drawer->searchButton()).top(), 18);
}

TEST_F(SidebarViewTest, ARowRemovedByItsOwnClickGoesOnceTheClickReturned)
{
    const int64_t alpha = add("alpha", 0);
    add("beta", 0);
    open();
    QPointer<SidebarRow> row = drawer->list()->rowWidget(alpha);
    bool aliveInHandler = false;
    QObject::connect(drawer, &SidebarView::onRowMenu, [&](const ChatStore::Row& r) {
        db.run("DELETE FROM chats WHERE id=?", {r.id});
        store.reload();
        aliveInHandler = !row.isNull();
    });
    sendEnter(row);
    QTest::mouseClick(row->moreButton(), Qt::LeftButton);
    EXPECT_TRUE(aliveInHandler);
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "beta"}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(row.isNull());
    EXPECT_EQ(drawer->list()->rowWidget(alpha), nullptr);
}

// The product name is drawn whole on the drawer's label line (48 in, 12 from
// the drawer's edge): it shrinks as far as it must, never to an ellipsis, and
// keeps its full size where there is room.
TEST_F(SidebarViewTest, ProductNameFitsItsLineWhole)
{
    const QString name = QStringLiteral("CORVANTHELIS");
    open();
    auto* label = drawer->findChild<QWidget*>(QStringLiteral("cvn.sidebar.productName"));
    ASSERT_NE(label, nullptr);
    const qreal line = label->width() - SidebarView::columnInset - 12;
    EXPECT_EQ(line, SidebarView::drawerWidth - SidebarView::columnInset - 12);
    const QFontMetricsF metrics(label->font());
    EXPECT_LE(metrics.horizontalAdvance(name), line);
    EXPECT_EQ(metrics.elidedText(name, Qt::ElideRight, line), name);
    EXPECT_GE(label->font().pixelSize(), 24);

    host.resize(1000, 900);
    drawer->resize(host.size());
    QApplication::processEvents();
    EXPECT_EQ(label->font().pixelSize(), 40);
}

// While the drawer is closed (0 wide, still shown), a change of the list
// builds nothing; opening builds it as the store has it.
TEST_F(SidebarViewTest, AClosedDrawerBuildsNothingUntilItOpens)
{
    const int64_t alpha = add("alpha", 0);
    add("beta", 1);
    open();
    drawer->setOpen(false);
    const QStringList before = shown();
    const int changes = drawer->list()->changes();
    store.rename(rowOf(alpha), "renamed");
    add("gamma", 0);
    store.refresh({3});
    ASSERT_EQ(store.rows().size(), 3);
    EXPECT_EQ(drawer->list()->changes(), changes);
    EXPECT_EQ(shown(), before);

    drawer->setOpen(true);
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "renamed", "gamma", "YESTERDAY@60", "beta"}));
    EXPECT_EQ(drawer->list()->changes(), changes + 1);
}

// Opening the drawer over hundreds of chats on tens of days reads the time
// zone a few times in all, not once per chat (each read stats the zone
// file).
TEST_F(SidebarViewTest, OpeningReadsTheTimeZoneAFewTimesNotOncePerChat)
{
    for (int i = 0; i < 400; ++i)
        add(QString("chat %1").arg(i), i / 10);
    open(false);
    zoneReads = 0;
    drawer->setOpen(true);
    EXPECT_LE(zoneReads.load(), 10);
    EXPECT_EQ(drawer->list()->entries().size(), 400 + 40);
    EXPECT_EQ(shown().value(0), "TODAY@20");
    EXPECT_EQ(shown().value(11), "YESTERDAY@60");
}

// The open drawer follows what another program commits: the search text
// is matched against the chats as they are now, and every two seconds the
// list is read again while the window is the active one, not while another
// window is.
TEST_F(SidebarViewTest, TheOpenDrawerCatchesUpAtEachSearchAndEveryTwoSeconds)
{
    const int64_t alpha = add("alpha", 0);
    const int64_t bravo = add("bravo", 0);
    open();
    EXPECT_TRUE(drawer->catchUpTimer().isActive());
    EXPECT_EQ(drawer->catchUpTimer().interval(), SidebarView::catchUpIntervalMs);
    const ChatStore::Row old = rowOf(bravo);
    ChatDatabase other(db.path());
    // Bravo, which never held the word, goes; its id goes to a chat that does.
    ASSERT_TRUE(other.run("DELETE FROM chats WHERE id=?", {bravo}));
    ASSERT_TRUE(other.run("INSERT INTO chats(id, title, created_at, updated_at) VALUES(?, 'notes', ?, ?)",
                          {bravo, old.createdAt + 1, old.updatedAt}));
    ASSERT_GE(other.insertMessage(bravo, "user", "a zebra crossing"), 1);
    drawer->openSearch();
    type("zebra");
    // The rows come from the store's own thread.
    EXPECT_TRUE(waitUntil([&] { return shown() == QStringList{"TODAY@20", "notes"}; }));
    drawer->closeSearch();

    QWidget elsewhere;
    showAndSettle(elsewhere);
    QApplication::setActiveWindow(&elsewhere);
    ASSERT_TRUE(other.run("DELETE FROM chats WHERE id=?", {alpha}));
    QTest::qWait(SidebarView::catchUpIntervalMs + 500);
    EXPECT_EQ(shown(), (QStringList{"TODAY@20", "alpha", "notes"})) << "another window is the active one";
    QApplication::setActiveWindow(&host);
    EXPECT_TRUE(waitUntil([&] { return shown() == QStringList{"TODAY@20", "notes"}; },
                          SidebarView::catchUpIntervalMs + 1000));
    drawer->setOpen(false);
    EXPECT_FALSE(drawer->catchUpTimer().isActive());
}

// The day headings of a whole list are each row's own dayHeading, in zones
// with summer time at 02:00, at midnight (the day starting at 01:00), by
// half an hour and in the southern hemisphere, and for times outside the
// C library's usual range. The zones are POSIX rules, so no time zone files
// are needed; those installed are tried too.
TEST(SidebarViewDays, SectionsAreEachRowsOwnDayHeadingInEveryZone)
{
    ChatDatabase db(makeTempFolder() + "/chats.db");
    QList<int64_t> times = {-86400 * 3, -1,         0,          1,          86399,     86400 * 2 + 5,
                            2145743999, 2145916799, 2146000000, 2147300000, 2147483647, 4102444800};
    // Every 97 minutes through 2024, and every five minutes (with the
    // second before) of the days around the changes of the zones below in
    // 2024, and around the day Samoa skipped in 2011.
    for (int64_t t = 1704067200; t < 1735689600; t += 97 * 60)
        times << t;
    for (const QDate day : {QDate(2024, 3, 31), QDate(2024, 10, 27), QDate(2024, 4, 7), QDate(2024, 10, 6),
                            QDate(2024, 3, 10), QDate(2024, 11, 3), QDate(2024, 2, 18), QDate(2011, 12, 30)}) {
        const int64_t start = QDateTime(day, QTime(0, 0), Qt::UTC).toSecsSinceEpoch() - 86400;
        for (int64_t t = start; t < start + 3 * 86400; t += 300)
            times << t - 1 << t;
    }
    db.transaction([&] {
        for (const int64_t t : std::as_const(times)) {
            const int64_t id = db.insertChat("c", "m");
            db.run("UPDATE chats SET updated_at=? WHERE id=?", {t, id});
        }
        return true;
    });
    ChatStore store(db);
    ASSERT_EQ(store.rows().size(), times.size());

    QList<QByteArray> zones = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "<-03>3<-02>,M11.1.0/0,M2.3.0/0",
                               "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "<-0330>3:30<-0230>,M3.2.0/0:01,M11.1.0/0:01",
                               "EST5EDT,M3.2.0,M11.1.0"};
    for (const char* file : {"Europe/Berlin", "America/Sao_Paulo", "Australia/Lord_Howe", "Pacific/Apia",
                             "Asia/Kolkata", "America/St_Johns"}) {
        if (QFile::exists(QString("/usr/share/zoneinfo/") + file))
            zones << file;
    }
    for (const QByteArray& zone : std::as_const(zones)) {
        const ScopedEnvironment tz("TZ", zone);
        for (const QDateTime& now :
             {QDateTime(QDate(2024, 10, 28), QTime(0, 30)), QDateTime(QDate(2024, 3, 11), QTime(12, 0))}) {
            // Each row on its own, placed by a linear search of headings.
            QList<ChatStore::Section> expected;
            for (const ChatStore::Row& row : store.unpinnedRows()) {
                const QString heading = ChatStore::dayHeading(row.updatedAt, now);
                auto section = std::find_if(expected.begin(), expected.end(),
                                            [&](const ChatStore::Section& s) { return s.heading == heading; });
                if (section != expected.end())
                    section->rows.append(row);
                else
                    expected.append({heading, {row}});
            }
            const QList<ChatStore::Section> sections = store.sections(now);
            EXPECT_EQ(sections.size(), expected.size()) << zone.constData();
            EXPECT_TRUE(sections == expected) << zone.constData() << " " << now.toString(Qt::ISODate).toStdString();
        }
    }
}
