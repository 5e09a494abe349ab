#include "engine/CouncilMentions.h"

#include "engine/LlamaModel.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::CouncilMentions;

namespace {

ModelInfo model(const char* displayName, const char* fileName = "")
{
    ModelInfo m;
    m.displayName = QString::fromUtf8(displayName);
    m.fileName = QString::fromUtf8(fileName);
    return m;
}

QStringList names(const QList<ModelInfo>& models)
{
    QStringList out;
    for (const ModelInfo& m : models)
        out.append(m.displayName);
    return out;
}

QString u8(const char* text)
{
    return QString::fromUtf8(text);
}

} // namespace

TEST(CouncilMentions, NameKeys)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Qwen2.5-7B-Instruct-Q4_K_M", "qwen2 5 7b instruct"},
        {"qwen2.5 7b instruct", "qwen2 5 7b instruct"},
        {"QWEN2_5-7B-INSTRUCT.BF16", "qwen2 5 7b instruct"},
        {"Q4_K_M", ""},
        {"q4_k_m", ""},
        {"-._ ", ""},
        {"Llama\u20133\u00A08B", "llama 3 8b"},       // en dash, no-break space
        {"Llama\u20143\u20118B\u2010IQ3_XS", "llama 3 8b"}, // em dash, non-breaking hyphen, hyphen
        {"Phi-3 \u00B7 F16", "phi 3"},
        {"Mistral-7B-v0.3-f32.gguf", "mistral 7b v0 3 gguf"},
        {"Mistral-7B-f32x", "mistral 7b f32x"}, // a tag must end at a separator or the end
        {"Q4ever", ""}, // shaped like a tag, so it is one
        {"Qwen\nQ8_0", "qwen"},
    };
    for (const auto& [name, key] : cases)
        EXPECT_EQ(normalize(u8(name)), u8(key)) << name;
}

TEST(CouncilMentions, FindingAndResolving)
{
    const ModelInfo llama3 = model("Llama 3", "Meta-Llama-3-Q4_K_M.gguf");
    const ModelInfo llama3b = model("Llama 3 8B");
    const ModelInfo renamed = model("My helper", "Qwen2.5-7B-Instruct-Q4_K_M.gguf");
    const QList<ModelInfo> models = {llama3, llama3b, renamed};

    EXPECT_TRUE(mentions(u8("no mentions here"), models).isEmpty());

    const QString text = u8("@llama-3 and @Llama_3, @qwen2.5-7b-instruct. @zz @Q4_K_M e@mail");
    const QList<Mention> found = mentions(text, models);
    ASSERT_EQ(found.size(), 6);
    EXPECT_EQ(found[0].range, (Range{0, 8}));
    EXPECT_EQ(found[0].token, u8("llama-3"));
    EXPECT_EQ(found[0].model->id, llama3.id);
    EXPECT_EQ(found[1].model->id, llama3.id);
    EXPECT_EQ(found[2].token, u8("qwen2.5-7b-instruct.")); // the full stop is part of the token
    EXPECT_EQ(found[2].model->id, renamed.id); // by file stem
    EXPECT_FALSE(found[3].model);
    EXPECT_FALSE(found[4].model); // empty key
    EXPECT_EQ(found[5].token, u8("mail")); // a mention may start inside a word
    EXPECT_FALSE(found[5].model);

    EXPECT_EQ(names(mentionedModels(text, models)), (QStringList{u8("Llama 3"), u8("My helper")}));
    EXPECT_EQ(unresolvedTokens(text, models), (QStringList{u8("zz"), u8("mail")}));
    EXPECT_EQ(resolvedMentions(text, models), (QList<Range>{{0, 8}, {13, 8}, {23, 21}}));

    // The display name wins over a later model's file stem, list order decides.
    const QList<ModelInfo> shadow = {model("Other", "Llama 3 8B.gguf"), llama3b};
    EXPECT_EQ(mentions(u8("@llama-3-8b"), shadow)[0].model->displayName, u8("Other"));

    // Unicode word characters, and no models at all.
    const QList<Mention> unicode = mentions(u8("@café au lait"), {});
    ASSERT_EQ(unicode.size(), 1);
    EXPECT_EQ(unicode[0].token, u8("café"));
    EXPECT_FALSE(unicode[0].model);
    EXPECT_EQ(unresolvedTokens(u8("@a @a"), {}), (QStringList{u8("a"), u8("a")}));

    // Ranges are UTF-16 offsets: the emoji counts two units.
    const QList<Range> ranges = resolvedMentions(u8("\xF0\x9F\x98\x80 @qwen"), {model("qwen")});
    EXPECT_EQ(ranges, QList<Range>{(Range{3, 5})});
}

TEST(CouncilMentions, StrippingAndNotFound)
{
    const QList<ModelInfo> qwen = {model("Qwen")};
    EXPECT_EQ(stripMentions(u8("@Qwen please   explain @zz"), qwen), u8("please explain @zz"));
    EXPECT_EQ(stripMentions(u8("  what is\n\t@qwen. 2+2?  "), qwen), u8("what is 2+2?"));
    EXPECT_EQ(stripMentions(u8("@Qwen"), qwen), u8(""));
    EXPECT_EQ(stripMentions(u8("mail@qwen.org"), qwen), u8("mail@qwen.org")); // "qwen org" is not "qwen"

    QList<ModelInfo> eight;
    for (int i = 1; i <= 8; ++i)
        eight.append(model(qPrintable(QStringLiteral("M%1").arg(i))));
    EXPECT_EQ(notFoundMessage(u8("zz"), eight), u8("Model @zz not found. Available: @M1, @M2, @M3, @M4, @M5, @M6"));
    EXPECT_EQ(notFoundMessage(u8("zz"), eight.first(2)), u8("Model @zz not found. Available: @M1, @M2"));
    EXPECT_EQ(notFoundMessage(u8("zz"), {}), u8("Model @zz not found. Available: (none)"));
}

