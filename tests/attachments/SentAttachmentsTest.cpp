#include "attachments/SentAttachments.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace cvn;

namespace {

using Toasts = std::vector<std::pair<QString, ToastKind>>;

StagedAttachment file(const QString& name, const QString& text, bool isImage = false)
{
    StagedAttachment staged;
    staged.id = QUuid::createUuid();
    staged.originalFilename = name;
    staged.isImage = isImage;
    staged.extractedText = text;
    staged.extracted = true;
    return staged;
}

std::optional<QString> compose(const QList<StagedAttachment>& staged, const QString& text, int64_t context,
                               Toasts& toasts)
{
    return composePrompt(staged, text, context, [&toasts](const QString& message, ToastKind kind) {
        toasts.emplace_back(message, kind);
    });
}

QStringList names(const SentAttachments::Parsed& parsed)
{
    QStringList list;
    for (const SentAttachments::File& f : parsed.files)
        list << f.name;
    return list;
}

} // namespace

TEST(ComposePrompt, BlocksBodyAndMissingText)
{
    Toasts toasts;
    EXPECT_EQ(compose({}, QString(), 4096, toasts), QString());
    EXPECT_EQ(compose({}, QStringLiteral("hi"), 4096, toasts), QStringLiteral("hi"));
    EXPECT_TRUE(toasts.empty());

    const std::optional<QString> one = compose({file(QStringLiteral("a.txt"), QStringLiteral("abc"))}, QStringLiteral("hi"), 1 << 20, toasts);
    EXPECT_EQ(one, QStringLiteral("[Attached file: a.txt]\nabc\n[End file]\n\nhi"));
    EXPECT_EQ(one->size(), 41);
    EXPECT_EQ(compose({file(QStringLiteral("a.txt"), QStringLiteral("abc"))}, QString(), 1 << 20, toasts),
              QStringLiteral("[Attached file: a.txt]\nabc\n[End file]\n\nPlease analyze the attached files."));
    EXPECT_TRUE(toasts.empty());

    StagedAttachment reading = file(QStringLiteral("r.pdf"), QString());
    reading.extracted = false;
    EXPECT_EQ(compose({file(QStringLiteral("p.png"), QString(), true), reading, file(QStringLiteral("b.md"), QStringLiteral("B"))},
                      QStringLiteral("x"), 8192, toasts),
              QStringLiteral("[Attached file: b.md]\nB\n[End file]\n\nx"));
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("No text found in image p.png — nothing to send to model"), ToastKind::error},
                               {QStringLiteral("Couldn't extract text from r.pdf"), ToastKind::error}}));

    toasts.clear();
    EXPECT_EQ(compose({reading}, QString(), 8192, toasts), std::nullopt);
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("Couldn't extract text from r.pdf"), ToastKind::error},
                               {QStringLiteral("Attachments contain no readable text — nothing to send"), ToastKind::error}}));
    // Typed text alone still goes out.
    toasts.clear();
    EXPECT_EQ(compose({reading}, QStringLiteral("hi"), 8192, toasts), QStringLiteral("hi"));

    // A line break in a name would end the header early; it becomes a blank.
    const std::optional<QString> odd = compose({file(QStringLiteral("a]\nb\r.txt"), QStringLiteral("t"))}, QStringLiteral("hi"), 8192, toasts);
    EXPECT_EQ(odd, QStringLiteral("[Attached file: a] b .txt]\nt\n[End file]\n\nhi"));
    EXPECT_EQ(names(SentAttachments::parse(*odd)), QStringList {QStringLiteral("a] b .txt")});
}

