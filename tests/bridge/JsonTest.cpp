#include "bridge/Json.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using cvn::Json;

TEST(Json, GbRendersOneDecimalInEveryLocale)
{
    const auto renderAll = [] {
        return std::vector<std::string>{Json::gb(16.0).render(), Json::gb(0.5).render(),
                                        Json::gb(0.05).render(), Json::gb(0.25).render(),
                                        Json::gb(1234567.0).render()};
    };
    const std::vector<std::string> expected{"16.0", "0.5", "0.1", "0.2", "1234567.0"};
    EXPECT_EQ(renderAll(), expected);

    // A locale with a decimal comma and digit grouping must not leak in.
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(renderAll(), expected);
    }
    std::setlocale(LC_ALL, previous.c_str());

    EXPECT_EQ(Json::gb(std::numeric_limits<double>::quiet_NaN()).render(), "null");
    EXPECT_EQ(Json::gb(std::numeric_limits<double>::infinity()).render(), "null");
    EXPECT_EQ(Json::gb(-std::numeric_limits<double>::infinity()).render(), "null");
}

TEST(Json, IntegersAndLiterals)
{
    EXPECT_EQ(Json::integer(0).render(), "0");
    EXPECT_EQ(Json::integer(-42).render(), "-42");
    EXPECT_EQ(Json::integer(std::numeric_limits<int64_t>::min()).render(), "-9223372036854775808");
    EXPECT_EQ(Json::integer(std::numeric_limits<int64_t>::max()).render(), "9223372036854775807");
    EXPECT_EQ(Json::boolean(true).render(), "true");
    EXPECT_EQ(Json::boolean(false).render(), "false");
    EXPECT_EQ(Json::null().render(), "null");
}

TEST(Json, StringEscapes)
{
    EXPECT_EQ(Json::string(std::string_view("a\nb\tc\"d\x01\\")).render(), "\"a\\nb\\tc\\\"d\\u0001\\\\\"");
    EXPECT_EQ(Json::string(std::string_view("\r\x0c\x08\x1f")).render(), "\"\\r\\u000C\\u0008\\u001F\"");
    EXPECT_EQ(Json::string(std::string_view("\0", 1)).render(), "\"\\u0000\"");
    // DEL, non-ASCII and "/" are copied as they are.
    EXPECT_EQ(Json::string(QStringLiteral("\x7f é 😀 /")).render(), "\"\x7f é 😀 /\"");
    EXPECT_EQ(Json::string(std::string_view()).render(), "\"\"");
    EXPECT_EQ(Json::escapeString("x"), "\"x\"");
}

TEST(Json, InvalidUtf8BecomesReplacementCharacters)
{
    // The decoder's cases are its own; here only that strings and keys pass
    // through it.
    const std::string fffd = "\xEF\xBF\xBD";
    // A byte-order mark is valid text, kept wherever it stands.
    const std::string mark = "\xEF\xBB\xBF";
    EXPECT_EQ(Json::string(std::string_view(mark + "a" + mark)).render(), "\"" + mark + "a" + mark + "\"");
    EXPECT_EQ(Json::object({{mark, Json::null()}}).render(), "{\"" + mark + "\":null}");
    EXPECT_EQ(Json::string(std::string_view("\xFF")).render(), "\"" + fffd + "\"");
    EXPECT_EQ(Json::object({{"\xFE", Json::null()}}).render(), "{\"" + fffd + "\":null}");
}

TEST(Json, ObjectsKeepOrderAndNest)
{
    EXPECT_EQ(Json::object({{"b", Json::integer(1)}, {"a", Json::null()}}).render(), "{\"b\":1,\"a\":null}");
    EXPECT_EQ(Json::object({}).render(), "{}");
    EXPECT_EQ(Json::object({{"x", Json::integer(1)}, {"x", Json::integer(2)}}).render(), "{\"x\":1,\"x\":2}");
    const Json ram = Json::object(
        {{"ram", Json::object({{"total_gb", Json::gb(16.0)}, {"free_gb", Json::gb(7.3)}})}});
    EXPECT_EQ(ram.render(), "{\"ram\":{\"total_gb\":16.0,\"free_gb\":7.3}}");
}
