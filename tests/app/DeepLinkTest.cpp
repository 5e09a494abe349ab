#include "app/DeepLink.h"

#include <gtest/gtest.h>

using namespace cvn;

namespace {

struct Row {
    QString url;
    std::optional<QString> toast;
    QString lastLog;
    bool raised = true;
};

const QString add = "Adding models from the website is coming in a later update.";
const QString view = "Opening models from the website is coming in a later update.";
const QString missing = "Missing model reference";
const QString invalid = "That model link is not valid";

} // namespace

TEST(DeepLink, AnswersEachKindOfLink)
{
    const QString link = QStringLiteral("corvanthelis://x?action=add-model&repo=");
    const std::vector<Row> rows = {
        {"corvanthelis://open?action=add-model&repo=acme/tiny-model", add, "add-model: repo=acme/tiny-model"},
        {"TROMELVASK://x?ACTION=%20View-Model%09&Repo=acme/m.v2_x-1", view, "view-model: repo=acme/m.v2_x-1"},
        {"corvanthelis://HEALTH?action=add-model&repo=a/b", std::nullopt, "health check", false},
        {"corvanthelis://user@Health:99/path?action=add-model&repo=a/b", std::nullopt, "health check", false},
        {"corvanthelis://x?action=add-model", missing, "add-model: missing repo parameter"},
        {"corvanthelis://x?action=view-model&repo=%20%20", missing, "view-model: missing repo parameter"},
        {"corvanthelis://x?action=add-model&repo=a/b/c", invalid, "add-model: rejected repo reference 'a/b/c'"},
        {"corvanthelis://x?action=add-model&repo=.a/b", invalid, "add-model: rejected repo reference '.a/b'"},
        {"corvanthelis://x?action=add-model&repo=a%20b/c", invalid, "add-model: rejected repo reference 'a b/c'"},
        {"corvanthelis://x?action=add-model&repo=a+b/c", invalid, "add-model: rejected repo reference 'a b/c'"},
        {"corvanthelis://x?action=add-model&repo=a%2Bb/c", invalid, "add-model: rejected repo reference 'a+b/c'"},
        {"corvanthelis://x?action=add-model&repo=%C2%A0a/b%09%E3%80%80", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=x/y&repo=a/b", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=caf%C3%A9/x", invalid,
         QStringLiteral("add-model: rejected repo reference 'caf\u00E9/x'")},
        // "$" would let the line feed through; it is refused and logged on one line.
        {"corvanthelis://x?action=add-model&repo=a/b%0A", invalid, "add-model: rejected repo reference 'a/b\\n'"},
        {"corvanthelis://x?%61ction=add-model&REPO=a/b", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=a/b#repo=c/d", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=delete&repo=a/b", std::nullopt, "unknown action 'delete'; opening default view"},
        {"https://x/?action=add-model&repo=a/b", std::nullopt, "unexpected scheme 'https'; opening default view"},
        {"corvanthelis://x?action=%20%09", std::nullopt, "no action in query; opening default view"},
        // A broken escape skips its parameter only.
        {"corvanthelis://x?action=add-model&repo=%zz", missing, "add-model: missing repo parameter"},
        // Each part of a reference may be 96 characters long; texts are cut for the log.
        {link + QString(96, 'a') + "/" + QString(96, 'b'), add,
         "add-model: repo=" + QString(96, 'a') + "/" + QString(96, 'b')},
        {link + QString(97, 'b') + "/x", invalid, "add-model: rejected repo reference '" + QString(64, 'b') + "...'"},
        {"corvanthelis://x?action=" + QString(60, 'a'), std::nullopt,
         "unknown action '" + QString(48, 'a') + "...'; opening default view"},
    };
    for (const Row& row : rows) {
        const DeepLink::Outcome outcome = DeepLink::handle(row.url);
        SCOPED_TRACE(row.url.toStdString());
        ASSERT_GE(outcome.log.size(), 2);
        EXPECT_EQ(outcome.log.first(), "activated: " + row.url);
        EXPECT_EQ(outcome.log.last(), row.lastLog);
        EXPECT_EQ(outcome.toast, row.toast);
        EXPECT_EQ(outcome.raiseWindow, row.raised);
    }

    const DeepLink::Outcome bare = DeepLink::handle(std::nullopt);
    EXPECT_EQ(bare.log, QStringList{"activation with no URL; opening default view"});
    EXPECT_TRUE(bare.raiseWindow);
    EXPECT_FALSE(bare.toast);
}

TEST(DeepLink, MalformedParametersAreSkippedAndLongUrlsCut)
{
    QStringList log;
    const auto query = DeepLink::parseQuery(QStringLiteral("corvanthelis://x?a=1&&b=%2B+x&=z&c&d=%C3%28&e=%4"), &log);
    EXPECT_EQ(query, (QHash<QString, QString>{{"a", "1"}, {"b", "+ x"}}));
    EXPECT_EQ(log, QStringList({"skipping malformed query parameter 'd=%C3%28'",
                                "skipping malformed query parameter 'e=%4'"}));

    const QString url = "corvanthelis://x?action=" + QString(276, 'z'); // 300 characters
    EXPECT_EQ(DeepLink::handle(url).log.first(), "activated: " + url.left(256) + "...");
    EXPECT_EQ(DeepLink::handle(url.left(256)).log.first(), "activated: " + url.left(256));
}