TEST(ComposePrompt, BudgetCutsTheAssembledBlocks)
{
    Toasts toasts;
    const std::optional<QString> cut = compose({file(QStringLiteral("big.txt"), QString(2000, u'x'))}, QStringLiteral("hi"), 2000, toasts);
    EXPECT_EQ(cut, QStringLiteral("[Attached file: big.txt]\n") + QString(975, u'x')
                  + QStringLiteral("\n[...attachment text truncated to fit context...]\nhi"));
    EXPECT_EQ(toasts, (Toasts {{QStringLiteral("Attachments truncated to fit model context (1000 of 2038 chars used)"), ToastKind::info}}));
    const SentAttachments::Parsed parsed = SentAttachments::parse(*cut);
    EXPECT_EQ(names(parsed), QStringList {QStringLiteral("big.txt")});
    EXPECT_EQ(parsed.text, QStringLiteral("hi"));

    // Budgets: 2333 → 1000, 2334 → 1002; a context below 2000 still has 1000.
    // With 2000, a 1,000-character block (962 × "x") fits; 963 does not.
    const auto budgetCut = [&](int64_t context, int xs) {
        toasts.clear();
        const QString prompt = *compose({file(QStringLiteral("big.txt"), QString(xs, u'q'))}, QString(), context, toasts);
        return prompt.count(u'q');
    };
    EXPECT_EQ(budgetCut(2000, 962), 962);
    EXPECT_TRUE(toasts.empty());
    EXPECT_EQ(budgetCut(2000, 963), 963); // the cut falls inside the end line
    EXPECT_EQ(toasts.size(), 1u);
    EXPECT_EQ(budgetCut(2333, 5000), 1000 - 25);
    EXPECT_EQ(budgetCut(2334, 5000), 1002 - 25);
    EXPECT_EQ(budgetCut(0, 5000), 1000 - 25);
    EXPECT_EQ(budgetCut(-5'000'000'000'000'000'000LL, 5000), 1000 - 25);
    EXPECT_EQ(budgetCut(INT64_MAX, 5000), 5000);

    // Counted on the whole: the CR ending a text joins the LF after it, so
    // this block is 1,000 characters, not 1,001.
    toasts.clear();
    const QString withCr = QString(962, u'x') + QLatin1Char('\r');
    compose({file(QStringLiteral("big.txt"), withCr)}, QString(), 2000, toasts);
    EXPECT_TRUE(toasts.empty());
    // Characters, not code units: 962 accented letters are 1,924 units.
    toasts.clear();
    compose({file(QStringLiteral("big.txt"), QStringLiteral("e\u0301").repeated(962))}, QString(), 2000, toasts);
    EXPECT_TRUE(toasts.empty());
}

TEST(SentAttachments, ParseIsTheInverseOfCompose)
{
    Toasts toasts;
    const std::optional<QString> two = compose({file(QStringLiteral("a.txt"), QStringLiteral("one")), file(QStringLiteral("b.pdf"), QStringLiteral("two\n"))},
                                               QString(), 1 << 20, toasts);
    SentAttachments::Parsed parsed = SentAttachments::parse(*two);
    EXPECT_EQ(names(parsed), (QStringList {QStringLiteral("a.txt"), QStringLiteral("b.pdf")}));
    EXPECT_EQ(parsed.text, QStringLiteral("Please analyze the attached files."));

    // A cut inside the second block: the first is listed by its end line, the
    // second by the marker.
    const std::optional<QString> cut = compose({file(QStringLiteral("a.txt"), QString(100, u'a')), file(QStringLiteral("b.txt"), QString(2000, u'b')),
                                                file(QStringLiteral("c.txt"), QStringLiteral("c"))},
                                               QStringLiteral("q"), 2000, toasts);
    parsed = SentAttachments::parse(*cut);
    EXPECT_EQ(names(parsed), (QStringList {QStringLiteral("a.txt"), QStringLiteral("b.txt")}));
    EXPECT_EQ(parsed.text, QStringLiteral("q"));

    parsed = SentAttachments::parse(QStringLiteral("[Attached file: x"));
    EXPECT_TRUE(parsed.files.isEmpty());
    EXPECT_EQ(parsed.text, QStringLiteral("[Attached file: x"));
    parsed = SentAttachments::parse(QStringLiteral("hello"));
    EXPECT_TRUE(parsed.files.isEmpty());
    EXPECT_EQ(parsed.text, QStringLiteral("hello"));
    // A header that never closes stays text, after the blocks that did.
    parsed = SentAttachments::parse(QStringLiteral("[Attached file: a]\nA\n[End file]\n\n[Attached file: b]\nno end"));
    EXPECT_EQ(names(parsed), QStringList {QStringLiteral("a")});
    EXPECT_EQ(parsed.text, QStringLiteral("[Attached file: b]\nno end"));
    // The end line inside a file's text splits it there.
    parsed = SentAttachments::parse(*compose({file(QStringLiteral("f"), QStringLiteral("x\n[End file]\n\ny"))}, QStringLiteral("hi"), 1 << 20, toasts));
    EXPECT_EQ(names(parsed), QStringList {QStringLiteral("f")});
    EXPECT_EQ(parsed.text, QStringLiteral("y\n[End file]\n\nhi"));
    // Case-sensitive.
    parsed = SentAttachments::parse(QStringLiteral("[attached file: a]\nA\n[End file]\n\nhi"));
    EXPECT_TRUE(parsed.files.isEmpty());
}
