#include "engine/ReplyPrompt.h"

#include "engine/ImageStandIns.h"
#include "engine/LlamaModel.h"
#include "platform/Logging.h"

#include <QLocale>

#include <algorithm>
#include <map>

namespace cvn {

namespace {

using Role = ChatMessage::Role;

// The messages of one prompt: the system message, if any, and the
// conversation from one message on.
class Conversation {
public:
    Conversation(const QList<ReplyPrompt::Message>& messages, const ReplyPrompt::Renderer& render,
                 const ReplyPrompt::Renderer& measure)
        : m_messages(messages)
        , m_render(render)
        , m_measure(measure ? measure : render)
        , m_first(!messages.isEmpty() && messages.front().message.role == Role::system ? 1 : 0)
    {
        // A turn starts at each user message, and at the first message
        // whatever it is.
        for (qsizetype i = m_first; i < messages.size(); ++i)
            if (i == m_first || messages[i].message.role == Role::user)
                m_starts.append(i);
    }

    qsizetype first() const { return m_first; }
    const QList<qsizetype>& starts() const { return m_starts; }

    // The prompt from turn `turn` on, with the system message.
    QString from(qsizetype turn) const
    {
        QList<ChatMessage> sent;
        if (m_first == 1)
            sent.append(m_messages.front().message);
        for (qsizetype i = m_starts.value(turn, m_messages.size()); i < m_messages.size(); ++i)
            sent.append(m_messages[i].message);
        return m_render(sent);
    }

    // Turn `turn` alone, rendered as if it were the whole conversation.
    QString alone(qsizetype turn) const
    {
        const qsizetype end = turn + 1 < m_starts.size() ? m_starts[turn + 1] : m_messages.size();
        QList<ChatMessage> sent;
        for (qsizetype i = m_starts[turn]; i < end; ++i)
            sent.append(m_messages[i].message);
        return m_measure(sent);
    }

    QString empty() const { return m_measure({}); }

