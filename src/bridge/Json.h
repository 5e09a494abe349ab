#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace cvn {

// A compact JSON value for the documents the bridge serves: object keys keep
// the order they were given in and numbers render the same in every locale,
// so each document is predictable byte for byte.
//
// Strings are held as UTF-8; invalid sequences become U+FFFD when the value
// is made, so a rendering is always valid UTF-8.
class Json {
public:
    static Json boolean(bool value);
    static Json integer(int64_t value);
    // A size in gigabytes, rendered with one decimal ("16.0"); NaN and the
    // infinities render as null.
    static Json gb(double value);
    static Json string(std::string_view utf8);
    static Json string(const QString& text);
    static Json object(std::vector<std::pair<std::string_view, Json>> members);
    static Json null();

    // The compact text of the value.
    std::string render() const;

    // The string in double quotes with JSON escapes: \r \n \t \" \\ and
    // \u00XX for the other control characters; everything else raw.
    static std::string escapeString(std::string_view utf8);

    // `utf8` with every ill-formed subsequence replaced by U+FFFD.
    static std::string sanitizeUtf8(std::string_view utf8);

private:
    using Object = std::vector<std::pair<std::string, Json>>;
    struct Null {};
    struct Gb {
        double value = 0;
    };
    using Value = std::variant<bool, int64_t, Gb, std::string, Object, Null>;
    explicit Json(Value value)
        : m_value(std::move(value))
    {
    }
    void renderInto(std::string& out) const;

    Value m_value;
};

} // namespace cvn
