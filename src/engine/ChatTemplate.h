#pragma once

// The prompt layouts of the model families we know. A ChatTemplate renders a
// conversation into the text a model was trained on, ending with the open
// header of the assistant's next turn; the markers are written as text and
// become special tokens because the prompt is tokenised with special-token
// parsing on. Pure functions of their arguments; callable from any thread.

#include "engine/ChatMessage.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace cvn {

struct ModelInfo;

class ChatTemplate {
public:
    // The order is the order of allCases().
    enum Family : unsigned char {
        chatML,
        llama,
        mistral,
        deepSeek,
        gemma,
        phi,
        glm,
        kimi,
        commandR,
        baichuan,
        olmo,
        falcon,
    };

    constexpr ChatTemplate(Family family = chatML) : m_family(family) {}

    constexpr Family family() const { return m_family; }

    // "chatML", "llama", …: what the runtime log and the debug panel show.
    QString rawValue() const;
    // Exact, case-sensitive match of a raw value.
    static std::optional<ChatTemplate> fromRawValue(QStringView raw);
    static const QList<ChatTemplate>& allCases();

    // The prompt for `messages`. Only the first system message counts; it is
    // folded into the first user turn for mistral and gemma.
    QString format(const QList<ChatMessage>& messages) const;
    // No family renders as chatML.
    static QString format(std::optional<ChatTemplate> chatTemplate, const QList<ChatMessage>& messages);

    // The strings that end a reply in this family (one per family).
    QStringList stopSequences() const;

    // The model record's template setting: spaces and tabs trimmed (line
    // breaks kept, see trimSpaces), lower-cased, then one of the known names;
    // anything else is none.
    static std::optional<ChatTemplate> fromSetting(const std::optional<QString>& setting);
    // Markers of the chat template embedded in a GGUF file.
    static std::optional<ChatTemplate> fromTemplateText(const std::optional<QString>& text);
    // Family names inside a model's file name.
    static std::optional<ChatTemplate> fromFileName(const QString& fileName);
    // Setting, then embedded template, then file name; chatML when none speaks.
    static ChatTemplate detect(const ModelInfo& model);

    friend constexpr bool operator==(ChatTemplate a, ChatTemplate b) { return a.m_family == b.m_family; }

private:
    Family m_family;
};

inline size_t qHash(ChatTemplate chatTemplate, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<unsigned>(chatTemplate.family()), seed);
}

} // namespace cvn
