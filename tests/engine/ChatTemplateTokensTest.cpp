// Rendered prompts through real tokenizers: each family's markers must reach
// the model as its special tokens, not as spelled-out text.

#include "engine/ChatTemplate.h"
#include "engine/LlamaModel.h"

#include "TestModelWriter.h"
#include "support/TempEnv.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace cvn;

namespace {

struct FamilyVocab {
    ChatTemplate::Family family;
    const char* vocab; // llama.cpp's models/ggml-vocab-<name>.gguf
    std::vector<std::string> markers;
    bool markersAreSpecial = true;
};

std::shared_ptr<LlamaModel> modelOn(const std::string& vocab)
{
    const QString path = cvn::test::makeTempFolder(QStringLiteral("vocab")) + QStringLiteral("/model.gguf");
    testmodel::RandomSpec spec;
    spec.shape.embd = 32;
    spec.shape.ff = 64;
    spec.shape.layers = 1;
    spec.shape.heads = 2;
    spec.shape.headsKv = 2;
    spec.type = testmodel::WeightType::f16;
    const std::string error =
        testmodel::writeRandomModel(path.toStdString(), testmodel::vocabPath(vocab), spec);
    EXPECT_EQ(error, "") << vocab;
    return LlamaModel::load(path, 256, 0, 2);
}

qsizetype occurrences(const QString& text, const std::string& marker)
{
    return text.count(QString::fromStdString(marker));
}

} // namespace

TEST(ChatTemplateTokens, MarkersBecomeSingleSpecialTokens)
{
    const QList<ChatMessage> conversation = {{ChatMessage::Role::system, QStringLiteral("Be brief.")},
                                             {ChatMessage::Role::user, QStringLiteral("Hi")},
                                             {ChatMessage::Role::assistant, QStringLiteral("Hello!")},
                                             {ChatMessage::Role::user, QStringLiteral("Why?")}};
    const FamilyVocab cases[] = {
        {ChatTemplate::llama, "llama-bpe", {"<|begin_of_text|>", "<|start_header_id|>", "<|end_header_id|>", "<|eot_id|>"}},
        {ChatTemplate::chatML, "qwen2", {"<|im_start|>", "<|im_end|>"}},
        {ChatTemplate::phi, "phi-3", {"<|system|>", "<|user|>", "<|assistant|>", "<|end|>"}},
        {ChatTemplate::commandR, "command-r",
         {"<|START_OF_TURN_TOKEN|>", "<|SYSTEM_TOKEN|>", "<|USER_TOKEN|>", "<|CHATBOT_TOKEN|>",
          "<|END_OF_TURN_TOKEN|>"}},
        // llama.cpp's Baichuan vocabulary lists "<reserved_106>" and
        // "<reserved_107>" as normal tokens, so the tokenizer spells them out
        // ("▁<", "res", "erved", …) even with special parsing on.
        {ChatTemplate::baichuan, "baichuan", {"<reserved_106>", "<reserved_107>"}, false},
    };
    for (const FamilyVocab& c : cases) {
        SCOPED_TRACE(c.vocab);
        const std::shared_ptr<LlamaModel> model = modelOn(c.vocab);
        ASSERT_TRUE(model);
        const QString prompt = ChatTemplate(c.family).format(conversation);
        const std::vector<int32_t> tokens = model->tokenize(prompt.toStdString());
        for (const std::string& marker : c.markers) {
            const int32_t id = testmodel::tokenId(testmodel::vocabPath(c.vocab), marker);
            ASSERT_GE(id, 0) << marker;
            EXPECT_GT(occurrences(prompt, marker), 0) << marker;
            EXPECT_EQ(std::count(tokens.begin(), tokens.end(), id), c.markersAreSpecial ? occurrences(prompt, marker) : 0)
                << marker;
        }
        // The stop string is a token the model can emit.
        const std::string stop = ChatTemplate(c.family).stopSequences().front().toStdString();
        EXPECT_GE(testmodel::tokenId(testmodel::vocabPath(c.vocab), stop), 0) << stop;
        model->free();
    }
}

TEST(ChatTemplateTokens, ExactSequencesOfKnownVocabularies)
{
    const QList<ChatMessage> hi = {{ChatMessage::Role::user, QStringLiteral("Hi")}};

    // Qwen2: <|im_start|> user \n Hi <|im_end|> \n <|im_start|> assistant \n
    const auto qwen = modelOn("qwen2");
    const std::vector<int32_t> chatML = qwen->tokenize(ChatTemplate(ChatTemplate::chatML).format(hi).toStdString());
    ASSERT_GE(chatML.size(), 5u);
    EXPECT_EQ(std::vector<int32_t>(chatML.begin(), chatML.begin() + 3), (std::vector<int32_t>{151644, 872, 198}));
    EXPECT_EQ(chatML[4], 151645);
    EXPECT_EQ(chatML.back(), 198);

    // Llama 3: the prompt opens with <|begin_of_text|> and the vocabulary adds
    // one too; the run decodes a single one.
    const auto llama = modelOn("llama-bpe");
    const std::vector<int32_t> llama3 = llama->tokenize(ChatTemplate(ChatTemplate::llama).format(hi).toStdString());
    ASSERT_GE(llama3.size(), 3u);
    EXPECT_EQ(llama3[0], 128000);
    EXPECT_EQ(llama3[1], 128006);
}
