// The chat database at the size of a long-used install: by default 10,000
// chats with 100,000 messages (about 400 bytes each, one in a hundred holding
// the word searched for). Times opening, listing the chats, reloading the
// sidebar's rows and searching message text, and for the list and the search
// the ratio against the same work done with bare sqlite3 calls in this binary
// (for the search: "SELECT chat_id FROM messages WHERE instr(lower(content), ?)",
// a scan of every message). Each pair of sides alternates which runs first.
// Then the content search as the sidebar runs it on each keystroke, for
// queries of one, two and more characters, common and rare, in and beyond
// ASCII: the per-query time of ours and of the bare scan; then a query right
// after a message is written, and the first search of a new connection
// (which reads the folded copy kept in memory). Also the chat list as it is
// read after a message is stored (only that chat's row read again and put
// into its place), and how long a write takes to give up while another
// process holds the write lock, on the application's own connection.
//
// bench-storage [--chats N] [--messages N] [--iterations N] [--folder DIR]
//
// The database is written into a new temporary folder inside DIR (default:
// the system's temporary folder), removed at the end. Each figure is the
// median (and, for searches, the minimum) of the iterations (default 9) with
// a warm page cache.

#include "BenchTiming.h"
#include "storage/ChatDatabase.h"
#include "storage/ChatStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

using cvn::ChatDatabase;

using cvn::bench::median;

namespace {

const QString kNeedle = QStringLiteral("quetzal");

const char* const kWords[] = {"the", "model", "answer", "context", "token", "prompt", "window", "reply",
                              "memory", "layer", "Paris", "garden", "river", "Question", "thanks", "code",
                              "function", "value", "table", "über", "naïve", "café", "résumé", "日本"};

const char* const usage =
    "usage: bench-storage [--chats N] [--messages N] [--iterations N] [--folder DIR]\n"
    "       bench-storage [ITERATIONS] [FOLDER]   (the older form)\n"
    "  --chats N        chats in the database (default 10000)\n"
    "  --messages N     messages, spread evenly over the chats (default 100000)\n"
    "  --iterations N   timed runs per figure (default 9)\n"
    "  --folder DIR     where the temporary database folder goes (default: the system's)\n";

QString messageText(QRandomGenerator& random, bool withNeedle)
{
    QString text;
    const int words = 40 + random.bounded(60);
    const int needleAt = withNeedle ? random.bounded(words) : -1;
    for (int i = 0; i < words; ++i) {
        if (i)
            text += QLatin1Char(' ');
        text += i == needleAt ? QStringLiteral("Quetzal") : QString::fromUtf8(kWords[random.bounded(24)]);
    }
    return text;
}

void fill(ChatDatabase& db, int chats, int64_t messages)
{
    QRandomGenerator random(7);
    int64_t written = 0;
    // Commits of a thousand chats keep the write-ahead log small.
    for (int first = 0; first < chats; first += 1000) {
        db.transaction([&] {
            for (int c = first; c < std::min(chats, first + 1000); ++c) {
                const int64_t chat = db.insertChat(QStringLiteral("Chat number %1").arg(c), QStringLiteral("model"));
                db.run(QStringLiteral("UPDATE chats SET updated_at=?, pinned=? WHERE id=?"),
                       {1700000000 + random.bounded(10000000), c % 50 == 0 ? 1 : 0, chat});
                const int64_t upTo = messages * (c + 1) / chats;
                for (int m = 0; written < upTo; ++m, ++written) {
                    const bool reply = m % 2 == 1;
                    const bool reasoning = reply && random.bounded(10) == 0;
                    db.insertMessage(chat, reply ? QStringLiteral("assistant") : QStringLiteral("user"),
                                     messageText(random, random.bounded(100) == 0),
                                     reply ? ChatDatabase::Value("Qwen") : ChatDatabase::Value::null(),
                                     reasoning ? ChatDatabase::Value("thinking it over") : ChatDatabase::Value::null(),
                                     reasoning ? ChatDatabase::Value(1200) : ChatDatabase::Value::null());
                }
            }
            return true;
        });
    }
}

// What a caller without our layer would write: the same list query, every
// column copied out.
struct BareChat {
    int64_t id, createdAt, updatedAt;
    std::string title, modelId;
    bool pinned, council, reasoning;
};

std::string textOf(sqlite3_stmt* s, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return text ? std::string(text, size_t(sqlite3_column_bytes(s, column))) : std::string();
}

std::vector<BareChat> bareList(sqlite3* db)
{
    static const char* const sql =
        "SELECT c.id, c.title, c.model_id, c.created_at, c.updated_at, c.pinned, c.is_council,\n"
        "    (SELECT COUNT(*) FROM messages m WHERE m.chat_id = c.id\n"
        "        AND (m.reasoning IS NOT NULL OR m.content LIKE '%<think>%'\n"
        "             OR m.content LIKE '%</think>%')) AS has_reasoning\n"
        "FROM chats c ORDER BY c.pinned DESC, c.updated_at DESC, c.id DESC";
    std::vector<BareChat> chats;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        chats.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 3), sqlite3_column_int64(s, 4),
                         textOf(s, 1), textOf(s, 2), sqlite3_column_int64(s, 5) != 0,
                         sqlite3_column_int64(s, 6) != 0, sqlite3_column_int64(s, 7) != 0});
    }
    sqlite3_finalize(s);
    return chats;
}

