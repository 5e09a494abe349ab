// Writes chats and messages into the database named on the command line
// until it is killed, or until it has written `count` messages when a third
// argument gives one. After each write has returned it prints
// "M <row id> <sequence>" and flushes, so the killing test knows which
// messages must have survived; a write that failed prints "F <sequence>".

#include "CrashText.h"
#include "storage/ChatDatabase.h"

#include <QList>

#include <cstdio>
#include <utility>

using cvn::ChatDatabase;

namespace {

// Counted runs share the file with other writers: short texts keep each
// transaction short, as a chat's messages are.
qint64 textLimit = -1;

int64_t addMessage(ChatDatabase& db, int64_t chatId, qint64 seq)
{
    return db.insertMessage(chatId, seq % 2 ? QStringLiteral("assistant") : QStringLiteral("user"),
                            cvn::test::crashText(seq).left(textLimit));
}

void report(int64_t row, qint64 seq)
{
    std::printf("M %lld %lld\n", static_cast<long long>(row), static_cast<long long>(seq));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    // Counted runs measure lost writes, not how long the busiest machine
    // makes a writer wait its turn: they wait as long as it takes.
    const bool counted = argc == 4;
    ChatDatabase db(QString::fromLocal8Bit(argv[1]), counted ? 60000 : ChatDatabase::defaultBusyTimeoutMs);
    if (!db.isOpen())
        return 3;
    const qint64 first = QByteArray(argv[2]).toLongLong() * 1000000;
    const qint64 count = counted ? QByteArray(argv[3]).toLongLong() : -1;
    if (counted)
        textLimit = 2000;
    int64_t chatId = 0;
    for (qint64 seq = first; count < 0 || seq < first + count; ++seq) {
        if (seq % 5 == 0 || chatId == 0) {
            // A new chat with its first two messages, as one transaction.
            QList<std::pair<int64_t, qint64>> rows;
            int64_t newChat = 0;
            const bool committed = db.transaction([&] {
                // A read first, as a transaction that looks before it
                // writes: only a write lock taken at BEGIN keeps another
                // writer's commit from failing the write that follows.
                db.councilOn(chatId);
                newChat = db.insertChat(QStringLiteral("chat %1").arg(seq), QStringLiteral("m"));
                for (qint64 s = seq; newChat != 0 && s < seq + 2; ++s) {
                    const int64_t row = addMessage(db, newChat, s);
                    if (row == 0)
                        return false;
                    rows.append({row, s});
                }
                return newChat != 0 && db.updateTitle(newChat, QStringLiteral("titled %1").arg(seq));
            });
            ++seq;
            if (!committed) {
                std::printf("F %lld\n", static_cast<long long>(seq - 1));
                continue;
            }
            chatId = newChat;
            for (const auto& [row, s] : std::as_const(rows))
                report(row, s);
        } else if (const int64_t row = addMessage(db, chatId, seq)) {
            report(row, seq);
        } else {
            std::printf("F %lld\n", static_cast<long long>(seq));
        }
    }
    return 0;
}
