#include "app/DeepLink.h"

#include <gtest/gtest.h>

using namespace cvn;

namespace {

struct Row {
    const char* url;
    std::optional<QString> toast;
    QString lastLog;
    bool raised = true;
};

const QString add = DeepLink::addModelToast;
const QString missing = DeepLink::missingRepoToast;
const QString invalid = DeepLink::invalidRepoToast;

} // namespace

TEST(DeepLink, AnswersEachKindOfLink)
{
    const std::vector<Row> rows = {
        {"corvanthelis://open?action=add-model&repo=acme/tiny-model", add, "add-model: repo=acme/tiny-model"},
        {"TROMELVASK://x?ACTION=%20View-Model%09&Repo=acme/m.v2_x-1", DeepLink::viewModelToast,
         "view-model: repo=acme/m.v2_x-1"},
        {"corvanthelis://HEALTH?action=add-model&repo=a/b", std::nullopt, "health check", false},
        {"corvanthelis://user@Health:99/path?action=add-model&repo=a/b", std::nullopt, "health check", false},
        {"corvanthelis://x?action=add-model", missing, "add-model: missing repo parameter"},
        {"corvanthelis://x?action=view-model&repo=%20%20", missing, "view-model: missing repo parameter"},
        {"corvanthelis://x?action=add-model&repo=a/b/c", invalid, "add-model: rejected repo reference 'a/b/c'"},
        {"corvanthelis://x?action=add-model&repo=.a/b", invalid, "add-model: rejected repo reference '.a/b'"},
        {"corvanthelis://x?action=add-model&repo=a%20b/c", invalid, "add-model: rejected repo reference 'a b/c'"},
        {"corvanthelis://x?action=add-model&repo=a+b/c", invalid, "add-model: rejected repo reference 'a b/c'"},
        {"corvanthelis://x?action=add-model&repo=a%2Bb/c", invalid, "add-model: rejected repo reference 'a+b/c'"},
        {"corvanthelis://x?action=add-model&repo=+a/b+", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=x/y&repo=a/b", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=caf%C3%A9/x", invalid,
         QStringLiteral("add-model: rejected repo reference 'caf\u00E9/x'")},
        // "$" would let the line feed through; it is refused and logged on one line.
        {"corvanthelis://x?action=add-model&repo=a/b%0A", invalid, "add-model: rejected repo reference 'a/b\\n'"},
        {"corvanthelis://x?%61ction=add-model&REPO=a/b", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=add-model&repo=a/b#repo=c/d", add, "add-model: repo=a/b"},
        {"corvanthelis://x?action=delete&repo=a/b", std::nullopt, "unknown action 'delete'; opening default view"},
        {"https://x/?action=add-model&repo=a/b", std::nullopt, "unexpected scheme 'https'; opening default view"},
        {"no-scheme-here", std::nullopt, "unexpected scheme ''; opening default view"},
        {"corvanthelis://x", std::nullopt, "no action in query; opening default view"},
        {"corvanthelis://x?action=%20%09", std::nullopt, "no action in query; opening default view"},
    };
    for (const Row& row : rows) {
        const QString url = QString::fromUtf8(row.url);
        const DeepLink::Outcome outcome = DeepLink::handle(url);
        SCOPED_TRACE(row.url);
        ASSERT_GE(outcome.log.size(), 2);
        EXPECT_EQ(outcome.log.first(), QStringLiteral("activated: ") + url);
        EXPECT_EQ(outcome.log.last(), row.lastLog);
        EXPECT_EQ(outcome.toast, row.toast);
        EXPECT_EQ(outcome.raiseWindow, row.raised);
    }

    const DeepLink::Outcome bare = DeepLink::handle(std::nullopt);
    EXPECT_EQ(bare.log, QStringList{"activation with no URL; opening default view"});
    EXPECT_TRUE(bare.raiseWindow);
    EXPECT_FALSE(bare.toast);
}

TEST(DeepLink, MalformedParametersAreSkippedOneByOne)
{
    const DeepLink::Outcome outcome = DeepLink::handle(QStringLiteral("corvanthelis://x?action=add-model&repo=%zz"));
    EXPECT_EQ(outcome.log, QStringList({"activated: corvanthelis://x?action=add-model&repo=%zz",
                                        "skipping malformed query parameter 'repo=%zz'",
                                        "add-model: missing repo parameter"}));
    EXPECT_EQ(outcome.toast, missing);

    QStringList log;
    const auto query = DeepLink::parseQuery(QStringLiteral("corvanthelis://x?a=1&&b=%2B+x&=z&c&d=%C3%28&e=%4"), &log);
    EXPECT_EQ(query, (QHash<QString, QString>{{"a", "1"}, {"b", "+ x"}}));
    EXPECT_EQ(log, QStringList({"skipping malformed query parameter 'd=%C3%28'",
                                "skipping malformed query parameter 'e=%4'"}));
    EXPECT_TRUE(DeepLink::parseQuery(QStringLiteral("corvanthelis://x?")).isEmpty());
}

TEST(DeepLink, LongTextsAreCutForTheLog)
{
    const QString part96(96, QLatin1Char('a'));
    EXPECT_EQ(DeepLink::handle(QStringLiteral("corvanthelis://x?action=add-model&repo=%1/%1").arg(part96)).toast, add);

    const QString owner97(97, QLatin1Char('b'));
    const QString tooLong = owner97 + QStringLiteral("/x");
    const DeepLink::Outcome refused = DeepLink::handle(QStringLiteral("corvanthelis://x?action=add-model&repo=") + tooLong);
    EXPECT_EQ(refused.toast, invalid);
    EXPECT_EQ(refused.log.last(),
              QStringLiteral("add-model: rejected repo reference '%1...'").arg(tooLong.left(64)));

    const DeepLink::Outcome action = DeepLink::handle(QStringLiteral("corvanthelis://x?action=") + QString(60, 'a'));
    EXPECT_EQ(action.log.last(),
              QStringLiteral("unknown action '%1...'; opening default view").arg(QString(48, QLatin1Char('a'))));

    QString url = QStringLiteral("corvanthelis://x?action=");
    url += QString(300 - url.size(), QLatin1Char('z'));
    EXPECT_EQ(DeepLink::handle(url).log.first(), QStringLiteral("activated: ") + url.left(256) + QStringLiteral("..."));
    // Exactly at the limit minus one: whole.
    EXPECT_EQ(DeepLink::forLog(QString(256, 'q'), DeepLink::urlLogLimit), QString(256, 'q'));
}

TEST(DeepLink, TrimmingKeepsLineBreaksAndDecodingIsStrict)
{
    EXPECT_EQ(DeepLink::trimmedSpaces(QStringLiteral("\t\u00A0\u3000 a b \t")), "a b");
    EXPECT_EQ(DeepLink::trimmedSpaces(QStringLiteral("\na\r\n")), "\na\r\n");
    EXPECT_EQ(DeepLink::percentDecoded(u"a%2fb%C3%A9"), QStringLiteral("a/b\u00E9"));
    for (const char16_t* bad : {u"%", u"%4", u"%g0", u"%FF", u"%C3", u"%ED%A0%80"})
        EXPECT_FALSE(DeepLink::percentDecoded(bad)) << QString::fromUtf16(bad).toStdString();
    EXPECT_EQ(DeepLink::forLog(QStringLiteral("a\r\x01\tb"), 49), "a\\r\\x01\\tb");
}