TEST(CouncilMentions, ActiveTokenAtTheCaret)
{
    EXPECT_EQ(activeToken(u8("ask @qw"), 7), (ActiveToken{4, u8("qw")}));
    EXPECT_EQ(activeToken(u8("ask @qw"), 6), (ActiveToken{4, u8("q")}));
    EXPECT_EQ(activeToken(u8("ask @qw x"), 9), std::nullopt);
    EXPECT_EQ(activeToken(u8("@"), 1), (ActiveToken{0, u8("")}));
    EXPECT_EQ(activeToken(u8("@"), 0), std::nullopt);
    EXPECT_EQ(activeToken(u8("no at"), 5), std::nullopt);
    EXPECT_EQ(activeToken(u8("@a\nb"), 4), std::nullopt);
    EXPECT_EQ(activeToken(u8("@a\rb"), 4), std::nullopt);
    EXPECT_EQ(activeToken(u8("@a\tb"), 4), (ActiveToken{0, u8("a\tb")})); // only blanks and line ends stop it
    EXPECT_EQ(activeToken(u8("@x @yz"), 100), (ActiveToken{3, u8("yz")})); // caret clamped
    EXPECT_EQ(activeToken(u8("@x"), -5), std::nullopt);
    // Characters outside the BMP take two UTF-16 units.
    EXPECT_EQ(activeToken(u8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80 @\xF0\x9F\x98\x80q"), 9),
              (ActiveToken{5, u8("\xF0\x9F\x98\x80q")}));
}

TEST(CouncilMentions, CompletionCandidatesAndHandles)
{
    const QList<ModelInfo> models = {model("Small Llama"), model("Llama 3"), model("Mistral")};
    EXPECT_EQ(names(completionCandidates(u8("ll"), models)), (QStringList{u8("Llama 3"), u8("Small Llama")}));
    EXPECT_EQ(names(completionCandidates(u8(""), models)), names(models));
    EXPECT_EQ(names(completionCandidates(u8("small_l"), models)), QStringList{u8("Small Llama")});
    EXPECT_TRUE(completionCandidates(u8("gemma"), models).isEmpty());
    // Two records of one name are both offered (identity is the id).
    const QList<ModelInfo> twins = {model("Phi"), model("Phi")};
    EXPECT_EQ(completionCandidates(u8("p"), twins).size(), 2);

    EXPECT_EQ(mentionHandle(u8("Qwen2.5 7B \u00B7 Q4")), u8("Qwen2.5_7B_Q4"));
    EXPECT_EQ(normalize(mentionHandle(u8("Qwen2.5 7B \u00B7 Q4"))), u8("qwen2 5 7b"));
    EXPECT_EQ(normalize(u8("Qwen2.5 7B \u00B7 Q4")), u8("qwen2 5 7b"));
    EXPECT_EQ(mentionHandle(u8("  Llama\u00B73   8B \n")), u8("Llama_3_8B"));
    // A picked handle resolves back to its model.
    const QList<ModelInfo> picked = {model("Qwen2.5 7B \u00B7 Q4")};
    EXPECT_EQ(mentionedModels(QLatin1Char('@') + mentionHandle(picked[0].displayName) + u8(" hi"), picked).size(), 1);
}

TEST(CouncilMentions, FailureReasons)
{
    ModelInfo member = model("Eight", "eight.gguf");
    GgufInfo header;
    header.nCtxTrain = 8192;
    header.nEmbd = 4096;
    header.nLayers = 32;
    header.nHead = 32;
    header.nHeadKv = 8;
    header.fileSizeMb = 4096;
    header.fileName = member.fileName;
    member.discoveredMetadata = header;
    // 4096 MB of weights, a 1024 MB f16 cache at 8192 tokens, 1180 MB besides.
    const QString ramReason = u8("Not enough RAM (needs ~6.2 GB, have 1.5 GB free)");

    EXPECT_EQ(failureReason(LoadError::fileNotReadable(u8("/models/x.gguf")), member, 1536),
              u8("Model file corrupt or unreadable"));
    EXPECT_EQ(failureReason(LoadError::contextInitFailed(), member, 1536), ramReason);
    EXPECT_EQ(failureReason(LoadError::modelLoadFailed(), member, 1536), u8("Model file corrupt or unreadable"));
    EXPECT_EQ(failureReason(u8("ALLOC failed"), member, 1536), ramReason);
    EXPECT_EQ(failureReason(u8("no KVSlot"), member, 1536), ramReason);
    EXPECT_EQ(failureReason(u8("Template Load"), member, 1536), u8("Chat template incompatible with this model"));
    EXPECT_EQ(failureReason(u8("file is Corrupt"), member, 1536), u8("Model file corrupt or unreadable"));
    EXPECT_EQ(failureReason(u8("boom"), member, 1536), u8("Loading failed"));
    EXPECT_EQ(failureReason(u8(""), member, 1536), u8("Loading failed"));
    EXPECT_EQ(failureReason(u8("out of memory"), member, 0),
              u8("Not enough RAM (needs ~6.2 GB, have 0.0 GB free)"));
    // The overload without a figure samples free memory and keeps the form.
    EXPECT_TRUE(failureReason(u8("memory"), member).startsWith(u8("Not enough RAM (needs ~")));
}
