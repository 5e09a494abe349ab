// The chats drawer under a long history: 5,000 chats, typed into its search
// field one key at a time. Times each keystroke from the key event to the
// drawer's list repainted (filtering every row, the store's message search
// and the list update), first with no messages stored, so no content
// matches, then with 100,000 messages (about 400 bytes each, one in a
// hundred holding the word typed). Prints the median per keystroke.
//
// Then, at the same number of chats, what the list costs the main thread
// around a send, as the window has it: the drawer closed (0 wide), a turn
// stored into a chat that then moves to the top of the list, from the
// history's write to the list and the drawer up to date; and opening the
// drawer after such a turn, until it has laid out and painted its list.
// Each is the median of --rounds turns, each into another chat.
//
// With --other-writer it measures instead what another program committing
// once a second (another connection, from a thread of its own) costs the
// window with the drawer open: the longest stretch the main thread ran
// during ten seconds left alone, catching up every two seconds; then each
// key typed into the drawer's search while the other program goes on,
// from the key to a list for it drawn, the slowest of them.
//
// bench-sidebar [--chats N] [--messages N] [--rounds N] [--other-writer]
//
// The database lives in a temporary folder removed on exit.

#include "BenchTiming.h"
#include "MainThreadWatch.h"
#include "chat/sidebar/SidebarSearchField.h"
#include "chat/sidebar/SidebarView.h"
#include "storage/ChatDatabase.h"
#include "storage/ChatHistory.h"
#include "storage/ChatStore.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QKeyEvent>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <thread>
#include <vector>

using cvn::ChatDatabase;

namespace {

const QString kTyped = QStringLiteral("quetzal");

const char* const kWords[] = {"the", "model", "answer", "context", "token", "prompt", "window", "reply",
                              "memory", "layer", "Paris", "garden", "river", "Question", "thanks", "code",
                              "function", "value", "table", "über", "naïve", "café", "résumé", "日本"};
constexpr int kWordCount = int(std::size(kWords));

QString text(QRandomGenerator& random, int words, bool withTyped)
{
    QString out;
    const int at = withTyped ? random.bounded(words) : -1;
    for (int i = 0; i < words; ++i) {
        if (i)
            out += QLatin1Char(' ');
        out += i == at ? QStringLiteral("Quetzal") : QString::fromUtf8(kWords[random.bounded(kWordCount)]);
    }
    return out;
}

void addChats(ChatDatabase& db, int chats)
{
    QRandomGenerator random(11);
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    db.transaction([&] {
        for (int c = 0; c < chats; ++c) {
            const int64_t id = db.insertChat(text(random, 2 + random.bounded(4), random.bounded(200) == 0),
                                             QStringLiteral("model"));
            db.run(QStringLiteral("UPDATE chats SET updated_at=?, pinned=? WHERE id=?"),
                   {now - random.bounded(90 * 86400), c % 100 == 0 ? 1 : 0, id});
        }
        return true;
    });
}

void addMessages(ChatDatabase& db, int chats, int messages)
{
    QRandomGenerator random(7);
    db.transaction([&] {
        for (int m = 0; m < messages; ++m)
            db.insertMessage(1 + m % chats, m % 2 ? QStringLiteral("assistant") : QStringLiteral("user"),
                             text(random, 40 + random.bounded(60), random.bounded(100) == 0));
        return true;
    });
}

double elapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void key(QWidget* field, int code, const QString& text)
{
    QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, text);
    QApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, code, Qt::NoModifier, text);
    QApplication::sendEvent(field, &release);
}

// The drawer as the main window shuts and opens it: told first, then 0 or
// its whole width wide.
void setDrawerOpen(cvn::SidebarView& drawer, bool open)
{
    drawer.setOpen(open);
    drawer.setFixedWidth(open ? cvn::SidebarView::drawerWidth : 0);
}

// Opens the `round`th chat from the bottom of the list in `history`, as a
// click on its row does, and stores one more user turn into it: the chat
// moves to the top of the list. Times the store from the write on, with
// the events it posts; the milliseconds.
double storeTurn(cvn::ChatHistory& history, const cvn::ChatStore& store, int round)
{
    const qsizetype rows = store.rows().size();
    const cvn::ChatStore::Row row = store.rows().value(rows - 1 - round % qMax<qsizetype>(rows, 1));
    QList<cvn::Turn> turns = history.load(row.id, row.createdAt).value_or(QList<cvn::Turn>());
    cvn::Turn turn;
    turn.role = cvn::ChatMessage::Role::user;
    turn.content = QStringLiteral("one more question");
    turns.append(turn);
    QApplication::processEvents();
    const auto start = std::chrono::steady_clock::now();
    history.persist(turns, QStringLiteral("model"));
    QApplication::processEvents();
    return elapsedMs(start);
}

// A long list is built on the drawer's thread: a key counts until a list
// for the query it made is shown and painted.
void waitForList(const cvn::SidebarView& drawer)
{
    while (drawer.shownQuery() != drawer.activeQuery())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QApplication::processEvents();
}

// Types the word `rounds` times into a freshly emptied field; the time of
// each key until the drawer has repainted, in milliseconds.
std::vector<double> typeRounds(cvn::SidebarView& drawer, int rounds)
{
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        drawer.openSearch();
        QApplication::processEvents();
        for (const QChar c : kTyped) {
            const auto start = std::chrono::steady_clock::now();
            key(drawer.searchField(), Qt::Key_A + (c.toUpper().unicode() - 'A'), QString(c));
            QApplication::processEvents();
            waitForList(drawer);
            times.push_back(elapsedMs(start));
        }
    }
    return times;
}

