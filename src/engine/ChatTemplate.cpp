#include "engine/ChatTemplate.h"

#include "models/ModelInfo.h"
#include "platform/Unicode.h"

#include <iterator>

namespace cvn {

namespace {

struct Turn {
    bool isUser;
    QString content;
};

// The conversation as every family sees it: the first system text, and the
// other messages in order. Later system messages contribute nothing.
struct Conversation {
    QString system;
    QList<Turn> turns;
};

Conversation split(const QList<ChatMessage>& messages)
{
    Conversation c;
    bool systemSeen = false;
    for (const ChatMessage& m : messages) {
        if (m.role == ChatMessage::Role::system) {
            if (!systemSeen)
                c.system = m.content;
            systemSeen = true;
            continue;
        }
        // The families know no tool results: one that strays here is read
        // as the user's.
        c.turns.append({m.role != ChatMessage::Role::assistant, m.content});
    }
    return c;
}

// Written with escapes so the source stays ASCII: U+FF5C fullwidth vertical
// line and U+2581 lower one eighth block.
const QString& deepSeekBar()
{
    static const QString bar = QString::fromUtf8("\uFF5C");
    return bar;
}

const QString& deepSeekSpace()
{
    static const QString space = QString::fromUtf8("\u2581");
    return space;
}

QString deepSeekUser()
{
    return u'<' + deepSeekBar() + QStringLiteral("User") + deepSeekBar() + u'>';
}

QString deepSeekAssistant()
{
    return u'<' + deepSeekBar() + QStringLiteral("Assistant") + deepSeekBar() + u'>';
}

QString deepSeekEndOfSentence()
{
    return u'<' + deepSeekBar() + QStringLiteral("end") + deepSeekSpace() + QStringLiteral("of") + deepSeekSpace() + QStringLiteral("sentence") + deepSeekBar()
        + u'>';
}

// The parts of a family that differ only in their literals. A turn renders
// as prefix + content + suffix; the system block likewise.
struct Layout {
    QString opening;
    QString systemPrefix, systemSuffix;
    QString userPrefix, userSuffix;
    QString assistantPrefix, assistantSuffix;
    QString generationPrompt;
    // mistral and gemma have no system block: the system text opens the
    // first user turn, followed by a blank line.
    bool foldSystemIntoFirstUser = false;
};

// phi and olmo differ only in what ends a turn.
Layout phiLike(const QString& terminator)
{
    return {{},
            QStringLiteral("<|system|>\n"), terminator,
            QStringLiteral("<|user|>\n"), terminator,
            QStringLiteral("<|assistant|>\n"), terminator,
            QStringLiteral("<|assistant|>\n")};
}

Layout layoutOf(ChatTemplate::Family family)
{
    switch (family) {
    case ChatTemplate::chatML:
        return {{},
                QStringLiteral("<|im_start|>system\n"), QStringLiteral("<|im_end|>\n"),
                QStringLiteral("<|im_start|>user\n"), QStringLiteral("<|im_end|>\n"),
                QStringLiteral("<|im_start|>assistant\n"), QStringLiteral("<|im_end|>\n"),
                QStringLiteral("<|im_start|>assistant\n")};
    case ChatTemplate::llama:
        return {QStringLiteral("<|begin_of_text|>"),
                QStringLiteral("<|start_header_id|>system<|end_header_id|>\n\n"), QStringLiteral("<|eot_id|>"),
                QStringLiteral("<|start_header_id|>user<|end_header_id|>\n\n"), QStringLiteral("<|eot_id|>"),
                QStringLiteral("<|start_header_id|>assistant<|end_header_id|>\n\n"), QStringLiteral("<|eot_id|>"),
                QStringLiteral("<|start_header_id|>assistant<|end_header_id|>\n\n")};
    case ChatTemplate::mistral:
        return {QStringLiteral("<s>"),
                {}, {},
                QStringLiteral("[INST] "), QStringLiteral(" [/INST]"),
                QStringLiteral(" "), QStringLiteral("</s>"),
                {},
                true};
    case ChatTemplate::deepSeek:
        return {{},
                {}, QStringLiteral("\n\n"),
                deepSeekUser(), {},
                deepSeekAssistant(), {},
                deepSeekAssistant()};
    case ChatTemplate::gemma:
        return {{},
                {}, {},
                QStringLiteral("<start_of_turn>user\n"), QStringLiteral("<end_of_turn>\n"),
                QStringLiteral("<start_of_turn>model\n"), QStringLiteral("<end_of_turn>\n"),
                QStringLiteral("<start_of_turn>model\n"),
                true};
    case ChatTemplate::phi:
        return phiLike(QStringLiteral("<|end|>\n"));
    case ChatTemplate::glm:
        return {QStringLiteral("[gMASK]<sop>"),
                QStringLiteral("<|system|>\n"), {},
                QStringLiteral("<|user|>\n"), {},
                QStringLiteral("<|assistant|>\n"), {},
                QStringLiteral("<|assistant|>\n")};
    case ChatTemplate::kimi:
        return {{},
                QStringLiteral("<|im_system|>system<|im_middle|>"), QStringLiteral("<|im_end|>"),
                QStringLiteral("<|im_user|>user<|im_middle|>"), QStringLiteral("<|im_end|>"),
                QStringLiteral("<|im_assistant|>assistant<|im_middle|>"), QStringLiteral("<|im_end|>"),
                QStringLiteral("<|im_assistant|>assistant<|im_middle|>")};
    case ChatTemplate::commandR:
        return {{},
                QStringLiteral("<|START_OF_TURN_TOKEN|><|SYSTEM_TOKEN|>"), QStringLiteral("<|END_OF_TURN_TOKEN|>"),
                QStringLiteral("<|START_OF_TURN_TOKEN|><|USER_TOKEN|>"), QStringLiteral("<|END_OF_TURN_TOKEN|>"),
                QStringLiteral("<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|>"), QStringLiteral("<|END_OF_TURN_TOKEN|>"),
                QStringLiteral("<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|>")};
    case ChatTemplate::baichuan:
        return {{},
                {}, QStringLiteral("\n\n"),
                QStringLiteral("<reserved_106>"), {},
                QStringLiteral("<reserved_107>"), {},
                QStringLiteral("<reserved_107>")};
    case ChatTemplate::olmo:
        return phiLike(QStringLiteral("\n"));
    case ChatTemplate::falcon:
        return {{},
                QStringLiteral("System: "), QStringLiteral("\n\n"),
                QStringLiteral("User: "), QStringLiteral("\n\n"),
                QStringLiteral("Falcon: "), QStringLiteral("\n\n"),
                QStringLiteral("Falcon: ")};
    }
    Q_UNREACHABLE();
}

QString render(const Layout& layout, const Conversation& c)
{
    QString out = layout.opening;
    bool systemPending = !c.system.isEmpty();
    if (systemPending && !layout.foldSystemIntoFirstUser) {
        out += layout.systemPrefix + c.system + layout.systemSuffix;
        systemPending = false;
    }
    for (const Turn& turn : c.turns) {
        if (turn.isUser) {
            out += layout.userPrefix;
            if (systemPending) {
                out += c.system + QStringLiteral("\n\n");
                systemPending = false;
            }
            out += turn.content + layout.userSuffix;
        } else {
            out += layout.assistantPrefix + turn.content + layout.assistantSuffix;
        }
    }
    return out + layout.generationPrompt;
}

const char* const kRawValues[] = {"chatML", "llama", "mistral", "deepSeek", "gemma", "phi",
                                  "glm", "kimi", "commandR", "baichuan", "olmo", "falcon"};

struct Marker {
    const char* text;
    ChatTemplate::Family family;
};

// The order decides when a text holds markers of several families.
constexpr Marker kSettingNames[] = {
    {"qwen", ChatTemplate::chatML},       {"chatml", ChatTemplate::chatML},
    {"yi", ChatTemplate::chatML},         {"internlm", ChatTemplate::chatML},
    {"llama", ChatTemplate::llama},       {"mistral", ChatTemplate::mistral},
    {"deepseek", ChatTemplate::deepSeek}, {"gemma", ChatTemplate::gemma},
    {"phi", ChatTemplate::phi},           {"glm", ChatTemplate::glm},
    {"chatglm", ChatTemplate::glm},       {"kimi", ChatTemplate::kimi},
    {"command-r", ChatTemplate::commandR}, {"commandr", ChatTemplate::commandR},
    {"cohere", ChatTemplate::commandR},   {"baichuan", ChatTemplate::baichuan},
    {"olmo", ChatTemplate::olmo},         {"falcon", ChatTemplate::falcon},
};

constexpr Marker kTemplateMarkers[] = {
    {"<start_of_turn>", ChatTemplate::gemma},
    {"<|im_user|>", ChatTemplate::kimi},
    {"<|im_middle|>", ChatTemplate::kimi},
    {"[gMASK]", ChatTemplate::glm},
    {"<sop>", ChatTemplate::glm},
    {"START_OF_TURN_TOKEN", ChatTemplate::commandR},
    {"<|start_header_id|>", ChatTemplate::llama},
    {"[INST]", ChatTemplate::mistral},
    {"<reserved_106>", ChatTemplate::baichuan},
    // the DeepSeek user marker goes here, then "<|im_start|>"
};

constexpr Marker kFileNameParts[] = {
    {"llama", ChatTemplate::llama},        {"mistral", ChatTemplate::mistral},
    {"mixtral", ChatTemplate::mistral},    {"deepseek", ChatTemplate::deepSeek},
    {"gemma", ChatTemplate::gemma},        {"phi", ChatTemplate::phi},
    {"glm", ChatTemplate::glm},            {"kimi", ChatTemplate::kimi},
    {"command-r", ChatTemplate::commandR}, {"commandr", ChatTemplate::commandR},
    {"baichuan", ChatTemplate::baichuan},  {"olmo", ChatTemplate::olmo},
    {"falcon", ChatTemplate::falcon},      {"qwen", ChatTemplate::chatML},
    {"yi", ChatTemplate::chatML},          {"internlm", ChatTemplate::chatML},
};

} // namespace

QString ChatTemplate::rawValue() const
{
    return QString::fromLatin1(kRawValues[m_family]);
}

std::optional<ChatTemplate> ChatTemplate::fromRawValue(QStringView raw)
{
    for (ChatTemplate t : allCases()) {
        if (raw == QLatin1String(kRawValues[t.family()]))
            return t;
    }
    return std::nullopt;
}

const QList<ChatTemplate>& ChatTemplate::allCases()
{
    static const QList<ChatTemplate> all = [] {
        QList<ChatTemplate> list;
        for (int i = 0; i < int(std::size(kRawValues)); ++i)
            list.append(ChatTemplate(Family(i)));
        return list;
    }();
    return all;
}

QString ChatTemplate::format(const QList<ChatMessage>& messages) const
{
    return render(layoutOf(m_family), split(messages));
}

QString ChatTemplate::format(std::optional<ChatTemplate> chatTemplate, const QList<ChatMessage>& messages)
{
    return chatTemplate.value_or(chatML).format(messages);
}

QStringList ChatTemplate::stopSequences() const
{
    switch (m_family) {
    case chatML:
    case kimi:
        return {QStringLiteral("<|im_end|>")};
    case llama:
        return {QStringLiteral("<|eot_id|>")};
    case mistral:
        return {QStringLiteral("</s>")};
    case deepSeek:
        return {deepSeekEndOfSentence()};
    case gemma:
        return {QStringLiteral("<end_of_turn>")};
    case phi:
        return {QStringLiteral("<|end|>")};
    case glm:
    case olmo:
        return {QStringLiteral("<|user|>")};
    case commandR:
        return {QStringLiteral("<|END_OF_TURN_TOKEN|>")};
    case baichuan:
        return {QStringLiteral("<reserved_106>")};
    case falcon:
        return {QStringLiteral("\nUser:")};
    }
    Q_UNREACHABLE();
}

std::optional<ChatTemplate> ChatTemplate::fromSetting(const std::optional<QString>& setting)
{
    if (!setting)
        return std::nullopt;
    // Only spaces and tabs: a name with a line break in it is not a name.
    const QString lower = trimSpaces(*setting).toString().toLower();
    for (const Marker& m : kSettingNames) {
        if (lower == QLatin1String(m.text))
            return ChatTemplate(m.family);
    }
    return std::nullopt;
}

std::optional<ChatTemplate> ChatTemplate::fromTemplateText(const std::optional<QString>& text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    for (const Marker& m : kTemplateMarkers) {
        if (text->contains(QLatin1String(m.text)))
            return ChatTemplate(m.family);
    }
    if (text->contains(deepSeekUser()))
        return ChatTemplate(deepSeek);
    if (text->contains(QLatin1String("<|im_start|>")))
        return ChatTemplate(chatML);
    return std::nullopt;
}

std::optional<ChatTemplate> ChatTemplate::fromFileName(const QString& fileName)
{
    const QString lower = fileName.toLower();
    for (const Marker& m : kFileNameParts) {
        if (lower.contains(QLatin1String(m.text)))
            return ChatTemplate(m.family);
    }
    return std::nullopt;
}

ChatTemplate ChatTemplate::detect(const ModelInfo& model)
{
    if (auto t = fromSetting(model.chatTemplate))
        return *t;
    const GgufInfo metadata = model.effectiveMetadata();
    if (auto t = fromTemplateText(metadata.embeddedChatTemplate))
        return *t;
    return fromFileName(metadata.fileName).value_or(chatML);
}

} // namespace cvn
