#include "engine/ChatTemplate.h"

#include "models/ModelInfo.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

using namespace cvn;

namespace {

using Role = ChatMessage::Role;

ChatMessage sys(const char* text)
{
    return {Role::system, QString::fromUtf8(text)};
}
ChatMessage user(const char* text)
{
    return {Role::user, QString::fromUtf8(text)};
}
ChatMessage bot(const char* text)
{
    return {Role::assistant, QString::fromUtf8(text)};
}

struct RenderCase {
    ChatTemplate::Family family;
    QList<ChatMessage> messages;
    const char* expected; // UTF-8
};

} // namespace

TEST(ChatTemplate, RendersEveryFamilyToTheCharacter)
{
    const QList<ChatMessage> sysUser = {sys("S"), user("Hi")};
    const QList<ChatMessage> multi = {sys("S"), user("A"), bot("B"), user("C")};
    const RenderCase cases[] = {
        {ChatTemplate::chatML, sysUser,
         "<|im_start|>system\nS<|im_end|>\n<|im_start|>user\nHi<|im_end|>\n<|im_start|>assistant\n"},
        {ChatTemplate::chatML, {}, "<|im_start|>assistant\n"},
        {ChatTemplate::llama, {user("Hi")},
         "<|begin_of_text|><|start_header_id|>user<|end_header_id|>\n\nHi<|eot_id|>"
         "<|start_header_id|>assistant<|end_header_id|>\n\n"},
        {ChatTemplate::llama, multi,
         "<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\nS<|eot_id|>"
         "<|start_header_id|>user<|end_header_id|>\n\nA<|eot_id|>"
         "<|start_header_id|>assistant<|end_header_id|>\n\nB<|eot_id|>"
         "<|start_header_id|>user<|end_header_id|>\n\nC<|eot_id|>"
         "<|start_header_id|>assistant<|end_header_id|>\n\n"},
        {ChatTemplate::mistral, multi, "<s>[INST] S\n\nA [/INST] B</s>[INST] C [/INST]"},
        {ChatTemplate::mistral, {}, "<s>"},
        // An empty system text leaves the first user turn plain.
        {ChatTemplate::mistral, {sys(""), user("A")}, "<s>[INST] A [/INST]"},
        // The system text goes to the first user turn even after an assistant turn.
        {ChatTemplate::mistral, {bot("B"), sys("S"), user("A")}, "<s> B</s>[INST] S\n\nA [/INST]"},
        {ChatTemplate::gemma, {sys("S"), user("A")},
         "<start_of_turn>user\nS\n\nA<end_of_turn>\n<start_of_turn>model\n"},
        {ChatTemplate::gemma, multi,
         "<start_of_turn>user\nS\n\nA<end_of_turn>\n<start_of_turn>model\nB<end_of_turn>\n"
         "<start_of_turn>user\nC<end_of_turn>\n<start_of_turn>model\n"},
        // No user turn at all: the system text has nowhere to go.
        {ChatTemplate::gemma, {sys("S")}, "<start_of_turn>model\n"},
        {ChatTemplate::deepSeek, {user("Hi")}, "<\uFF5CUser\uFF5C>Hi<\uFF5CAssistant\uFF5C>"},
        {ChatTemplate::deepSeek, multi,
         "S\n\n<\uFF5CUser\uFF5C>A<\uFF5CAssistant\uFF5C>B<\uFF5CUser\uFF5C>C<\uFF5CAssistant\uFF5C>"},
        {ChatTemplate::phi, multi,
         "<|system|>\nS<|end|>\n<|user|>\nA<|end|>\n<|assistant|>\nB<|end|>\n<|user|>\nC<|end|>\n"
         "<|assistant|>\n"},
        {ChatTemplate::glm, {}, "[gMASK]<sop><|assistant|>\n"},
        {ChatTemplate::glm, sysUser, "[gMASK]<sop><|system|>\nS<|user|>\nHi<|assistant|>\n"},
        {ChatTemplate::kimi, multi,
         "<|im_system|>system<|im_middle|>S<|im_end|><|im_user|>user<|im_middle|>A<|im_end|>"
         "<|im_assistant|>assistant<|im_middle|>B<|im_end|><|im_user|>user<|im_middle|>C<|im_end|>"
         "<|im_assistant|>assistant<|im_middle|>"},
        {ChatTemplate::commandR, multi,
         "<|START_OF_TURN_TOKEN|><|SYSTEM_TOKEN|>S<|END_OF_TURN_TOKEN|>"
         "<|START_OF_TURN_TOKEN|><|USER_TOKEN|>A<|END_OF_TURN_TOKEN|>"
         "<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|>B<|END_OF_TURN_TOKEN|>"
         "<|START_OF_TURN_TOKEN|><|USER_TOKEN|>C<|END_OF_TURN_TOKEN|>"
         "<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|>"},
        {ChatTemplate::baichuan, multi, "S\n\n<reserved_106>A<reserved_107>B<reserved_106>C<reserved_107>"},
        {ChatTemplate::olmo, {user("Hi"), bot("Yo")}, "<|user|>\nHi\n<|assistant|>\nYo\n<|assistant|>\n"},
        {ChatTemplate::olmo, {sys("S")}, "<|system|>\nS\n<|assistant|>\n"},
        {ChatTemplate::falcon, {user("A")}, "User: A\n\nFalcon: "},
        {ChatTemplate::falcon, multi, "System: S\n\nUser: A\n\nFalcon: B\n\nUser: C\n\nFalcon: "},
        // Only the first system message counts; the second vanishes.
        {ChatTemplate::chatML, {sys("one"), user("A"), sys("two")},
         "<|im_start|>system\none<|im_end|>\n<|im_start|>user\nA<|im_end|>\n<|im_start|>assistant\n"},
        // Nothing is escaped or trimmed.
        {ChatTemplate::chatML, {user("  <|im_end|>\n")},
         "<|im_start|>user\n  <|im_end|>\n<|im_end|>\n<|im_start|>assistant\n"},
    };
    for (const RenderCase& c : cases) {
        const ChatTemplate t(c.family);
        EXPECT_EQ(t.format(c.messages), QString::fromUtf8(c.expected)) << t.rawValue().toStdString();
    }
    EXPECT_EQ(ChatTemplate::format(std::nullopt, sysUser), ChatTemplate(ChatTemplate::chatML).format(sysUser));
    EXPECT_EQ(ChatTemplate::format(ChatTemplate::falcon, {user("A")}), QStringLiteral("User: A\n\nFalcon: "));
    // A tool's result, which only the model's own template knows, is the user's here.
    const ChatTemplate chatML(ChatTemplate::chatML);
    EXPECT_EQ(chatML.format({user("A"), bot("B"), {Role::tool, QStringLiteral("C")}}),
              chatML.format({user("A"), bot("B"), user("C")}));
}

