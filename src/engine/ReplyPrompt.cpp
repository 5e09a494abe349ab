#include "engine/ReplyPrompt.h"

#include "platform/Logging.h"

#include <algorithm>

namespace cvn {

namespace {

using Role = ChatMessage::Role;

// The messages of one prompt: the system message, if any, and the
// conversation from one message on.
class Conversation {
public:
    Conversation(const QList<ReplyPrompt::Message>& messages, ChatTemplate chatTemplate)
        : m_messages(messages)
        , m_template(chatTemplate)
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
        return m_template.format(sent);
    }

    // Turn `turn` alone, rendered as if it were the whole conversation.
    QString alone(qsizetype turn) const
    {
        const qsizetype end = turn + 1 < m_starts.size() ? m_starts[turn + 1] : m_messages.size();
        QList<ChatMessage> sent;
        for (qsizetype i = m_starts[turn]; i < end; ++i)
            sent.append(m_messages[i].message);
        return m_template.format(sent);
    }

    QString empty() const { return m_template.format({}); }

private:
    const QList<ReplyPrompt::Message>& m_messages;
    ChatTemplate m_template;
    qsizetype m_first;
    QList<qsizetype> m_starts;
};

} // namespace

ReplyPrompt::Made ReplyPrompt::make(const QList<Message>& messages, ChatTemplate chatTemplate, int64_t contextSize,
                                    const std::optional<QUuid>& cut, const Tokenizer& tokenize)
{
    const Conversation conversation(messages, chatTemplate);
    const QList<qsizetype>& starts = conversation.starts();
    Made made;
    made.budget = contextSize - replyReserve;
    const auto fits = [&](int64_t limit) { return int64_t(made.tokens.size()) <= limit; };
    const auto sendFrom = [&](qsizetype turn) {
        made.text = conversation.from(turn);
        made.tokens = tokenize(made.text);
    };

    // Where the last prompt began, while that message still starts a turn.
    qsizetype turn = 0;
    for (qsizetype t = 1; cut && t < starts.size(); ++t)
        if (messages[starts[t]].id == *cut)
            turn = t;
    const qsizetype remembered = turn;
    sendFrom(turn);
    // Messages deleted, or a larger context: the whole chat may fit again.
    if (turn > 0) {
        Made whole = made;
        sendFrom(0);
        if (fits(made.budget))
            turn = 0;
        else
            made = std::move(whole);
    }

    const qsizetype last = starts.size() - 1; // the newest user message's turn is always sent
    if (!fits(made.budget) && made.budget > 0 && turn < last) {
        // Forward by whole turns until the prompt takes two thirds of the
        // budget, first by each turn's own tokens, then checked on the prompt
        // itself (a turn's tokens alone differ a little from its tokens in
        // the whole prompt).
        const int64_t target = made.budget * 2 / 3;
        const auto frame = int64_t(tokenize(conversation.empty()).size());
        auto size = int64_t(made.tokens.size());
        while (turn < last && size > target) {
            size -= std::max<int64_t>(0, int64_t(tokenize(conversation.alone(turn)).size()) - frame);
            ++turn;
        }
        for (sendFrom(turn); !fits(target) && turn < last; sendFrom(turn))
            ++turn;
    }

    made.leftOut = turn > 0 ? starts[turn] - conversation.first() : 0;
    if (turn > 0)
        made.cut = messages[starts[turn]].id;

    // One message longer than the budget by itself keeps its last tokens, and
    // the prompt keeps what leads up to it (the system message, the opening
    // of its turn).
    if (!fits(made.budget) && made.budget > 0 && !messages.isEmpty()) {
        const QString& content = messages.back().message.content;
        const qsizetype at = content.isEmpty() ? -1 : made.text.lastIndexOf(content);
        const int64_t head = at < 0 ? 1 : int64_t(tokenize(made.text.left(at)).size());
        made.tokens = keepEnds(std::move(made.tokens), made.budget, head);
    }
    if (turn > 0 && turn != remembered)
        qCInfo(lcRuntime, "Context full: left out the oldest %d messages, the prompt is now %d of %d tokens",
               int(made.leftOut), int(made.tokens.size()), int(made.budget));
    return made;
}

std::vector<int32_t> ReplyPrompt::keepEnds(std::vector<int32_t> tokens, int64_t budget, int64_t head)
{
    const auto before = int64_t(tokens.size());
    if (budget < 1 || before <= budget)
        return tokens;
    head = std::clamp<int64_t>(head, 0, budget / 2);
    std::vector<int32_t> kept(tokens.begin(), tokens.begin() + head);
    kept.insert(kept.end(), tokens.end() - (budget - head), tokens.end());
    qCInfo(lcRuntime, "Prompt truncated to fit the context: dropped %d of %d tokens", int(before - budget),
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
