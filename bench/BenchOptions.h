#pragma once

// Option parsing shared by the benchmarks.

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace cvn::bench {

// True when any argument asks for the usage (--help or -h), wherever it
// stands: the usage wins over every other argument, bad ones included.
inline bool asksForHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return true;
    }
    return false;
}

// A whole number >= `least`, or none for anything else ("8x", "", "-1").
inline std::optional<long> parseCount(const std::string& text, long least = 1)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long value = std::stol(text);
    if (value < least)
        return std::nullopt;
    return value;
}

// "2,8" → {2, 8}; none when any entry is not a count >= 1.
inline std::optional<std::vector<long>> parseCountList(const std::string& text)
{
    std::vector<long> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const std::optional<long> value = parseCount(item);
        if (!value)
            return std::nullopt;
        values.push_back(*value);
    }
    if (values.empty() || text.back() == ',')
        return std::nullopt;
    return values;
}

// The thread counts measured by default: 2 and every core, since a count
// equal to the core count behaves unlike any smaller one.
inline std::vector<long> defaultThreadCounts()
{
    const long cores = long(std::max(1u, std::thread::hardware_concurrency()));
    if (cores == 2)
        return {2};
    return {2, cores};
}

} // namespace cvn::bench