// Another program writing the same file: once a second a message into a
// chat it picks, which then moves to the top of the list, committed
// through a connection of its own, until stopped.
class OtherWriter {
public:
    OtherWriter(const QString& path, int chats)
        : m_thread([this, path, chats] { run(path, chats); })
    {
    }
    ~OtherWriter()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run(const QString& path, int chats)
    {
        ChatDatabase db(path);
        QRandomGenerator random(5);
        while (!m_stop) {
            const int64_t chat = 1 + random.bounded(chats);
            db.transaction([&] {
                return db.insertMessage(chat, QStringLiteral("user"), text(random, 60, false)) > 0
                    && db.run(QStringLiteral("UPDATE chats SET updated_at=? WHERE id=?"),
                              {QDateTime::currentSecsSinceEpoch(), chat});
            });
            for (int i = 0; i < 20 && !m_stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// Runs the event loop for `ms` milliseconds.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The drawer open in the active window while another program commits.
void otherWriter(cvn::SidebarView& drawer, QWidget& window, const QString& path, int chats)
{
    QApplication::setActiveWindow(&window);
    OtherWriter writer(path, chats);
    runFor(500);
    cvn::bench::MainThreadWatch watch(cvn::bench::MainThreadWatch::Measure::stretches);
    runFor(10000);
    std::printf("catch-up with another writer, main thread: %.1f ms\n", watch.worstStretchMs());

    // A key about every 150 ms, the word typed again and again.
    drawer.openSearch();
    runFor(200);
    std::vector<double> keys;
    for (int round = 0; round < 8; ++round) {
        drawer.searchField()->setFocus();
        for (const QChar c : kTyped) {
            const auto start = std::chrono::steady_clock::now();
            key(drawer.searchField(), Qt::Key_A + (c.toUpper().unicode() - 'A'), QString(c));
            QApplication::processEvents();
            waitForList(drawer);
            keys.push_back(elapsedMs(start));
            runFor(150);
        }
        drawer.openSearch();
    }
    std::printf("search key with another writer: %.1f ms\n", *std::max_element(keys.begin(), keys.end()));
}

int positive(const QCommandLineParser& parser, const QString& name, int fallback)
{
    if (!parser.isSet(name))
        return fallback;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < 1) {
        std::fprintf(stderr, "bench-sidebar: --%s needs a whole number above 0, not \"%s\"\n", qPrintable(name),
                     qPrintable(parser.value(name)));
        std::exit(2);
    }
    return value;
}

// Offscreen Qt warns about its runtime folder; that line would hide ours.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("XDG_RUNTIME_DIR")) || message.contains(QLatin1String("propagateSizeHints")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    previousHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the chats drawer's search, per keystroke, over a large history, then what a stored turn "
                       "and opening the drawer cost the main thread."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("chats"), QStringLiteral("Chats in the list (default 5000)."), QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("messages"), QStringLiteral("Messages for the content search (default 100000)."), QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("rounds"), QStringLiteral("Times the word is typed per measure, and turns stored (default 5)."),
         QStringLiteral("N")});
    parser.addOption({QStringLiteral("other-writer"),
                      QStringLiteral("Instead: what another program committing once a second costs the open drawer.")});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "bench-sidebar: unexpected argument \"%s\"\n", qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    const int chats = positive(parser, QStringLiteral("chats"), 5000);
    const int messages = positive(parser, QStringLiteral("messages"), 100000);
    const int rounds = positive(parser, QStringLiteral("rounds"), 5);

    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "bench-sidebar: cannot make a temporary folder: %s\n", qPrintable(folder.errorString()));
        return 1;
    }
    ChatDatabase db(QDir(folder.path()).filePath(QStringLiteral("chats.db")));
    if (!db.isOpen()) {
        std::fprintf(stderr, "bench-sidebar: cannot open a database in %s\n", qPrintable(folder.path()));
        return 1;
    }
    addChats(db, chats);
    if (parser.isSet(QStringLiteral("other-writer")))
        addMessages(db, chats, messages);
    cvn::ChatStore store(db);

    QWidget window;
    window.resize(cvn::SidebarView::drawerWidth, 900);
    cvn::SidebarView drawer(store, &window);
    drawer.resize(window.size());
    window.show();
    setDrawerOpen(drawer, true);
    QApplication::processEvents();

    if (parser.isSet(QStringLiteral("other-writer"))) {
        otherWriter(drawer, window, db.path(), chats);
        return 0;
    }

    const double plain = cvn::bench::median(typeRounds(drawer, rounds));
    std::printf("chats %d, %lld keystrokes per measure\n", chats, static_cast<long long>(rounds * kTyped.size()));
    std::printf("keystroke without content search %.2f\n", plain);

    addMessages(db, chats, messages);
    store.reload();
    const double withContent = cvn::bench::median(typeRounds(drawer, rounds));
    std::printf("messages %d\n", messages);
    std::printf("keystroke with content search %.2f\n", withContent);

    // A send with the drawer closed, then the drawer opened after one.
    drawer.closeSearch();
    setDrawerOpen(drawer, false);
    QApplication::processEvents();
    cvn::ChatHistory history(db, store);
    std::vector<double> closed;
    std::vector<double> opened;
    for (int r = 0; r < rounds; ++r) {
        closed.push_back(storeTurn(history, store, 2 * r));
        storeTurn(history, store, 2 * r + 1);
        const auto start = std::chrono::steady_clock::now();
        setDrawerOpen(drawer, true);
        drawer.repaint();
        QApplication::processEvents();
        opened.push_back(elapsedMs(start));
        setDrawerOpen(drawer, false);
        QApplication::processEvents();
    }
    std::printf("stored turn, drawer closed: %.2f ms\n", cvn::bench::median(closed));
    std::printf("drawer opened: %.2f ms\n", cvn::bench::median(opened));
    return 0;
}