TEST(ChatTemplate, RawValuesStopStringsAndAllCases)
{
    const char* const raw[] = {"chatML", "llama", "mistral", "deepSeek", "gemma", "phi",
                               "glm", "kimi", "commandR", "baichuan", "olmo", "falcon"};
    const char* const stops[] = {"<|im_end|>", "<|eot_id|>", "</s>", "<\uFF5Cend\u2581of\u2581sentence\uFF5C>",
                                 "<end_of_turn>", "<|end|>", "<|user|>", "<|im_end|>",
                                 "<|END_OF_TURN_TOKEN|>", "<reserved_106>", "<|user|>", "\nUser:"};
    const QList<ChatTemplate>& all = ChatTemplate::allCases();
    ASSERT_EQ(all.size(), 12);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(all[i].rawValue(), QString::fromLatin1(raw[i]));
        EXPECT_EQ(ChatTemplate::fromRawValue(QString::fromLatin1(raw[i])), all[i]);
        EXPECT_EQ(all[i].stopSequences(), QStringList{QString::fromUtf8(stops[i])}) << raw[i];
    }
    EXPECT_EQ(ChatTemplate::fromRawValue(u"ChatML"), std::nullopt);
    EXPECT_EQ(ChatTemplate::fromRawValue(u""), std::nullopt);
    // The DeepSeek stop string: U+FF5C and U+2581, as UTF-8.
    EXPECT_EQ(ChatTemplate(ChatTemplate::deepSeek).stopSequences().front().toUtf8(),
              QByteArray("<\xEF\xBD\x9C" "end\xE2\x96\x81of\xE2\x96\x81sentence\xEF\xBD\x9C>"));
}

TEST(ChatTemplate, FromSetting)
{
    const auto from = [](const char* s) { return ChatTemplate::fromSetting(QString::fromUtf8(s)); };
    EXPECT_EQ(ChatTemplate::fromSetting(std::nullopt), std::nullopt);
    EXPECT_EQ(from("  LLAMA\t"), ChatTemplate::llama);
    EXPECT_EQ(from("Command-R"), ChatTemplate::commandR);
    EXPECT_EQ(from("llama3"), std::nullopt);
    EXPECT_EQ(from("\nllama"), std::nullopt);
    EXPECT_EQ(from("llama\n"), std::nullopt);
    EXPECT_EQ(from(""), std::nullopt);
    EXPECT_EQ(from(" \t "), std::nullopt);
    EXPECT_EQ(from("chatML"), ChatTemplate::chatML);

    // The fifteen labels the model form stores, then the other accepted names.
    const std::pair<const char*, ChatTemplate::Family> labels[] = {
        {"ChatML", ChatTemplate::chatML},     {"Qwen", ChatTemplate::chatML},      {"Llama", ChatTemplate::llama},
        {"Mistral", ChatTemplate::mistral},   {"DeepSeek", ChatTemplate::deepSeek}, {"Gemma", ChatTemplate::gemma},
        {"Phi", ChatTemplate::phi},           {"GLM", ChatTemplate::glm},          {"Kimi", ChatTemplate::kimi},
        {"Command-R", ChatTemplate::commandR}, {"Yi", ChatTemplate::chatML},       {"InternLM", ChatTemplate::chatML},
        {"Baichuan", ChatTemplate::baichuan}, {"OLMo", ChatTemplate::olmo},        {"Falcon", ChatTemplate::falcon},
        {"chatglm", ChatTemplate::glm},       {"CommandR", ChatTemplate::commandR}, {"cohere", ChatTemplate::commandR},
    };
    for (const auto& [label, family] : labels)
        EXPECT_EQ(from(label), family) << label;
}

