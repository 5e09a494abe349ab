#include "bridge/Json.h"
#include "platform/Utf8Decoder.h"

#include <charconv>
#include <cmath>

namespace cvn {

Json Json::boolean(bool value)
{
    return Json(Value(std::in_place_type<bool>, value));
}

Json Json::integer(int64_t value)
{
    return Json(Value(std::in_place_type<int64_t>, value));
}

Json Json::gb(double value)
{
    return Json(Value(Gb{value}));
}

Json Json::string(std::string_view utf8)
{
    return Json(Value(sanitizeUtf8(utf8)));
}

Json Json::string(const QString& text)
{
    // toUtf8 turns a lone surrogate into U+FFFD already; sanitising again
    // keeps the one rule in one place.
    const QByteArray bytes = text.toUtf8();
    return string(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

Json Json::object(std::vector<std::pair<std::string_view, Json>> members)
{
    Object pairs;
    pairs.reserve(members.size());
    for (auto& [key, value] : members)
        pairs.emplace_back(sanitizeUtf8(key), std::move(value));
    return Json(Value(std::move(pairs)));
}

Json Json::null()
{
    return Json(Value(Null{}));
}

std::string Json::render() const
{
    std::string out;
    renderInto(out);
    return out;
}

void Json::renderInto(std::string& out) const
{
    char digits[64];
    if (const bool* flag = std::get_if<bool>(&m_value)) {
        out += *flag ? "true" : "false";
    } else if (const int64_t* number = std::get_if<int64_t>(&m_value)) {
        const auto result = std::to_chars(digits, digits + sizeof digits, *number);
        out.append(digits, result.ptr);
    } else if (const Gb* size = std::get_if<Gb>(&m_value)) {
        if (!std::isfinite(size->value)) {
            out += "null";
            return;
        }
        // to_chars ignores the C locale, unlike printf("%.1f").
        const auto result = std::to_chars(digits, digits + sizeof digits, size->value,
                                          std::chars_format::fixed, 1);
        if (result.ec == std::errc())
            out.append(digits, result.ptr);
        else
            out += "null"; // beyond 1e60 GB: not a size any machine reports
    } else if (const std::string* text = std::get_if<std::string>(&m_value)) {
        out += escapeString(*text);
    } else if (const Object* members = std::get_if<Object>(&m_value)) {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : *members) {
            if (!first)
                out += ',';
            first = false;
            out += escapeString(key);
            out += ':';
            value.renderInto(out);
        }
        out += '}';
    } else {
        out += "null";
    }
}

std::string Json::escapeString(std::string_view utf8)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xF];
            } else {
                out += c; // bytes of multi-byte characters never fall below 0x80
            }
        }
    }
    out += '"';
    return out;
}

std::string Json::sanitizeUtf8(std::string_view utf8)
{
    return Utf8Decoder::decode(utf8).toStdString();
}

} // namespace cvn
