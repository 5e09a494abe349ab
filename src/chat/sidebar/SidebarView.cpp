#include "chat/sidebar/SidebarView.h"

#include "chat/sidebar/SidebarList.h"
#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "platform/MainThread.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/Icons.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QThread>
#include <QTimeZone>
#include <QVBoxLayout>
#include <QtMath>

#include <algorithm>
#include <thread>
#include <vector>

namespace cvn {

namespace {

constexpr int kHeaderTop = 18;
constexpr int kHeaderTrailing = 28;
constexpr int kHeaderSpacing = 2;
constexpr int kLabelTop = 4;
constexpr int kLabelTrailing = 12;
constexpr int kPillTop = 10;
constexpr int kFieldLeading = 16;
constexpr int kNewChatTop = 22;
constexpr int kFooterTop = 16;
constexpr int kFooterBottom = 28;
constexpr int kFooterSpacing = 4;

const QString kProductName = QStringLiteral("CORVANTHELIS");

// "CORVANTHELIS" on one line, starting on the drawer's column.
class ProductLabel : public QWidget {
public:
    explicit ProductLabel(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("cvn.sidebar.productName"));
        setFont(Theme::interRegular40());
        setFixedHeight(kLabelTop + qCeil(QFontMetricsF(Theme::interRegular40()).height()));
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    QRectF line() const
    {
        return {qreal(SidebarView::columnInset), qreal(kLabelTop),
                qreal(width() - SidebarView::columnInset - kLabelTrailing), qreal(height() - kLabelTop)};
    }
    void resizeEvent(QResizeEvent*) override { setFont(SidebarView::productNameFont(line().width())); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setPen(Theme::surface());
        Theme::drawElidedLine(painter, line(), font(), kProductName);
    }
};

// A name cut short reads as a different name; it shrinks a little instead.
constexpr int kSmallestNamePixels = 24;

// Runs `work` over [0, count) in a few parts at once, each on a thread of
// its own but the first, when there is enough to share; returns when all
// are done.
template <typename Work>
void forEachPart(size_t count, const Work& work)
{
    constexpr size_t smallestPart = 16384;
    const size_t parts = std::clamp<size_t>(count / smallestPart, 1, size_t(std::clamp(QThread::idealThreadCount(), 1, 4)));
    std::vector<std::thread> threads;
    threads.reserve(parts - 1);
    for (size_t part = 1; part < parts; ++part)
        threads.emplace_back([&work, from = count * part / parts, to = count * (part + 1) / parts] { work(from, to); });
    work(0, count / parts);
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace

QFont SidebarView::productNameFont(qreal width)
{
    QFont font = Theme::interRegular40();
    while (font.pixelSize() > kSmallestNamePixels && QFontMetricsF(font).horizontalAdvance(kProductName) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

namespace {

// The pill's close button: the × centred in 38 by 38, all of it clickable,
// nothing drawn for the press.
class PillCloseButton : public QAbstractButton {
public:
    explicit PillCloseButton(QWidget* parent) : QAbstractButton(parent)
    {
        setFixedSize(SidebarView::pillHeight, SidebarView::pillHeight);
        setFocusPolicy(Qt::NoFocus);
        setToolTip(QStringLiteral("Close search"));
        setAccessibleName(QStringLiteral("Close search"));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QSizeF glyph(SearchCloseGlyph::naturalSize);
        SearchCloseGlyph::paint(painter, QRectF(QPointF((width() - glyph.width()) / 2, (height() - glyph.height()) / 2),
                                                glyph));
    }
};

// The search pill: an ink capsule with a grey hairline inside its edge.
class SearchPill : public QWidget {
public:
    explicit SearchPill(QWidget* parent) : QWidget(parent)
    {
        setFixedSize(SidebarView::columnWidth, SidebarView::pillHeight);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds(rect());
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::ink());
        painter.drawRoundedRect(bounds, SidebarView::pillRadius, SidebarView::pillRadius);
        Theme::strokeInside(painter, bounds, SidebarView::pillRadius, Theme::neutralGrey());
    }
};

QWidget* padded(QWidget* child, QMargins margins, QWidget* parent, Qt::Alignment alignment = {})
{
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(margins);
    layout->setSpacing(0);
    layout->addWidget(child, 0, alignment);
    return box;
}

} // namespace

SidebarView::SidebarView(ChatStore& chats, QWidget* parent)
    : QWidget(parent), m_chats(chats), m_clock(&QDateTime::currentDateTime)
{
    setFixedWidth(drawerWidth);
    // A coarse timer may fire minutes early on a wait of hours.
    m_dayTimer.setSingleShot(true);
    m_dayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_dayTimer, &QTimer::timeout, this, [this] {
        // Early (the clock was set back) or on time, the day decides.
        refresh();
        armDayTimer();
    });
    m_catchUpTimer.setInterval(catchUpIntervalMs);
    connect(&m_catchUpTimer, &QTimer::timeout, this, [this] {
        if (!isActiveWindow())
            return;
        // Only a read made at once (the first) has changed the rows by now;
        // those read on the store's thread come with rowsChanged.
        if (catchUp())
            refresh();
    });
    Theme::repaintOnAppearanceChange(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(0, kHeaderTop, kHeaderTrailing, 0);
    header->setSpacing(kHeaderSpacing);
    header->addStretch(1);
    m_searchButton = new CvnIconButton(new SearchIcon, this);
    m_searchButton->setToolTip(QStringLiteral("Search chats"));
    m_searchButton->setAccessibleName(QStringLiteral("Search chats"));
    auto* hideButton = new CvnIconButton(new DrawerOpenIcon, this);
    hideButton->setToolTip(QStringLiteral("Hide sidebar"));
    hideButton->setAccessibleName(QStringLiteral("Hide sidebar"));
    header->addWidget(m_searchButton, 0, Qt::AlignVCenter);
    header->addWidget(hideButton, 0, Qt::AlignVCenter);
    layout->addLayout(header);

    m_titleArea = new QVBoxLayout;
    m_titleArea->setContentsMargins(0, 0, 0, 0);
    m_titleArea->setSpacing(0);
    m_productLabel = new ProductLabel(this);
    m_titleArea->addWidget(m_productLabel);
    layout->addLayout(m_titleArea);

    auto* newChat = new CvnSelectedPillButton(QStringLiteral("NEW CHAT"), this);
    newChat->setFixedWidth(columnWidth);
    layout->addWidget(padded(newChat, {columnInset, kNewChatTop, columnInset, 0}, this, Qt::AlignLeft));

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->setWidgetResizable(false);
    m_scroll->setAutoFillBackground(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    ScrollBars::styleScrollBars(m_scroll);
    m_list = new SidebarList;
    m_scroll->setWidget(m_list);
    // setWidget turns the fill on; the drawer's ink shows through instead.
    m_list->setAutoFillBackground(false);
    m_list->attachTo(m_scroll->viewport());
    layout->addWidget(m_scroll, 1);

    auto* footer = new QWidget(this);
    auto* footerLayout = new QVBoxLayout(footer);
    footerLayout->setContentsMargins(columnInset, kFooterTop, columnInset, kFooterBottom);
    footerLayout->setSpacing(kFooterSpacing);
    auto* models = new FooterRowButton(QStringLiteral("MODELS"), footer);
    auto* settings = new FooterRowButton(QStringLiteral("SETTINGS"), footer);
    footerLayout->addWidget(models);
    footerLayout->addWidget(settings);
    layout->addWidget(footer);

    connect(m_searchButton, &QAbstractButton::clicked, this, &SidebarView::openSearch);
    connect(hideButton, &QAbstractButton::clicked, this, &SidebarView::onClose);
    connect(newChat, &QAbstractButton::clicked, this, &SidebarView::onNewChat);
    connect(models, &QAbstractButton::clicked, this, &SidebarView::onOpenModels);
    connect(settings, &QAbstractButton::clicked, this, &SidebarView::onOpenSettings);
    connect(m_list, &SidebarList::rowSelected, this, &SidebarView::onSelectChat);
    connect(m_list, &SidebarList::rowMenu, this, &SidebarView::onRowMenu);
    connect(&m_chats, &ChatStore::matchesChanged, this, [this] {
        if (!activeQuery().isEmpty())
            refresh();
    });
    connect(&m_chats, &ChatStore::rowsChanged, this, [this] {
        // Closed, nothing is built: opening builds it all.
        m_store.reset();
        m_widgetsStale = true;
        ++m_rowsVersion;
        if (m_refreshLater)
            m_rowsChangedMeanwhile = true;
        else
            refresh();
    });
    refresh();
}

QWidget* SidebarView::makePill()
{
    auto* pill = new SearchPill(nullptr);
    m_field = new SidebarSearchField(m_query, pill);
    const int fieldHeight = m_field->sizeHint().height();
    m_field->setGeometry(kFieldLeading, (pillHeight - fieldHeight) / 2, columnWidth - kFieldLeading - pillHeight,
                         fieldHeight);
    m_closeButton = new PillCloseButton(pill);
    m_closeButton->move(columnWidth - pillHeight, 0);
    connect(m_field, &SidebarSearchField::queryEdited, this, &SidebarView::setQuery);
    connect(m_closeButton, &QAbstractButton::clicked, this, &SidebarView::closeSearch);
    return padded(pill, {columnInset, kPillTop, 0, 0}, this, Qt::AlignLeft);
}

void SidebarView::openSearch()
{
    if (!m_searchOpen) {
        m_searchOpen = true;
        m_productLabel->hide();
        m_pill = makePill();
        m_titleArea->addWidget(m_pill);
    }
    setQuery(QString());
    ++m_searchFocus;
    m_field->setFocusToken(m_searchFocus);
}

void SidebarView::closeSearch()
{
    setQuery(QString());
    if (!m_searchOpen)
        return;
    m_searchOpen = false;
    // The field goes with its pill; a later opening makes a new one. The
    // close button may be the one calling: it goes once it has returned.
    m_pill->hide();
    m_pill->deleteLater();
    m_pill = nullptr;
    m_field = nullptr;
    m_closeButton = nullptr;
    m_productLabel->show();
    refresh();
}

void SidebarView::setQuery(const QString& query)
{
    m_query = query;
    if (m_field)
        m_field->setQuery(query);
    // Searched against the chats as they are, not as last read.
    if (m_open)
        catchUp();
    refresh();
}

bool SidebarView::catchUp()
{
    const QScopedValueRollback later(m_refreshLater, true);
    m_rowsChangedMeanwhile = false;
    m_chats.catchUp();
    return m_rowsChangedMeanwhile;
}

QString SidebarView::activeQuery() const
{
    return m_searchOpen ? m_query.trimmed() : QString();
}

void SidebarView::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock(&QDateTime::currentDateTime);
    m_store.reset();
    refresh();
    if (m_open)
        armDayTimer();
}

void SidebarView::setOpen(bool open)
{
    if (open == m_open)
        return;
    if (!open) {
        m_open = false;
        m_dayTimer.stop();
        m_catchUpTimer.stop();
        return;
    }
    // What another program committed while the drawer was shut shows now.
    catchUp();
    // The first key typed into the search then finds the message text in
    // memory, instead of waiting while it is read.
    m_chats.database().prepareSearch();
    m_open = true;
    m_store.reset();
    refresh();
    armDayTimer();
    m_catchUpTimer.start();
}

qint64 SidebarView::msecsToNextDay(const QDateTime& now)
{
    // Not QDateTime(date, 00:00): where summer time starts at midnight, that
    // moment does not exist and the result is invalid.
    const QDate next = now.date().addDays(1);
    // The offset counts only for a time at a fixed offset; Qt warns of one
    // passed with local time.
    const int offset = now.timeSpec() == Qt::OffsetFromUTC ? now.offsetFromUtc() : 0;
    const QDateTime start = now.timeSpec() == Qt::TimeZone ? next.startOfDay(now.timeZone())
                                                            : next.startOfDay(now.timeSpec(), offset);
    return now.msecsTo(start);
}

void SidebarView::armDayTimer()
{
    const qint64 wait = msecsToNextDay(m_clock());
    m_dayTimer.start(int(std::clamp<qint64>(wait, 1, longestDayWaitMs)));
}

void SidebarView::refresh()
{
    if (!m_open)
        return;
    BuildInput input;
    input.query = activeQuery();
    // The index and the messages are read here; a scan of the messages in
    // memory is left to the build. First, since indexing may reopen the
    // database and read the list again, which refreshes on its own.
    if (!input.query.isEmpty())
        input.search = m_chats.database().startSearch(input.query);
    input.number = ++m_builds;
    input.rowsVersion = m_rowsVersion;
    if (input.query != m_builtQuery) {
        m_builtQuery = input.query;
        m_queryBuild = input.number;
    }
    input.now = m_clock();
    input.rows = m_chats.rows();
    if (!m_store || m_store->today != input.now.toLocalTime().date())
        m_store = m_chats.readyLists(input.now);
    input.lists = m_store;
    input.shown = m_list->entries();
    input.shownBuild = m_shownBuild;
    input.lineHeight = SidebarList::lineHeight();
    if (m_widgetsStale)
        input.widgetIds = m_list->rowWidgetIds();

    const bool longList = input.rows.size() > inlineRows
        || (input.search && input.search->pendingBytes() > inlineSearchBytes);
    // A build under way for an earlier query stops.
    m_posted->newest.store(input.number);
    m_posted->newestQuery.store(m_queryBuild);
    if (!longList) {
        showBuilt(*build(input, nullptr, nullptr), false);
        return;
    }
    if (!m_builder)
        m_builder = std::make_unique<SerialQueue>(QStringLiteral("chats drawer"), QStringLiteral("cvn-drawer"));
    m_builder->async([self = QPointer(this), posted = m_posted, last = m_lastBuilt, hook = m_buildHook,
                      input = std::move(input)] {
        // Overtaken before it began: the newer build follows at once.
        if (posted->newest.load() != input.number)
            return;
        std::optional<Built> made = build(input, posted.get(), last.get());
        if (!made)
            return;
        if (hook)
            hook();
        auto built = std::make_shared<Built>(std::move(*made));
        runOnMain([self, built] {
            if (self)
                self->showBuilt(std::move(*built), true);
        });
    });
}

std::optional<SidebarView::Built> SidebarView::build(const BuildInput& input, const Posted* posted, LastBuilt* last)
{
    const auto overtaken = [&] {
        return posted && posted->newestQuery.load(std::memory_order_relaxed) > input.number;
    };
    Built built;
    built.number = input.number;
    built.rowsVersion = input.rowsVersion;
    built.query = input.query;
    built.lists = input.lists ? *input.lists : ChatStore::listsOf(input.rows, input.now);
    if (input.widgetIds) {
        // Only a few rows have widgets: the rows are looked through for
        // those, not made a set.
        QSet<int64_t> gone(input.widgetIds->cbegin(), input.widgetIds->cend());
        for (qsizetype i = 0; i < input.rows.size() && !gone.isEmpty(); ++i)
            gone.remove(input.rows[i].id);
        built.gone = std::move(gone);
    }

    // Every row in the order shown, and whether the query keeps it.
    std::vector<const ChatStore::Row*> order;
    qsizetype headings = built.lists.sections.size() + 1;
    order.reserve(size_t(input.rows.size()));
    for (const ChatStore::Row& row : std::as_const(built.lists.pinned))
        order.push_back(&row);
    for (const ChatStore::Section& section : std::as_const(built.lists.sections)) {
        for (const ChatStore::Row& row : section.rows)
            order.push_back(&row);
    }
    const QString& query = input.query;
    std::vector<char> kept;
    if (!query.isEmpty()) {
        kept.resize(order.size());
        const auto filter = [&](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i) {
                // The query changed meanwhile: what this finds is not wanted.
                if (i % 1024 == 0 && overtaken())
                    return;
                const ChatStore::Row& row = *order[i];
                kept[i] = row.title.contains(query, Qt::CaseInsensitive)
                    || (input.search && input.search->matches(row.id));
            }
        };
        forEachPart(order.size(), filter);
        if (overtaken())
            return std::nullopt;
    }

    // A heading comes with the first of its rows shown, and only the first
    // heading sits close to the top.
    QList<SidebarList::Entry>& entries = built.entries;
    entries.reserve(qsizetype(order.size()) + headings + 1);
    size_t next = 0;
    const auto addRows = [&](const QString& heading, const QList<ChatStore::Row>& rows) {
        bool headed = false;
        for (const ChatStore::Row& row : rows) {
            if (!kept.empty() && !kept[next++])
                continue;
            if (!headed) {
                entries.append(SidebarList::heading(heading, entries.isEmpty()));
                headed = true;
            }
            entries.append(SidebarList::rowEntry(row));
        }
    };
    addRows(QStringLiteral("PINNED"), built.lists.pinned);
    for (const ChatStore::Section& section : std::as_const(built.lists.sections))
        addRows(section.heading, section.rows);
    if (entries.isEmpty() && !query.isEmpty())
        entries.append(SidebarList::noMatch());
    built.contentHeight = SidebarList::layOut(entries, input.lineHeight);
    if (overtaken())
        return std::nullopt;
    if (entries == input.shown)
        built.sameAs.append(input.shownBuild);
    // A list built here since the main thread took `shown` (the same query
    // asked again while it was under way) is the one shown by the time this
    // comes, unless it was dropped; compared with `shown` alone, an equal
    // list would be taken again.
    if (last) {
        if (last->number > input.shownBuild && entries == last->entries)
            built.sameAs.append(last->number);
        *last = {built.number, entries};
    }
    return built;
}

void SidebarView::showBuilt(Built built, bool onBuilder)
{
    if (built.number <= m_shownBuild || built.number < m_queryBuild)
        return; // a newer list is shown already, or the query changed
    const bool same = built.sameAs.contains(m_shownBuild);
    m_shownBuild = built.number;
    m_shownQuery = built.query;
    // Lists of rows since replaced are shown until the newer ones come, and
    // kept only while the rows are those they came from.
    if (built.rowsVersion == m_rowsVersion) {
        m_store = std::move(built.lists);
        if (built.gone)
            m_widgetsStale = false;
    }
    if (built.gone)
        m_list->dropRowsOf(*built.gone);
    QList<SidebarList::Entry> unused = same ? std::move(built.entries)
                                            : m_list->takeEntries(std::move(built.entries), built.contentHeight);
    // Freeing a long list takes a while too.
    if (onBuilder && m_builder)
        m_builder->async([unused = std::move(unused)] {});
}

void SidebarView::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Theme::ink());
}

void SidebarView::showEvent(QShowEvent* event)
{
    // The day headings move on at midnight while the drawer is hidden.
    QWidget::showEvent(event);
    refresh();
}

} // namespace cvn
