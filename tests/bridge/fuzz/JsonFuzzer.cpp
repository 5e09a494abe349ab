// Json rendering under libFuzzer: a value tree built from the input (any
// bytes as strings, any doubles including NaN) must render as strict JSON
// that Qt parses, and every string, as a value and as a key, must render as
// exactly the bytes that ICU's own conversion makes of it, escaped.
#include "bridge/Json.h"

#include <QJsonDocument>

#include <unicode/ustring.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* why)
{
    // stderr: unbuffered, so the line survives the abort.
    std::fprintf(stderr, "invariant broken: %s\n", why);
    std::abort();
}

struct Reader {
    const uint8_t* data;
    size_t size;

    uint8_t byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    std::string bytes(size_t count)
    {
        count = std::min(count, size);
        std::string out(reinterpret_cast<const char*>(data), count);
        data += count;
        size -= count;
        return out;
    }
};

cvn::Json build(Reader& in, int depth, std::vector<std::string>& strings)
{
    switch (in.byte() % 6) {
    case 0:
        return cvn::Json::boolean(in.byte() & 1);
    case 1: {
        int64_t value = 0;
        const std::string raw = in.bytes(8);
        std::memcpy(&value, raw.data(), raw.size());
        return cvn::Json::integer(value);
    }
    case 2: {
        double value = 0;
        const std::string raw = in.bytes(8);
        std::memcpy(&value, raw.data(), raw.size());
        return cvn::Json::gb(value);
    }
    case 3: {
        std::string raw = in.bytes(in.byte());
        strings.push_back(raw);
        return cvn::Json::string(std::string_view(raw));
    }
    case 4: {
        if (depth >= 8)
            return cvn::Json::null();
        std::vector<std::string> keys;
        std::vector<cvn::Json> values;
        const int count = in.byte() % 6;
        for (int i = 0; i < count; ++i) {
            keys.push_back(in.bytes(in.byte() % 16));
            strings.push_back(keys.back());
            values.push_back(build(in, depth + 1, strings));
        }
        std::vector<std::pair<std::string_view, cvn::Json>> members;
        for (int i = 0; i < count; ++i)
            members.emplace_back(keys[i], values[i]);
        return cvn::Json::object(std::move(members));
    }
    default:
        return cvn::Json::null();
    }
}

// The oracle, independent of our decoder: ICU turns each maximal ill-formed
// subpart into U+FFFD and keeps every valid character, U+FEFF included.
std::string viaIcu(const std::string& raw)
{
    UErrorCode status = U_ZERO_ERROR;
    // A byte gives at most one UTF-16 unit, a UTF-16 unit at most 3 bytes.
    std::vector<UChar> units(raw.size() + 1);
    int32_t unitCount = 0;
    u_strFromUTF8WithSub(units.data(), int32_t(units.size()), &unitCount, raw.data(), int32_t(raw.size()),
                         0xFFFD, nullptr, &status);
    std::string out(3 * std::size_t(unitCount) + 1, '\0');
    int32_t byteCount = 0;
    u_strToUTF8(out.data(), int32_t(out.size()), &byteCount, units.data(), unitCount, &status);
    if (U_FAILURE(status))
        fail("ICU conversion failed");
    out.resize(std::size_t(byteCount));
    return out;
}

// The string between `before` and `after` in `rendered`, its escapes undone;
// fails on anything JSON would not read back as that string.
std::string unescaped(const std::string& rendered, std::string_view before, std::string_view after)
{
    if (rendered.size() < before.size() + after.size() || !rendered.starts_with(before)
        || !rendered.ends_with(after))
        fail("rendering has the wrong frame");
    const std::string_view body(rendered.data() + before.size(), rendered.size() - before.size() - after.size());
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (c == '"' || c < 0x20)
            fail("unescaped quote or control byte");
        if (c != '\\') {
            out += char(c);
            continue;
        }
        if (++i >= body.size())
            fail("escape cut short");
        switch (body[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'u': {
            // Only control characters are written as \u escapes.
            if (i + 4 >= body.size() || body.substr(i + 1, 2) != "00")
                fail("unexpected \\u escape");
            const std::string hex(body.substr(i + 3, 2));
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end != hex.c_str() + 2 || value >= 0x20)
                fail("bad \\u escape");
            out += char(value);
            i += 4;
            break;
        }
        default:
            fail("unknown escape");
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    std::vector<std::string> strings;
    const cvn::Json value = build(in, 0, strings);
    const std::string text = cvn::Json::object({{"v", value}}).render();

    QJsonParseError error{};
    QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError)
        fail("rendering is not valid JSON");

    for (const std::string& raw : strings) {
        const std::string expected = viaIcu(raw);
        const std::string asValue = cvn::Json::object({{"s", cvn::Json::string(std::string_view(raw))}}).render();
        if (unescaped(asValue, R"({"s":")", R"("})") != expected)
            fail("string value differs from ICU's conversion");
        const std::string asKey = cvn::Json::object({{raw, cvn::Json::null()}}).render();
        if (unescaped(asKey, R"({")", R"(":null})") != expected)
            fail("key differs from ICU's conversion");
    }
    return 0;
}
