// Random inputs built from the characters that drive both readers.

#include "rendering/Markdown.h"
#include "rendering/SyntaxHighlight.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

QString randomText(QRandomGenerator& random, int length, bool withCarriageReturns)
{
    static const QString alphabet[] = {
        QStringLiteral("*"), QStringLiteral("_"), QStringLiteral("`"), QStringLiteral("|"),
        QStringLiteral("#"), QStringLiteral(">"), QStringLiteral("-"), QStringLiteral(":"),
        QStringLiteral("~"), QStringLiteral("\\"), QStringLiteral("\""), QStringLiteral("'"),
        QStringLiteral("/"), QStringLiteral("."), QStringLiteral(" "), QStringLiteral(" "),
        QStringLiteral("\t"), QStringLiteral("\n"), QStringLiteral("\n"), QStringLiteral("1"),
        QStringLiteral("9"), QStringLiteral("x"), QStringLiteral("if"), QStringLiteral("\u00e9"),
        QStringLiteral("\u4e09"), QStringLiteral("\u0301"), QStringLiteral("\U0001F600"), QStringLiteral("\u3000"),
        QStringLiteral("\u00b2"), QStringLiteral("\r"),
    };
    const int choices = int(std::size(alphabet)) - (withCarriageReturns ? 0 : 1);
    QString text;
    for (int k = 0; k < length; ++k)
        text += alphabet[random.bounded(choices)];
    return text;
}

// The invariants every block list keeps, whatever the input.
void expectWellFormed(const std::vector<Markdown::Block>& blocks, const QString& input)
{
    const auto wellFormedSpans = [&](const Markdown::Spans& spans) {
        for (const Markdown::Span& span : spans)
            EXPECT_TRUE(span.code || !span.text.isEmpty()) << input.toStdString();
    };
    for (const Markdown::Block& block : blocks) {
        if (const auto* heading = std::get_if<Markdown::Heading>(&block)) {
            EXPECT_GE(heading->level, 1);
            EXPECT_LE(heading->level, 6);
            wellFormedSpans(heading->spans);
        } else if (const auto* bullet = std::get_if<Markdown::Bullet>(&block)) {
            EXPECT_FALSE(bullet->items.empty());
            for (const auto& item : bullet->items)
                wellFormedSpans(item);
        } else if (const auto* numbered = std::get_if<Markdown::Numbered>(&block)) {
            EXPECT_FALSE(numbered->items.empty());
            for (const auto& item : numbered->items) {
                EXPECT_TRUE(item.marker.endsWith(u'.'));
                wellFormedSpans(item.spans);
            }
        } else if (const auto* table = std::get_if<Markdown::Table>(&block)) {
            EXPECT_FALSE(table->header.empty());
            EXPECT_EQ(table->alignments.size(), table->header.size());
            for (const auto& row : table->rows)
                EXPECT_EQ(row.size(), table->header.size());
        } else if (const auto* paragraph = std::get_if<Markdown::Paragraph>(&block)) {
            EXPECT_FALSE(paragraph->spans.empty());
            wellFormedSpans(paragraph->spans);
        } else if (const auto* quote = std::get_if<Markdown::Quote>(&block)) {
            wellFormedSpans(quote->spans);
        }
    }
}

} // namespace

TEST(RenderingProperties, ParserKeepsItsInvariantsOnRandomInput)
{
    QRandomGenerator random(7);
    for (int round = 0; round < 3000; ++round) {
        const QString text = randomText(random, random.bounded(1, 120), true);
        expectWellFormed(Markdown::parse(text), text);

        // Inline spans never hold more than the text did.
        qsizetype spanLength = 0;
        for (const auto& span : Markdown::parseInline(text))
            spanLength += span.text.size();
        EXPECT_LE(spanLength, text.size());
        if (HasFailure())
            FAIL() << "round " << round;
    }
}

TEST(RenderingProperties, CrLfTextParsesLikeLfText)
{
    QRandomGenerator random(8);
    for (int round = 0; round < 2000; ++round) {
        const QString text = randomText(random, random.bounded(1, 120), false);
        QString windows = text;
        windows.replace(u'\n', QStringLiteral("\r\n"));
        ASSERT_TRUE(Markdown::parse(text) == Markdown::parse(windows)) << text.toStdString();
    }
}

TEST(RenderingProperties, HighlighterTokensRebuildTheCode)
{
    const char* const languages[] = {"swift", "python", "javascript", "bash", "c", "rust", "go", "json", "none"};
    QRandomGenerator random(9);
    for (int round = 0; round < 3000; ++round) {
        const QString code = randomText(random, random.bounded(0, 120), true);
        const QString language = QString::fromLatin1(languages[round % std::size(languages)]);
        const auto tokens = SyntaxHighlight::tokenize(code, language);
        QString joined;
        for (size_t k = 0; k < tokens.size(); ++k) {
            EXPECT_FALSE(tokens[k].text.isEmpty());
            if (k > 0) {
                EXPECT_FALSE(tokens[k].kind == SyntaxHighlight::Kind::plain
                             && tokens[k - 1].kind == SyntaxHighlight::Kind::plain);
            }
            joined += tokens[k].text;
        }
        ASSERT_EQ(joined, code) << language.toStdString();
        if (HasFailure())
            FAIL() << language.toStdString() << ": " << code.toStdString();
    }
}

TEST(RenderingProperties, LongHostileInputsFinish)
{
    QRandomGenerator random(10);
    QString markers;
    for (int k = 0; k < 50000; ++k)
        markers += QChar(u"*_`|"[random.bounded(4)]);
    expectWellFormed(Markdown::parse(markers), QStringLiteral("50,000 markers"));

    const QString unclosedFence = QStringLiteral("```\n") + QStringLiteral("x\n").repeated(100000);
    const auto blocks = Markdown::parse(unclosedFence);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(std::get<Markdown::Code>(blocks[0]).text.size(), 200000);

    const QString table = QStringLiteral("|a|b|\n|-|-|\n") + QStringLiteral("|1|2|\n").repeated(10000);
    const auto tableBlocks = Markdown::parse(table);
    ASSERT_EQ(tableBlocks.size(), 1u);
    EXPECT_EQ(std::get<Markdown::Table>(tableBlocks[0]).rows.size(), 10000u);
}
