#include "apiserver/RequestGathering.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace cvn::api {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// The line at `at`, without its end; `next` gets where the one after it
// begins. Nothing while the line has not ended.
std::optional<std::string_view> lineAt(std::string_view bytes, std::size_t at, std::size_t& next)
{
    const std::size_t end = bytes.find('\n', at);
    if (end == npos)
        return std::nullopt;
    next = end + 1;
    std::string_view line = bytes.substr(at, end - at);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool contains(std::string_view text, std::string_view word)
{
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == y;
           }) != text.end();
}

// Whether the chunks from `at` end within `bytes`.
Gathered chunksFrom(std::string_view bytes, std::size_t at, std::size_t maxBody)
{
    std::size_t body = 0;
    for (;;) {
        std::size_t next = 0;
        const std::optional<std::string_view> line = lineAt(bytes, at, next);
        if (!line)
            return Gathered::more;
        std::size_t size = 0;
        std::size_t digits = 0;
        for (const char c : *line) {
            if (c == ';' || c == ' ' || c == '\t')
                break;
            const int value = std::isxdigit(static_cast<unsigned char>(c)) ? (std::isdigit(static_cast<unsigned char>(c))
                                                                                   ? c - '0'
                                                                                   : std::tolower(c) - 'a' + 10)
                                                                             : -1;
            if (value < 0 || ++digits > 15)
                return Gathered::handOver;
            size = size * 16 + std::size_t(value);
        }
        if (digits == 0)
            return Gathered::handOver;
        if (size == 0) {
            // Trailer lines, up to an empty one.
            for (at = next;;) {
                const std::optional<std::string_view> trailer = lineAt(bytes, at, next);
                if (!trailer)
                    return Gathered::more;
                if (trailer->empty())
                    return Gathered::whole;
                at = next;
            }
        }
        body += size;
        if (body > maxBody)
            return Gathered::handOver;
        at = next + size;
        if (at >= bytes.size())
            return Gathered::more;
        const std::optional<std::string_view> end = lineAt(bytes, at, next);
        if (!end)
            return Gathered::more;
        if (!end->empty())
            return Gathered::handOver;
        at = next;
    }
}

Gathered judged(std::string_view bytes, std::size_t maxBody)
{
    std::size_t at = 0;
    std::size_t next = 0;
    if (!lineAt(bytes, at, next))
        return Gathered::more;
    std::optional<std::size_t> length;
    bool chunked = false;
    for (at = next;; at = next) {
        const std::optional<std::string_view> line = lineAt(bytes, at, next);
        if (!line)
            return Gathered::more;
        if (line->empty())
            break;
        const std::size_t colon = line->find(':');
        if (colon == npos)
            return Gathered::handOver;
        const std::string_view name = trimmed(line->substr(0, colon));
        const std::string_view value = trimmed(line->substr(colon + 1));
        if (sameName(name, "Expect"))
            return Gathered::handOver;
        if (sameName(name, "Transfer-Encoding")) {
            chunked = contains(value, "chunked");
        } else if (sameName(name, "Content-Length")) {
            std::size_t parsed = 0;
            if (value.empty() || value.size() > 15)
                return Gathered::handOver;
            for (const char c : value) {
                if (c < '0' || c > '9')
                    return Gathered::handOver;
                parsed = parsed * 10 + std::size_t(c - '0');
            }
            if ((length && *length != parsed) || parsed > maxBody)
                return Gathered::handOver;
            length = parsed;
        }
    }
    if (chunked)
        return chunksFrom(bytes, next, maxBody);
    return bytes.size() - next >= length.value_or(0) ? Gathered::whole : Gathered::more;
}

} // namespace

Gathered gathered(std::string_view bytes, std::size_t maxBody)
{
    const Gathered verdict = judged(bytes, maxBody);
    return verdict == Gathered::more && bytes.size() >= kMostGathered ? Gathered::handOver : verdict;
}

} // namespace cvn::api
