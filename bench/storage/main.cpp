// The chat database at the size of a long-used install: 10,000 chats with
// 100,000 messages (about 400 bytes each, one in a hundred holding the word
// searched for). Times opening, listing the chats, reloading the sidebar's
// rows and searching message text, and for the list and the search the ratio
// against the same work done with bare sqlite3 calls in this binary (for the
// search: "SELECT chat_id FROM messages WHERE instr(lower(content), ?)").
//
// bench-storage [iterations] [folder]
//
// The database is written once to the folder (default: the system's
// temporary folder) and reused while it has the expected rows. Each figure is
// the median of the iterations (default 9) with a warm page cache.

#include "BenchTiming.h"
#include "storage/ChatDatabase.h"
#include "storage/ChatStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

using cvn::ChatDatabase;

using cvn::bench::medianMs;

namespace {

constexpr int kChats = 10000;
constexpr int kMessagesPerChat = 10;
const QString kNeedle = QStringLiteral("quetzal");

const char* const kWords[] = {"the", "model", "answer", "context", "token", "prompt", "window", "reply",
                              "memory", "layer", "Paris", "garden", "river", "Question", "thanks", "code",
                              "function", "value", "table", "über", "naïve", "café", "résumé", "日本"};

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

void fill(ChatDatabase& db)
{
    QRandomGenerator random(7);
    db.transaction([&] {
        for (int c = 0; c < kChats; ++c) {
            const int64_t chat = db.insertChat(QStringLiteral("Chat number %1").arg(c), QStringLiteral("model"));
            db.run(QStringLiteral("UPDATE chats SET updated_at=?, pinned=? WHERE id=?"),
                   {1700000000 + random.bounded(10000000), c % 50 == 0 ? 1 : 0, chat});
            for (int m = 0; m < kMessagesPerChat; ++m) {
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
        "FROM chats c ORDER BY c.pinned DESC, c.updated_at DESC";
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 9;
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
    const QString path = folder + QStringLiteral("/bench-chats.db");

    {
        ChatDatabase db(path);
        if (!db.isOpen()) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
            return 1;
        }
        const auto count = db.prepare(QStringLiteral("SELECT (SELECT COUNT(*) FROM chats), "
                                                     "(SELECT COUNT(*) FROM messages)"));
        ChatDatabase::stepRow(count.get());
        if (ChatDatabase::integerColumn(count.get(), 0) != kChats ||
            ChatDatabase::integerColumn(count.get(), 1) != kChats * kMessagesPerChat) {
            db.exec(QStringLiteral("DELETE FROM chats; DELETE FROM messages;"));
            std::printf("writing %d chats with %d messages to %s ...\n", kChats, kChats * kMessagesPerChat,
                        qPrintable(path));
            fill(db);
        }
    }

    const double openMs = medianMs(iterations, [&] { ChatDatabase db(path); });
    ChatDatabase db(path);
    sqlite3* bare = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &bare, SQLITE_OPEN_READONLY, nullptr);

    size_t listed = 0;
    size_t bareListed = 0;
    const double bareListMs = medianMs(iterations, [&] { bareListed = bareList(bare).size(); });
    const double listMs = medianMs(iterations, [&] { listed = size_t(db.listChats().size()); });

    cvn::ChatStore store(db);
    const double reloadMs = medianMs(iterations, [&] { store.reload(); });

    size_t hits = 0;
    size_t bareHits = 0;
    const double searchMs = medianMs(iterations, [&] { hits = size_t(db.searchMessages(kNeedle).size()); });
    const std::string needle = kNeedle.toStdString();
    const double bareSearchMs = medianMs(iterations, [&] { bareHits = bareSearch(bare, needle).size(); });
    sqlite3_close_v2(bare);

    std::printf("chats %d, messages %d, median of %d runs\n", kChats, kChats * kMessagesPerChat, iterations);
    std::printf("open            %8.2f ms\n", openMs);
    std::printf("list            %8.2f ms  (%zu chats)\n", listMs, listed);
    std::printf("list, bare      %8.2f ms  (%zu chats)\n", bareListMs, bareListed);
    std::printf("reload rows     %8.2f ms  (%lld rows)\n", reloadMs, static_cast<long long>(store.rows().size()));
    std::printf("search          %8.2f ms  (%zu chats)\n", searchMs, hits);
    std::printf("search, bare    %8.2f ms  (%zu chats)\n", bareSearchMs, bareHits);
    std::printf("list ratio %.2f (goal <= 1.2)\n", listMs / bareListMs);
    std::printf("search ratio %.2f (goal <= 1.5)\n", searchMs / bareSearchMs);
    return 0;
}
