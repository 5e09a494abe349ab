#pragma once

// What the conversation modes of cvn-bench-session share: a fixed filler
// chat, a reply timed to its first token through the session, and the same
// prompt timed to its first token decoded in full. Main thread only.

#include "SessionBenchSupport.h"
#include "engine/LlamaSession.h"
#include "platform/AppSettings.h"

#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <future>
#include <iterator>
#include <optional>
#include <string>

#include <llama.h>

namespace cvn::bench {

using Clock = std::chrono::steady_clock;

// A timed reply is stopped at this many tokens: only its first one counts.
constexpr int64_t kTimedReplyTokens = 32;

// Sleeps in the event loop between events, as the app's main thread does: a
// loop that polls would keep a core busy and slow the compute threads down.
inline void pumpUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// Loads the model into the session with `threads` threads; false (said on
// stderr) when it does not load.
inline bool loadWithThreads(LlamaSession& session, const ModelInfo& info, long threads)
{
    AppSettings::setValue(QString::fromLatin1(AppSettings::threadCountKey), int(threads));
    return loadAndWait(session, info, "cvn-bench-session");
}

// Words for filler text; a fixed generator picks them, so every run of the
// benchmark builds the same chat.
inline const char* const kWords[] = {"the",   "sea",    "ships", "sail",  "under", "a",      "grey",   "sky",
                                     "while", "sailors", "sing", "old",   "songs", "about",  "home",   "and",
                                     "wind",  "rain",   "light", "house", "keeps", "watch",  "over",   "harbour",
                                     "boats", "return", "with",  "fish",  "salt",  "nets",   "morning", "tide"};

inline QString filler(uint32_t& state, int words)
{
    QStringList out;
    for (int i = 0; i < words; ++i) {
        state = state * 1664525u + 1013904223u;
        out << QString::fromLatin1(kWords[(state >> 16) % std::size(kWords)]);
    }
    return out.join(QLatin1Char(' ')) + QLatin1Char('.');
}

inline int64_t promptTokens(LlamaSession& session, const QList<ChatMessage>& messages)
{
    return int64_t(session.model()->tokenize(session.chatTemplate().format(messages).toStdString()).size());
}

// A stored chat of user and assistant messages of filler, about `tokens`
// tokens long in the loaded model's template.
inline QList<LlamaSession::Turn> fillerChat(LlamaSession& session, uint32_t& state, int64_t tokens)
{
    QList<LlamaSession::Turn> stored;
    QList<ChatMessage> messages;
    while (promptTokens(session, messages) < tokens) {
        for (const auto role : {ChatMessage::Role::user, ChatMessage::Role::assistant}) {
            LlamaSession::Turn turn;
            turn.role = role;
            turn.content = filler(state, 90);
            stored << turn;
            messages << ChatMessage{role, turn.content};
        }
    }
    return stored;
}

// Keeps each run's "Prompt: N tokens, M kept ..." line, and says whether a
// "Context full: ..." line came, and passes on only critical messages.
inline QString lastPromptLine;
inline bool cutMoved = false;
inline void keepPromptLine(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (message.startsWith(QLatin1String("Prompt: ")))
        lastPromptLine = message;
    else if (message.startsWith(QLatin1String("Context full: ")))
        cutMoved = true;
    else if (type == QtCriticalMsg || type == QtFatalMsg) // a stopped reply's aborted decode warns
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Time from the send to the first reply text through the session, the reply
// stopped at kTimedReplyTokens; none when no text came.
inline std::optional<double> sendAndTime(LlamaSession& session, const QString& text)
{
    std::optional<Clock::time_point> first;
    const auto start = Clock::now();
    SessionTask task = session.send(text);
    QMetaObject::Connection c = QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        // Until the reply's own text comes, the last bubble may be the
        // question shown while the reply waits for the slot, and the model's
        // token count that of the run before.
        const LlamaSession::Turn& last = session.turns().last();
        if (last.role != ChatMessage::Role::assistant || (last.content.isEmpty() && last.reasoning.isEmpty()))
            return;
        if (!first)
            first = Clock::now();
        if (session.model() && session.model()->lastRunTokenCount() >= kTimedReplyTokens)
            session.stop();
    });
    pumpUntil([&] { return task.isFinished(); });
    QObject::disconnect(c);
    if (!first)
        return std::nullopt;
    return std::chrono::duration<double, std::milli>(*first - start).count();
}

// Time from generate() to the end of a one-token run on an emptied context:
// the whole prompt decoded and the first token sampled.
inline double fullDecodeMs(LlamaModel& model, const std::string& prompt)
{
    model.queue().sync([&] { llama_memory_clear(llama_get_memory(model.contextHandle()), true); });
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 1;
    std::promise<void> done;
    GenerationSink sink;
    sink.onFinished = [&] { done.set_value(); };
    const auto start = Clock::now();
    GenerationHandle handle = model.generate(prompt, params, std::move(sink));
    done.get_future().wait();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace cvn::bench