std::unordered_set<int64_t> bareSearch(sqlite3* db, const std::string& needle)
{
    std::unordered_set<int64_t> hits;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT chat_id FROM messages WHERE instr(lower(content), ?)", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, needle.data(), int(needle.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW)
        hits.insert(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    return hits;
}

double timeMs(const auto& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Pair {
    std::vector<double> ours, bare;
};

// Both sides `iterations` times, taking turns at going first.
Pair alternate(int iterations, const auto& ours, const auto& bare)
{
    Pair times;
    for (int i = 0; i < iterations; ++i) {
        if (i % 2 == 0) {
            times.ours.push_back(timeMs(ours));
            times.bare.push_back(timeMs(bare));
        } else {
            times.bare.push_back(timeMs(bare));
            times.ours.push_back(timeMs(ours));
        }
    }
    return times;
}

double minimum(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

bool positiveNumber(const QString& text, int64_t* value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int64_t chats = 10000;
    int64_t messages = 100000;
    int64_t iterations = 9;
    QString folder = QDir::tempPath();
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        // The older form, "bench-storage [iterations] [folder]", still works.
        if (!arg.startsWith(QLatin1Char('-')) && i < 2) {
            bool number = false;
            arg.toLongLong(&number);
            if (number && i == 0) {
                if (!positiveNumber(arg, &iterations) || iterations > 10000) {
                    std::fprintf(stderr, "bench-storage: iterations must be a positive number, not \"%s\"\n",
                                 qPrintable(arg));
                    return 2;
                }
                continue;
            }
            if (!number) {
                folder = arg;
                continue;
            }
        }
        const bool takesValue = arg == QLatin1String("--chats") || arg == QLatin1String("--messages") ||
                                arg == QLatin1String("--iterations") || arg == QLatin1String("--folder");
        if (!takesValue) {
            std::fprintf(stderr, "bench-storage: unknown option %s (see --help)\n", qPrintable(arg));
            return 2;
        }
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "bench-storage: %s needs a value\n", qPrintable(arg));
            return 2;
        }
        const QString value = args[++i];
        bool ok = true;
        if (arg == QLatin1String("--chats"))
            ok = positiveNumber(value, &chats) && chats <= 100000000;
        else if (arg == QLatin1String("--messages"))
            ok = positiveNumber(value, &messages);
        else if (arg == QLatin1String("--iterations"))
            ok = positiveNumber(value, &iterations) && iterations <= 10000;
        else
            folder = value;
        if (!ok) {
            std::fprintf(stderr, "bench-storage: %s takes a positive number, not \"%s\"\n", qPrintable(arg),
                         qPrintable(value));
            return 2;
        }
    }
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "bench-storage: %s is not a folder\n", qPrintable(folder));
        return 1;
    }
    QTemporaryDir temporary(folder + QStringLiteral("/bench-storage-XXXXXX"));
    if (!temporary.isValid()) {
        std::fprintf(stderr, "bench-storage: cannot create a folder in %s\n", qPrintable(folder));
        return 1;
    }
    const QString path = temporary.filePath(QStringLiteral("bench-chats.db"));
    const int runs = int(iterations);

    {
        ChatDatabase db(path);
        if (!db.isOpen()) {
            std::fprintf(stderr, "bench-storage: cannot open %s\n", qPrintable(path));
            return 1;
        }
        std::printf("writing %lld chats with %lld messages to %s ...\n", static_cast<long long>(chats),
                    static_cast<long long>(messages), qPrintable(path));
        std::fflush(stdout);
        const double fillMs = timeMs([&] { fill(db, int(chats), messages); });
        std::printf("written in %.1f s\n", fillMs / 1000);
    }

    std::vector<double> opens;
    for (int i = 0; i < runs; ++i)
        opens.push_back(timeMs([&] { ChatDatabase db(path); }));
    ChatDatabase db(path);
    sqlite3* bare = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &bare, SQLITE_OPEN_READONLY, nullptr);

    size_t listed = 0;
    size_t bareListed = 0;
    const Pair list = alternate(
        runs, [&] { listed = size_t(db.listChats().size()); }, [&] { bareListed = bareList(bare).size(); });

    cvn::ChatStore store(db);
    std::vector<double> reloads;
    for (int i = 0; i < runs; ++i)
        reloads.push_back(timeMs([&] { store.reload(); }));

    // A message stored into the first listed chat, then the list as it is
    // read after that write.
    const int64_t writtenChat = store.rows().isEmpty() ? 0 : store.rows().first().id;
    std::vector<double> refreshes;
    for (int i = 0; i < runs; ++i) {
        db.insertMessage(writtenChat, QStringLiteral("user"), QStringLiteral("one more"));
        refreshes.push_back(timeMs([&] { store.refresh({writtenChat}); }));
    }

    // Another process holding the write lock, as a backup tool does.
    std::vector<double> lockedWrites;
    {
        ChatDatabase appDb(path, ChatDatabase::mainThreadBusyTimeoutMs);
        sqlite3* holder = nullptr;
        sqlite3_open_v2(QFile::encodeName(path).constData(), &holder, SQLITE_OPEN_READWRITE, nullptr);
        if (sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "bench-storage: cannot take the write lock: %s\n", sqlite3_errmsg(holder));
            return 1;
        }
        for (int i = 0; i < runs; ++i)
            lockedWrites.push_back(timeMs([&] { appDb.insertMessage(writtenChat, QStringLiteral("user"), "x"); }));
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(holder);
    }

    size_t hits = 0;
    size_t bareHits = 0;
    const std::string needle = kNeedle.toStdString();
    const Pair search = alternate(
        runs, [&] { hits = size_t(db.searchMessages(kNeedle).size()); },
        [&] { bareHits = bareSearch(bare, needle).size(); });

    std::printf("chats %lld, messages %lld, median of %d runs\n", static_cast<long long>(chats),
                static_cast<long long>(messages), runs);
    std::printf("open            %8.2f ms\n", median(opens));
    std::printf("list            %8.2f ms  (%zu chats)\n", median(list.ours), listed);
    std::printf("list, bare      %8.2f ms  (%zu chats)\n", median(list.bare), bareListed);
    std::printf("reload rows     %8.2f ms  (%lld rows)\n", median(reloads), static_cast<long long>(store.rows().size()));
    std::printf("list after write %7.2f ms  (the rows after a message is stored into one chat)\n",
                median(refreshes));
    std::printf("locked write    %8.2f ms  (a write refused while another process holds the lock)\n",
                median(lockedWrites));
    std::printf("search          %8.2f ms  (%zu chats)\n", median(search.ours), hits);
    std::printf("search, bare    %8.2f ms  (%zu chats)\n", median(search.bare), bareHits);
    std::printf("list ratio %.2f (goal <= 1.2)\n", median(list.ours) / median(list.bare));
    std::printf("search ratio %.2f (goal <= 1.5)\n", median(search.ours) / median(search.bare));

    // The sidebar's search as typed: each query on its own, ours against the
    // bare scan (whose lower() folds ASCII only, so its counts differ beyond
    // it), min and median per query.
    std::printf("content search per query, ms: ours min / median, bare scan min / median (chats found)\n");
    // Found nowhere ("ж", "xz", "zzz"), the short ones read the whole copy.
    const QStringList queries = {QStringLiteral("q"),   QStringLiteral("e"),       QStringLiteral("ж"),
                                 QStringLiteral("qu"),  QStringLiteral("日本"),    QStringLiteral("xz"),
                                 QStringLiteral("que"), QStringLiteral("quetzal"), QStringLiteral("the"),
                                 QStringLiteral("CAFÉ"), QStringLiteral("zzz")};
    for (const QString& query : queries) {
        size_t found = 0;
        size_t bareFound = 0;
        const std::string bytes = query.toLower().toStdString();
        const Pair times = alternate(
            runs, [&] { found = size_t(db.searchMessages(query).size()); },
            [&] { bareFound = bareSearch(bare, bytes).size(); });
        std::printf("  %-10s %8.2f / %8.2f   bare %8.2f / %8.2f   (%zu, bare %zu)\n", qPrintable(query),
                    minimum(times.ours), median(times.ours), minimum(times.bare), median(times.bare), found, bareFound);
    }
    // A message written by this connection is indexed and copied in its own
    // transaction; the first search of a connection reads the whole copy.
    std::vector<double> afterWrite;
    std::vector<double> firstSearch;
    for (int i = 0; i < runs; ++i) {
        db.insertMessage(1, QStringLiteral("user"), QStringLiteral("Quetzal once more"));
        afterWrite.push_back(timeMs([&] { db.searchMessages(QStringLiteral("e")); }));
        ChatDatabase fresh(path);
        firstSearch.push_back(timeMs([&] { fresh.searchMessages(QStringLiteral("e")); }));
    }
    std::printf("  %-10s %8.2f / %8.2f   (right after a message is written)\n", "e", minimum(afterWrite),
                median(afterWrite));
    std::printf("  %-10s %8.2f / %8.2f   (the first search of a new connection, reading the copy)\n", "e",
                minimum(firstSearch), median(firstSearch));
    sqlite3_close_v2(bare);
    return 0;
}
