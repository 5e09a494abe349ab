#pragma once

#include <QString>

namespace cvn {

// Splits a streamed reply into answer text and the reasoning a model writes
// between "<think>" and "</think>", piece by piece, even when a tag is cut
// across two pieces: a piece's tail that could begin the awaited tag is held
// back until the next piece (or the flush) decides. Inside a think block
// "<think>" is ordinary text, outside it "</think>" is. Not thread-safe; one
// parser per reply stream.
class ReasoningParser {
public:
    struct Split {
        QString answer;
        QString reasoning;

        bool isEmpty() const { return answer.isEmpty() && reasoning.isEmpty(); }
        friend bool operator==(const Split&, const Split&) = default;
    };

    // The parts of the text so far that are now certain.
    Split feed(QStringView piece);
    // The held-back text, on the side the parser is on; the state stays.
    Split flush();
    // Back to answer text with nothing held.
    void reset();

    static bool isEmpty(const Split& split) { return split.isEmpty(); }

    bool inThink() const { return m_inThink; }
    const QString& pending() const { return m_pending; }

private:
    bool m_inThink = false;
    QString m_pending;
};

} // namespace cvn