    // What the prompt holds besides its turns: the system message alone.
    // Only an estimate, so it is measured: many templates refuse a prompt
    // without a user message, which the prompt itself always has.
    QString tail() const
    {
        QList<ChatMessage> sent;
        if (m_first == 1)
            sent.append(m_messages.front().message);
        return m_measure(sent);
    }

private:
    const QList<ReplyPrompt::Message>& m_messages;
    const ReplyPrompt::Renderer& m_render;
    const ReplyPrompt::Renderer& m_measure;
    qsizetype m_first;
    QList<qsizetype> m_starts;
};

// Raised by the tokenizer wrapper of make() once its caller stops it.
struct Stopped {};

} // namespace

ReplyPrompt::Made ReplyPrompt::make(const QList<Message>& messages, ChatTemplate chatTemplate, int64_t contextSize,
                                    const std::optional<QUuid>& cut, const Tokenizer& tokenizer,
                                    const StopCheck& stopped)
{
    return make(
        messages, [chatTemplate](const QList<ChatMessage>& sent) { return chatTemplate.format(sent); }, {},
        contextSize, cut, tokenizer, stopped);
}

ReplyPrompt::Made ReplyPrompt::make(const QList<Message>& messages, const Renderer& render, const Renderer& measure,
                                    int64_t contextSize, const std::optional<QUuid>& cut, const Tokenizer& tokenizer,
                                    const StopCheck& stopped)
{
    const Conversation conversation(messages, render, measure);
    const QList<qsizetype>& starts = conversation.starts();
    Made made;
    made.budget = contextSize - replyReserve;
    // Every tokenizer call is short (one turn, or a prompt near the
    // context's size), so a stop is heard between them.
    const auto tokenize = [&](const QString& text) {
        if (stopped && stopped())
            throw Stopped{};
        return tokenizer(text);
    };

    try {
        // What each turn adds, counted once: its tokens alone, less those of
        // the template's frame, from the newest turn back until they are well
        // past the budget (older turns then never fit either). A conversation
        // far larger than the context is never tokenized whole, which would
        // cost time in proportion to its size times its count of messages
        // (the tokenizer searches the rest of the text for each special token
        // after each one it finds).
        const qsizetype last = starts.size() - 1; // the newest user message's turn is always sent
        const int64_t beyond = 2 * made.budget + 64;
        const auto frame = int64_t(tokenize(conversation.empty()).size());
        std::vector<int64_t> from(size_t(starts.size()) + 1, 0); // estimated tokens from each turn on
        from.back() = int64_t(tokenize(conversation.tail()).size());
        for (qsizetype t = last; t >= 0; --t) {
            from[size_t(t)] = from[size_t(t) + 1];
            if (from[size_t(t)] <= beyond)
                from[size_t(t)] += std::max<int64_t>(0, int64_t(tokenize(conversation.alone(t)).size()) - frame);
        }

        // The prompts tokenized so far, by the turn they start from.
        std::map<qsizetype, std::pair<QString, std::vector<int32_t>>> tried;
        const auto prompt = [&](qsizetype turn) -> const std::pair<QString, std::vector<int32_t>>& {
            auto found = tried.find(turn);
            if (found == tried.end()) {
                QString text = conversation.from(turn);
                std::vector<int32_t> tokens = tokenize(text);
                found = tried.emplace(turn, std::pair{std::move(text), std::move(tokens)}).first;
            }
            return found->second;
        };
        // A turn's tokens alone differ a little from its tokens in the whole
        // prompt, never by half: a prompt estimated at twice the limit does
        // not fit it, and the rest are checked on the prompt itself.
        const auto fitsFrom = [&](qsizetype turn, int64_t limit) {
            if (limit > 0 && from[size_t(turn)] > 2 * limit + 64)
                return false;
            return int64_t(prompt(turn).second.size()) <= limit;
        };

        // Where the last prompt began, while that message still starts a turn.
        qsizetype turn = 0;
        for (qsizetype t = 1; cut && t < starts.size(); ++t)
            if (messages[starts[t]].id == *cut)
                turn = t;
        const qsizetype remembered = turn;
        // Messages deleted, or a larger context: the whole chat may fit again.
        if (turn > 0 && fitsFrom(0, made.budget))
            turn = 0;

        if (made.budget > 0 && turn < last && !fitsFrom(turn, made.budget)) {
            // Forward by whole turns to the first from which the prompt takes
            // at most two thirds of the budget: guessed from each turn's own
            // tokens, then found on the prompt itself by widening steps and
            // halving (a prompt from a later turn is never longer).
            const int64_t target = made.budget * 2 / 3;
            qsizetype guess = turn;
            while (guess < last && from[size_t(guess)] > target)
                ++guess;
            qsizetype fits = -1, fitsNot = -1;
            if (fitsFrom(guess, target)) {
                fits = guess;
                for (qsizetype step = 1; fits > turn; step *= 2) {
                    const qsizetype t = std::max(turn, fits - step);
                    if (!fitsFrom(t, target)) {
                        fitsNot = t;
                        break;
                    }
                    fits = t;
                }
            } else {
                fitsNot = guess;
                for (qsizetype step = 1; fitsNot < last; step *= 2) {
                    const qsizetype t = std::min(last, fitsNot + step);
                    if (fitsFrom(t, target)) {
                        fits = t;
                        break;
                    }
                    fitsNot = t;
                }
                if (fits < 0)
                    fits = last;
            }
            while (fitsNot >= 0 && fits - fitsNot > 1) {
                const qsizetype mid = fitsNot + (fits - fitsNot) / 2;
                (fitsFrom(mid, target) ? fits : fitsNot) = mid;
            }
            turn = fits;
        }

        made.text = prompt(turn).first;
        made.tokens = prompt(turn).second;
        made.whole = int64_t(made.tokens.size());
        made.leftOut = turn > 0 ? starts[turn] - conversation.first() : 0;
        if (turn > 0)
            made.cut = messages[starts[turn]].id;

        // One message longer than the budget by itself keeps its last tokens,
        // and the prompt keeps what leads up to it (the system message, the
        // opening of its turn).
        const auto fits = [&](int64_t limit) { return int64_t(made.tokens.size()) <= limit; };
        if (!fits(made.budget) && made.budget > 0 && !messages.isEmpty()) {
            const QString& content = messages.back().message.content;
            const qsizetype at = content.isEmpty() ? -1 : made.text.lastIndexOf(content);
            const int64_t head = at < 0 ? 1 : int64_t(tokenize(made.text.left(at)).size());
            // Images are never cut: a message whose images alone outgrow
            // the context is refused before any of them is encoded.
            const auto images = std::count_if(made.tokens.begin() + std::min<int64_t>(head, int64_t(made.tokens.size())),
                                              made.tokens.end(), standins::isImage);
            if (images > made.budget)
                throw ImageError(QStringLiteral("This message's images need %1 tokens; the model's context has "
                                                "room for %2. Send fewer images or raise the context size.")
                                     .arg(QLocale(QLocale::English).toString(qlonglong(images)),
                                          QLocale(QLocale::English).toString(qlonglong(made.budget)))
                                     .toStdString());
            made.tokens = keepEnds(std::move(made.tokens), made.budget, head);
        }
        if (turn > 0 && turn != remembered)
            qCInfo(lcRuntime, "Context full: left out the oldest %d messages, the prompt is now %d of %d tokens",
                   int(made.leftOut), int(made.tokens.size()), int(made.budget));
    } catch (const Stopped&) {
        Made none;
        none.budget = made.budget;
        none.stopped = true;
        return none;
    }
    return made;
}

std::vector<int32_t> ReplyPrompt::keepEnds(std::vector<int32_t> tokens, int64_t budget, int64_t head)
{
    const auto before = int64_t(tokens.size());
    if (budget < 1 || before <= budget)
        return tokens;
    head = standins::backOff(tokens, std::clamp<int64_t>(head, 0, budget / 2));
    // Neither end keeps part of an image: the tail starts after one it
    // would cut.
    int64_t tail = before - (budget - head);
    while (tail < before && standins::place(tokens[size_t(tail)]) > 0)
        ++tail;
    std::vector<int32_t> kept(tokens.begin(), tokens.begin() + head);
    kept.insert(kept.end(), tokens.begin() + tail, tokens.end());
    qCInfo(lcRuntime, "Prompt truncated to fit the context: dropped %d of %d tokens", int(before - int64_t(kept.size())),
           int(before));
    return kept;
}

std::optional<QUuid> ContextCuts::of(const QUuid& model, int64_t contextSize) const
{
    const auto it = m_cuts.find({model, contextSize});
    if (it == m_cuts.end())
        return std::nullopt;
    return *it;
}

void ContextCuts::set(const QUuid& model, int64_t contextSize, const std::optional<QUuid>& cut)
{
    if (cut)
        m_cuts.insert({model, contextSize}, *cut);
    else
        m_cuts.remove({model, contextSize});
}

} // namespace cvn