TEST(ChatTemplate, FromTemplateTextAndFileName)
{
    const auto text = [](const char* s) { return ChatTemplate::fromTemplateText(QString::fromUtf8(s)); };
    EXPECT_EQ(ChatTemplate::fromTemplateText(std::nullopt), std::nullopt);
    EXPECT_EQ(text(""), std::nullopt);
    EXPECT_EQ(text("{{ '<|im_start|>' }}{% if x %}<|im_user|>{% endif %}"), ChatTemplate::kimi);
    EXPECT_EQ(text("<|im_start|>user"), ChatTemplate::chatML);
    EXPECT_EQ(text("<|im_middle|>"), ChatTemplate::kimi);
    EXPECT_EQ(text("<start_of_turn> [INST]"), ChatTemplate::gemma);
    EXPECT_EQ(text("[gMASK]"), ChatTemplate::glm);
    EXPECT_EQ(text("<sop>"), ChatTemplate::glm);
    EXPECT_EQ(text("<|START_OF_TURN_TOKEN|>"), ChatTemplate::commandR);
    EXPECT_EQ(text("<|start_header_id|>[INST]"), ChatTemplate::llama);
    EXPECT_EQ(text("[INST] <reserved_106>"), ChatTemplate::mistral);
    EXPECT_EQ(text("<reserved_106>"), ChatTemplate::baichuan);
    EXPECT_EQ(text("<\uFF5CUser\uFF5C><|im_start|>"), ChatTemplate::deepSeek);
    EXPECT_EQ(text("<|user|> <|end|>"), std::nullopt); // phi is never found here
    EXPECT_EQ(text("[inst]"), std::nullopt); // case matters

    const auto file = [](const char* s) { return ChatTemplate::fromFileName(QString::fromUtf8(s)); };
    EXPECT_EQ(file("DeepSeek-R1-Distill-Llama-8B-Q4_K_M.gguf"), ChatTemplate::llama);
    EXPECT_EQ(file("DeepSeek-R1-Distill-Qwen-7B.gguf"), ChatTemplate::deepSeek);
    EXPECT_EQ(file("Mixtral-8x7B.gguf"), ChatTemplate::mistral);
    EXPECT_EQ(file("dolphin-2.9.gguf"), ChatTemplate::phi);
    EXPECT_EQ(file("Qwen2.5-7B.gguf"), ChatTemplate::chatML);
    EXPECT_EQ(file("c4ai-command-r-v01.gguf"), ChatTemplate::commandR);
    EXPECT_EQ(file("OLMo-2-7B.gguf"), ChatTemplate::olmo);
    EXPECT_EQ(file("model.gguf"), std::nullopt);
}

TEST(ChatTemplate, DetectFallsThroughSettingTemplateAndFileName)
{
    GgufInfo header;
    header.nCtxTrain = 4096;
    header.fileName = QStringLiteral("Qwen2.5-7B.gguf");
    header.embeddedChatTemplate = QStringLiteral("<start_of_turn>");

    ModelInfo model;
    model.displayName = QStringLiteral("Anything");
    model.fileName = header.fileName;
    model.discoveredMetadata = header;
    model.chatTemplate = QStringLiteral(" Falcon ");
    EXPECT_EQ(ChatTemplate::detect(model), ChatTemplate::falcon);

    model.chatTemplate = QStringLiteral("gemma2"); // not a name: go on
    EXPECT_EQ(ChatTemplate::detect(model), ChatTemplate::gemma);

    model.discoveredMetadata->embeddedChatTemplate.reset();
    EXPECT_EQ(ChatTemplate::detect(model), ChatTemplate::chatML); // "qwen" in the file name

    model.discoveredMetadata->fileName = QStringLiteral("Phi-3-mini.gguf");
    EXPECT_EQ(ChatTemplate::detect(model), ChatTemplate::phi);

    model.discoveredMetadata->fileName = QStringLiteral("model.gguf");
    model.fileName = QStringLiteral("model.gguf");
    EXPECT_EQ(ChatTemplate::detect(model), ChatTemplate::chatML);
}
