#include "apiserver/SchemaCheck.h"

#include <json-schema-to-grammar.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

namespace cvn::api {

namespace {

using json = common_json;

// Keywords that ask something of a value. Where the converter does not read
// one, its grammar lets through values the schema refuses; the others
// (title, description, default, examples, $defs, format names it does not
// know…) say nothing it would have to hold.
const std::set<std::string, std::less<>> kConstraints = {
    "$ref", "additionalProperties", "allOf", "anyOf", "const", "contains", "dependencies", "dependentRequired",
    "dependentSchemas", "else", "enum", "exclusiveMaximum", "exclusiveMinimum", "if", "items", "maxContains",
    "maxItems", "maxLength", "maxProperties", "maximum", "minContains", "minItems", "minLength", "minProperties",
    "minimum", "multipleOf", "not", "oneOf", "pattern", "patternProperties", "prefixItems", "properties",
    "propertyNames", "required", "then", "type", "unevaluatedItems", "unevaluatedProperties", "uniqueItems"};

// The type a keyword speaks of, where it speaks of one: on a value of
// another type it asks nothing.
std::string_view familyOf(std::string_view key)
{
    static const std::set<std::string_view, std::less<>> strings = {"minLength", "maxLength", "pattern"};
    static const std::set<std::string_view, std::less<>> numbers = {"minimum", "maximum", "exclusiveMinimum",
                                                                    "exclusiveMaximum", "multipleOf"};
    static const std::set<std::string_view, std::less<>> arrays = {"items", "prefixItems", "minItems", "maxItems",
                                                                   "uniqueItems", "contains", "minContains",
                                                                   "maxContains", "unevaluatedItems"};
    static const std::set<std::string_view, std::less<>> objects = {
        "properties", "required", "additionalProperties", "minProperties", "maxProperties", "patternProperties",
        "propertyNames", "dependentRequired", "dependentSchemas", "dependencies", "unevaluatedProperties"};
    if (strings.count(key)) return "string";
    if (numbers.count(key)) return "number";
    if (arrays.count(key)) return "array";
    if (objects.count(key)) return "object";
    return {};
}

QString where(const std::string& path)
{
    return path == "#" ? QString() : QStringLiteral(" (at %1)").arg(QString::fromStdString(path));
}

QString quoted(const std::string& text)
{
    constexpr size_t kShown = 60;
    return QStringLiteral("\"%1\"").arg(text.size() <= kShown ? QString::fromStdString(text)
                                                              : QString::fromStdString(text.substr(0, kShown)) + "…");
}

bool isCount(const json& value)
{
    return value.is_number_integer() && value.get<long long>() >= 0;
}

// As the converter's own helper: how long the escape at `pos` is in a
// grammar, or 0 when a grammar has no such escape.
size_t grammarEscapeLength(std::string_view pattern, size_t pos)
{
    if (pos + 1 >= pattern.size() || pattern[pos] != '\\')
        return 0;
    size_t hex = 0;
    switch (pattern[pos + 1]) {
    case 'x': hex = 2; break;
    case 'u': hex = 4; break;
    case 'U': hex = 8; break;
    case 't': case 'r': case 'n': case '\\': case '"': case '[': case ']': case '-': return 2;
    default: return 0;
    }
    if (pos + 2 + hex > pattern.size())
        return 0;
    for (size_t i = pos + 2; i < pos + 2 + hex; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(pattern[i])))
            return 0;
    return 2 + hex;
}

// A count of digits only, capped well past any limit so that it cannot overflow.
std::optional<long long> digits(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    long long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = std::min(n * 10 + (c - '0'), 1'000'000'000LL);
    }
    return n;
}

// `{m,n}` of a pattern or a grammar, as the reader would take it.
std::optional<QString> repeatProblem(const std::string& written, long long least, std::optional<long long> most)
{
    if (most && least > *most)
        return QStringLiteral("%1 asks for at least %2 and at most %3 repetitions, and %2 is larger than %3")
            .arg(QString::fromStdString(written))
            .arg(least)
            .arg(*most);
    if (least > maxGrammarRepeats || (most && *most > maxGrammarRepeats))
        return QStringLiteral("%1 repeats a part more than %2 times, the most the reply's grammar holds")
            .arg(QString::fromStdString(written))
            .arg(maxGrammarRepeats);
    return std::nullopt;
}

// The converter's reading of a pattern, step for step: what it would drop
// (and let any string through in its place) or refuse.
std::optional<QString> patternProblem(const std::string& pattern)
{
    const QString name = QStringLiteral("its pattern %1").arg(quoted(pattern));
    const auto unheld = [&](const QString& why) {
        return QStringLiteral("%1 %2, which the reply's grammar cannot hold").arg(name, why);
    };
    const auto invalid = [&](const QString& why) { return QStringLiteral("%1 is not a valid pattern: %2").arg(name, why); };
    if (pattern.size() < 2 || pattern.front() != '^' || pattern.back() != '$')
        return unheld(QStringLiteral("is not anchored with ^ and $"));
    const std::string_view sub = std::string_view(pattern).substr(1, pattern.size() - 2);
    int depth = 0;
    bool canRepeat = false;
    for (size_t i = 0; i < sub.size();) {
        const char c = sub[i];
        if (c == '.') {
            ++i;
            canRepeat = true;
        } else if (c == '(') {
            ++i;
            if (i < sub.size() && sub[i] == '?') {
                if (i + 1 >= sub.size() || sub[i + 1] != ':')
                    return unheld(QStringLiteral("has a lookaround, a named group or flags"));
                i += 2;
            }
            if (++depth > 100)
                return unheld(QStringLiteral("nests groups more than 100 deep"));
            canRepeat = false;
        } else if (c == ')') {
            ++i;
            if (depth-- == 0)
                return invalid(QStringLiteral("a ')' closes no group"));
            canRepeat = true;
        } else if (c == '^' || c == '$') {
            return unheld(QStringLiteral("has an anchor inside it"));
        } else if (c == '[') {
            for (++i; i < sub.size() && sub[i] != ']';) {
                if (sub[i] != '\\') {
                    ++i;
                    continue;
                }
                const size_t length = grammarEscapeLength(sub, i);
                if (length == 0)
                    return unheld(QStringLiteral("uses the escape %1 in a character class")
                                      .arg(QString::fromUtf8(sub.substr(i, 2).data(), int(std::min<size_t>(2, sub.size() - i)))));
                i += length;
            }
            if (i >= sub.size())
                return invalid(QStringLiteral("a character class does not end"));
            ++i;
            canRepeat = true;
        } else if (c == '|') {
            ++i;
            canRepeat = false;
        } else if (c == '*' || c == '+' || c == '?') {
            if (!canRepeat)
                return invalid(QStringLiteral("'%1' has nothing to repeat").arg(QLatin1Char(c)));
            ++i;
        } else if (c == '{') {
            const size_t close = sub.find('}', i);
            if (close == std::string_view::npos)
                return unheld(QStringLiteral("has a '{' that does not close"));
            const std::string written(sub.substr(i, close + 1 - i));
            const std::string_view inside = sub.substr(i + 1, close - i - 1);
            i = close + 1;
            const size_t comma = inside.find(',');
            std::optional<long long> least, most;
            if (comma == std::string_view::npos) {
                least = most = digits(inside);
            } else if (inside.find(',', comma + 1) == std::string_view::npos) {
                least = comma == 0 ? std::optional<long long>(0) : digits(inside.substr(0, comma));
                if (comma + 1 < inside.size())
                    most = digits(inside.substr(comma + 1));
            }
            if (!least || (comma != std::string_view::npos && comma + 1 < inside.size() && !most))
                return unheld(QStringLiteral("has %1, which is not a count of repetitions").arg(QString::fromStdString(written)));
            if (!canRepeat)
                return invalid(QStringLiteral("%1 has nothing to repeat").arg(QString::fromStdString(written)));
            if (const std::optional<QString> why = repeatProblem(written, *least, most))
                return QStringLiteral("in %1, %2").arg(name, *why);
        } else if (c == '\\') {
            if (i + 1 >= sub.size())
                return invalid(QStringLiteral("it ends with a backslash"));
            if (std::string_view("^$.[]()|{}*+?").find(sub[i + 1]) != std::string_view::npos) {
                i += 2;
            } else {
                const size_t length = grammarEscapeLength(sub, i);
                if (length == 0)
                    return unheld(QStringLiteral("uses the escape %1").arg(QString::fromUtf8(sub.substr(i, 2).data(), 2)));
                i += length;
            }
            canRepeat = true;
        } else if (c == ']' || c == '}') {
            return unheld(QStringLiteral("has a '%1' that opens nothing").arg(QLatin1Char(c)));
        } else {
            ++i;
            canRepeat = true;
        }
    }
    if (depth != 0)
        return invalid(QStringLiteral("a '(' is never closed"));
    return std::nullopt;
}

bool hasProperties(const json& node)
{
    return node.contains("properties")
           || (node.contains("additionalProperties") && node.at("additionalProperties") != json(true));
}

bool knownFormat(const json& node)
{
    if (!node.contains("format") || !node.at("format").is_string())
        return false;
    const std::string format = node.at("format").get<std::string>();
    return format == "date" || format == "time" || format == "date-time" || format == "uuid"
           || (format.size() == 5 && format.rfind("uuid", 0) == 0 && format[4] >= '1' && format[4] <= '5');
}

bool ofType(const json& value, const std::string& type)
{
    if (type == "string") return value.is_string();
    if (type == "integer") return value.is_number_integer();
    if (type == "number") return value.is_number();
    if (type == "boolean") return value.is_boolean();
    if (type == "null") return value.is_null();
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    return true;
}

// A schema that takes every string and asks nothing more.
bool onlyStrings(const json& schema)
{
    if (!schema.is_object() || schema.value("type", json()) != json("string"))
        return false;
    for (const auto& [key, value] : schema.items())
        if (key != "type" && kConstraints.count(key))
            return false;
    return true;
}

class Walker {
public:
    explicit Walker(const json& root) : m_root(root) {}

    // `chain`: the $refs followed since the last value began. One met again
    // on it would leave the grammar a rule that is only itself.
    std::optional<QString> walk(const json& node, const std::string& path, std::vector<std::string>& chain)
    {
        if (!node.is_object())
            return std::nullopt; // the converter says why
        // This walk and the converter's both go one call deeper for each
        // level, on a connection's thread and its stack.
        struct Deeper {
            int& depth;
            explicit Deeper(int& d) : depth(++d) {}
            ~Deeper() { --depth; }
        } deeper(m_depth);
        if (m_depth > kDeepest)
            return QStringLiteral("it nests schemas more than %1 levels deep%2").arg(kDeepest).arg(where(path));
        if (node.contains("$ref"))
            return ref(node, path, chain);
        if (node.contains("oneOf") || node.contains("anyOf")) {
            const std::string key = node.contains("oneOf") ? "oneOf" : "anyOf";
            if (auto why = unheld(node, path, {key}))
                return why;
            return each(node.at(key), path + '/' + key, chain);
        }
        const json type = node.contains("type") ? node.at("type") : json();
        if (type.is_array()) {
            // The converter builds the whole schema again for each type it
            // lists: one listed twice, nested, would cost it exponential time.
            std::set<std::string> listed;
            for (const json& one : type)
                if (!listed.insert(one.dump()).second)
                    return QStringLiteral("its type lists %1 twice%2").arg(QString::fromStdString(one.dump()), where(path));
            for (size_t i = 0; i < type.size(); ++i) {
                json one = node;
                one["type"] = type[i];
                if (auto why = walk(one, path + "/type/" + std::to_string(i), chain))
                    return why;
            }
            return std::nullopt;
        }
        if (!type.is_null() && !type.is_string())
            return std::nullopt;
        const std::string typeName = type.is_string() ? type.get<std::string>() : std::string();
        if (node.contains("const"))
            return unheld(node, path, {"const", "type"});
        if (node.contains("enum"))
            return enumeration(node, path, typeName);

        if (typeName.empty()) {
            if (hasProperties(node))
                return object(node, path);
            if (node.contains("allOf"))
                return allOf(node, path, chain);
            if (node.contains("items") || node.contains("prefixItems"))
                return array(node, path);
            if (node.contains("pattern") || node.contains("minLength") || node.contains("maxLength") || knownFormat(node))
                return string(node, path);
            return unheld(node, path, {});
        }
        if (typeName == "object")
            return !hasProperties(node) && node.contains("allOf") ? allOf(node, path, chain) : object(node, path);
        if (typeName == "string")
            return node.contains("allOf") ? allOf(node, path, chain) : string(node, path);
        if (typeName == "array")
            return array(node, path);
        if (typeName == "integer")
            return integer(node, path);
        if (typeName == "number")
            return number(node, path);
        return unheld(node, path, {"type"}, typeName);
    }

private:
    // The first keyword of `node` that asks something and that the converter
    // does not read beside `held`.
    static std::optional<QString> unheld(const json& node, const std::string& path, std::set<std::string> held,
                                         std::string_view type = {})
    {
        const std::string_view family = type == "integer" ? std::string_view("number") : type;
        for (const auto& [key, value] : node.items()) {
            if (!family.empty() && !familyOf(key).empty() && familyOf(key) != family)
                continue;
            // These ask nothing when so: every key of a JSON object is a
            // string already (zod's records say so).
            const bool idle = (key == "uniqueItems" && value == json(false))
                              || (key == "additionalProperties" && value == json(true))
                              || (key == "propertyNames" && onlyStrings(value));
            if (held.count(key) || !kConstraints.count(key) || idle)
                continue;
            return QStringLiteral("its \"%1\"%2 cannot be held by the reply's grammar")
                .arg(QString::fromStdString(key), where(path));
        }
        return std::nullopt;
    }

    static std::optional<QString> contradiction(const json& node, const std::string& path, const char* least,
                                                const char* most, const QString& tail = {})
    {
        if (!node.contains(least) || !node.contains(most) || !node.at(least).is_number() || !node.at(most).is_number())
            return std::nullopt;
        if (node.at(least).get<double>() <= node.at(most).get<double>())
            return std::nullopt;
        return QStringLiteral("%1 %2 is larger than %3 %4%5%6")
            .arg(QLatin1String(least), QString::fromStdString(node.at(least).dump()), QLatin1String(most),
                 QString::fromStdString(node.at(most).dump()), tail, where(path));
    }

    // minX against maxX, and each against what the reader counts.
    static std::optional<QString> counts(const json& node, const std::string& path, const char* least, const char* most)
    {
        if (auto why = contradiction(node, path, least, most))
            return why;
        for (const char* key : {least, most})
            if (node.contains(key) && isCount(node.at(key)) && node.at(key).get<long long>() > maxGrammarRepeats)
                return QStringLiteral("%1 %2 is more than %3, the most the reply's grammar holds%4")
                    .arg(QLatin1String(key), QString::fromStdString(node.at(key).dump()))
                    .arg(maxGrammarRepeats)
                    .arg(where(path));
        return std::nullopt;
    }

    std::optional<QString> each(const json& list, const std::string& path, std::vector<std::string>& chain)
    {
        if (!list.is_array())
            return std::nullopt;
        for (size_t i = 0; i < list.size(); ++i)
            if (auto why = walk(list[i], path + '/' + std::to_string(i), chain))
                return why;
        return std::nullopt;
    }

    // A value begins inside it: the $refs followed so far no longer count.
    std::optional<QString> inner(const json& node, const std::string& path)
    {
        std::vector<std::string> chain;
        return walk(node, path, chain);
    }

    const json* target(const std::string& ref) const
    {
        const json* at = &m_root;
        size_t from = 2;
        while (from <= ref.size()) {
            const size_t slash = std::min(ref.find('/', from), ref.size());
            const std::string part = ref.substr(from, slash - from);
            if (at->is_object() && at->contains(part)) {
                at = &at->at(part);
            } else if (at->is_array()) {
                const std::optional<long long> index = digits(part);
                if (!index || size_t(*index) >= at->size())
                    return nullptr;
                at = &at->at(size_t(*index));
            } else {
                return nullptr;
            }
            from = slash + 1;
        }
        return at;
    }

    std::optional<QString> ref(const json& node, const std::string& path, std::vector<std::string>& chain)
    {
        if (auto why = unheld(node, path, {"$ref"}))
            return why;
        if (!node.at("$ref").is_string())
            return std::nullopt;
        const std::string name = node.at("$ref").get<std::string>();
        if (std::find(chain.begin(), chain.end(), name) != chain.end())
            return QStringLiteral("its $ref %1%2 refers to itself before any value, so no value can be written for it")
                .arg(quoted(name), where(path));
        if (name.rfind("#/", 0) != 0 || !m_entered.insert(name).second)
            return std::nullopt;
        const json* to = target(name);
        if (!to)
            return std::nullopt;
        chain.push_back(name);
        std::optional<QString> why = walk(*to, name, chain);
        chain.pop_back();
        return why;
    }

    std::optional<QString> enumeration(const json& node, const std::string& path, const std::string& type)
    {
        if (auto why = unheld(node, path, {"enum", "type"}))
            return why;
        const json& values = node.at("enum");
        if (type.empty() || !values.is_array() || values.empty())
            return std::nullopt;
        for (const json& value : values)
            if (ofType(value, type))
                return std::nullopt;
        return QStringLiteral("no value of its enum is of its type, %1, so no value satisfies it%2")
            .arg(QString::fromStdString(type), where(path));
    }

    std::optional<QString> object(const json& node, const std::string& path)
    {
        if (auto why = contradiction(node, path, "minProperties", "maxProperties"))
            return why;
        if (auto why = unheld(node, path, {"type", "properties", "required", "additionalProperties"}, "object"))
            return why;
        const json properties = node.contains("properties") ? node.at("properties") : json::object();
        if (node.contains("required") && node.at("required").is_array() && properties.is_object())
            for (const json& name : node.at("required"))
                if (name.is_string() && !properties.contains(name.get<std::string>()))
                    return QStringLiteral("its required names %1, which its properties do not describe, so the "
                                          "reply's grammar cannot hold it%2")
                        .arg(quoted(name.get<std::string>()), where(path));
        if (properties.is_object())
            for (const auto& [name, schema] : properties.items())
                if (auto why = inner(schema, path + "/properties/" + name))
                    return why;
        if (node.contains("additionalProperties"))
            return inner(node.at("additionalProperties"), path + "/additionalProperties");
        return std::nullopt;
    }

    std::optional<QString> string(const json& node, const std::string& path)
    {
        if (auto why = counts(node, path, "minLength", "maxLength"))
            return why;
        const bool shaped = (node.contains("pattern") && node.at("pattern") != json("")) || knownFormat(node);
        if (auto why = unheld(node, path, shaped ? std::set<std::string>{"type", "pattern"}
                                                 : std::set<std::string>{"type", "pattern", "minLength", "maxLength"},
                              "string"))
            return why;
        if (node.contains("pattern") && node.at("pattern").is_string() && !node.at("pattern").get<std::string>().empty())
            if (auto why = patternProblem(node.at("pattern").get<std::string>()))
                return *why + where(path);
        return std::nullopt;
    }

    std::optional<QString> array(const json& node, const std::string& path)
    {
        if (auto why = counts(node, path, "minItems", "maxItems"))
            return why;
        const std::string key = node.contains("items") ? "items" : "prefixItems";
        const bool tuple = node.contains(key) && node.at(key).is_array();
        if (auto why = unheld(node, path, tuple ? std::set<std::string>{"type", key}
                                                : std::set<std::string>{"type", key, "minItems", "maxItems"},
                              "array"))
            return why;
        if (!node.contains(key))
            return std::nullopt;
        if (!tuple)
            return inner(node.at(key), path + '/' + key);
        for (size_t i = 0; i < node.at(key).size(); ++i)
            if (auto why = inner(node.at(key)[i], path + '/' + key + '/' + std::to_string(i)))
                return why;
        return std::nullopt;
    }

    std::optional<QString> integer(const json& node, const std::string& path)
    {
        if (auto why = unheld(node, path, {"type", "minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum"},
                              "integer"))
            return why;
        // The converter spells bounds out digit by digit, exactly up to 16
        // digits: zod's safe integers, ±(2^53 - 1), are the largest asked.
        constexpr double kLargest = 9007199254740991.0;
        double least = -INFINITY, most = INFINITY;
        for (const char* key : {"minimum", "exclusiveMinimum", "maximum", "exclusiveMaximum"}) {
            if (!node.contains(key) || !node.at(key).is_number())
                continue;
            const double bound = node.at(key).get<double>();
            if (std::fabs(bound) > kLargest)
                return QStringLiteral("its %1 %2 is past what the reply's grammar can hold%3")
                    .arg(QLatin1String(key), QString::fromStdString(node.at(key).dump()), where(path));
            const std::string_view name(key);
            if (name == "minimum") least = std::max(least, std::ceil(bound));
            if (name == "exclusiveMinimum") least = std::max(least, std::floor(bound) + 1);
            if (name == "maximum") most = std::min(most, std::floor(bound));
            if (name == "exclusiveMaximum") most = std::min(most, std::ceil(bound) - 1);
        }
        // The converter reads an exclusive bound only where the plain one is absent.
        for (const auto& [plain, exclusive, tighter] :
             {std::tuple{"minimum", "exclusiveMinimum", node.contains("minimum") && node.at("minimum").is_number()
                                                            && least > std::ceil(node.at("minimum").get<double>())},
              std::tuple{"maximum", "exclusiveMaximum", node.contains("maximum") && node.at("maximum").is_number()
                                                            && most < std::floor(node.at("maximum").get<double>())}})
            if (tighter)
                return QStringLiteral("its %1 cannot be held beside its %2 by the reply's grammar%3")
                    .arg(QLatin1String(exclusive), QLatin1String(plain), where(path));
        if (auto why = contradiction(node, path, "minimum", "maximum", QStringLiteral(", so no integer satisfies it")))
            return why;
        if (least > most)
            return QStringLiteral("no integer lies within its bounds, so no value satisfies it%1").arg(where(path));
        return std::nullopt;
    }

    // A number's bounds are taken, though the grammar holds no more of them
    // than the sign (grammarOf): a reply within them is still one the
    // schema takes, and llama-server takes them the same way.
    std::optional<QString> number(const json& node, const std::string& path)
    {
        if (auto why = unheld(node, path, {"type", "minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum"},
                              "number"))
            return why;
        double least = -INFINITY, most = INFINITY;
        bool leastOpen = false, mostOpen = false;
        const auto bound = [&](const char* key, double& at, bool& open, bool exclusive, bool raises) {
            if (!node.contains(key) || !node.at(key).is_number())
                return;
            const double value = node.at(key).get<double>();
            if (raises ? (value > at || (exclusive && value == at)) : (value < at || (exclusive && value == at))) {
                at = value;
                open = exclusive;
            }
        };
        bound("minimum", least, leastOpen, false, true);
        bound("exclusiveMinimum", least, leastOpen, true, true);
        bound("maximum", most, mostOpen, false, false);
        bound("exclusiveMaximum", most, mostOpen, true, false);
        if (least > most || (least == most && (leastOpen || mostOpen)))
            return QStringLiteral("no number lies within its bounds, so no value satisfies it%1").arg(where(path));
        return std::nullopt;
    }

    // What the converter makes of allOf: the properties of objects joined,
    // or the values every enum shares; anything else it drops.
    std::optional<QString> allOf(const json& node, const std::string& path, std::vector<std::string>& chain)
    {
        if (auto why = unheld(node, path, {"type", "allOf"}))
            return why;
        const json& parts = node.at("allOf");
        if (!parts.is_array() || parts.empty())
            return std::nullopt;
        if (auto why = each(parts, path + "/allOf", chain))
            return why;
        std::set<std::string> names;
        std::optional<std::set<std::string>> shared; // the enum values in all parts so far
        int objects = 0;
        for (const json& part : parts) {
            const json& resolved = followed(part);
            if (resolved.is_object() && resolved.contains("enum") && resolved.at("enum").is_array()) {
                std::set<std::string> values;
                for (const json& value : resolved.at("enum"))
                    if (!shared || shared->count(value.dump()))
                        values.insert(value.dump());
                shared = values;
                continue;
            }
            std::vector<const json*> objectsHere;
            const char* choice = resolved.contains("oneOf") ? "oneOf" : "anyOf";
            if (resolved.is_object() && resolved.contains(choice) && resolved.at(choice).is_array()) {
                for (const json& alternative : resolved.at(choice))
                    objectsHere.push_back(&followed(alternative));
            } else {
                objectsHere.push_back(&resolved);
            }
            for (const json* one : objectsHere) {
                const bool isObject = one->is_object() && !one->contains("anyOf") && !one->contains("oneOf")
                                      && !one->contains("enum") && !one->contains("const")
                                      && (hasProperties(*one)
                                          || (one->contains("type") && one->at("type") == json("object")
                                              && !one->contains("allOf")));
                if (!isObject)
                    return QStringLiteral("its allOf%1 joins parts other than objects or enums, which the reply's "
                                          "grammar cannot hold")
                        .arg(where(path));
                if (one->contains("properties") && one->at("properties").is_object())
                    for (const auto& [name, schema] : one->at("properties").items())
                        if (!names.insert(name).second)
                            return QStringLiteral("its allOf%1 describes the property %2 more than once, which the "
                                                  "reply's grammar cannot hold")
                                .arg(where(path), quoted(name));
            }
            ++objects;
        }
        if (shared && objects > 0)
            return QStringLiteral("its allOf%1 joins enums with other parts, which the reply's grammar cannot hold")
                .arg(where(path));
        if (shared && shared->empty())
            return QStringLiteral("no value is in every enum of its allOf, so no value satisfies it%1").arg(where(path));
        return std::nullopt;
    }

    // `node` with its $refs followed (a loop among them is found by walk()).
    const json& followed(const json& node) const
    {
        const json* at = &node;
        for (int hops = 0; hops < 64 && at->is_object() && at->contains("$ref") && at->at("$ref").is_string(); ++hops) {
            const json* to = target(at->at("$ref").get<std::string>());
            if (!to)
                break;
            at = to;
        }
        return *at;
    }

    static constexpr int kDeepest = 128;
    const json& m_root;
    std::set<std::string> m_entered;
    int m_depth = 0;
};

} // namespace

std::optional<QString> schemaProblem(const common_json& schema)
{
    std::vector<std::string> chain;
    return Walker(schema).walk(schema, "#", chain);
}

namespace {

// Calls `visit` on every schema inside `node`, itself first; the values of
// const, enum, default and examples are data, not schemas.
void eachSchema(json& node, const std::function<void(json&)>& visit, int depth = 0)
{
    // Deeper than the walk goes, the schema is refused anyway.
    if (depth > 2 * 128 + 8 || !node.is_object())
        return;
    visit(node);
    if (!node.is_object())
        return;
    static const std::set<std::string, std::less<>> data = {"const", "enum", "default", "examples"};
    static const std::set<std::string, std::less<>> maps = {"properties", "patternProperties", "$defs", "definitions",
                                                            "dependentSchemas"};
    for (const auto& [key, value] : node.items()) {
        if (data.count(key))
            continue;
        if (value.is_array()) {
            for (size_t i = 0; i < value.size(); ++i)
                eachSchema(value[i], visit, depth + 1);
        } else if (maps.count(key) && value.is_object()) {
            for (const auto& [name, schema] : value.items())
                eachSchema(schema, visit, depth + 1);
        } else {
            eachSchema(value, visit, depth + 1);
        }
    }
}

// `\d` as the class of ASCII digits, inside a class or out of one.
std::string digitsAsClass(const std::string& pattern)
{
    std::string out;
    bool inClass = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 'd')
                out += inClass ? "0-9" : "[0-9]";
            else
                out.append(pattern, i, 2);
            ++i;
            continue;
        }
        inClass = c == '[' ? true : c == ']' ? false : inClass;
        out += c;
    }
    return out;
}

// A number of no other type whose least is 0 or more.
bool unsignedNumber(const json& node)
{
    if (node.value("type", json()) != json("number"))
        return false;
    for (const char* other : {"$ref", "anyOf", "oneOf", "allOf", "enum", "const"})
        if (node.contains(other))
            return false;
    for (const char* key : {"minimum", "exclusiveMinimum"})
        if (node.contains(key) && node.at(key).is_number() && node.at(key).get<double>() >= 0)
            return true;
    return false;
}

// Such numbers are sent through one definition, whose rule the converter
// names after it and writes as only `number`: that rule then loses its sign.
const std::string kUnsignedName = "cvn-unsigned-number";
const std::string kUnsignedRule = "ref-defs-" + kUnsignedName;

} // namespace

void rewriteForGrammar(common_json& schema)
{
    eachSchema(schema, [](json& node) {
        if (node.contains("pattern") && node.at("pattern").is_string())
            node["pattern"] = digitsAsClass(node.at("pattern").get<std::string>());
    });
}

std::string grammarOf(const common_json& schema)
{
    json marked = schema;
    bool any = false;
    eachSchema(marked, [&any](json& node) {
        if (!unsignedNumber(node))
            return;
        node = json::object({{"$ref", "#/$defs/" + kUnsignedName}});
        any = true;
    });
    const bool free = marked.is_object() && (!marked.contains("$defs") || (marked.at("$defs").is_object()
                                                                         && !marked.at("$defs").contains(kUnsignedName)));
    if (!any || !free)
        return json_schema_to_grammar(schema);
    marked["$defs"][kUnsignedName] = json::object({{"anyOf", json::array({json::object({{"type", "number"}})})}});
    std::string grammar = json_schema_to_grammar(marked);
    const std::string head = kUnsignedRule + " ::= number\n";
    const size_t at = grammar.find(head);
    if (at == 0 || (at != std::string::npos && grammar[at - 1] == '\n'))
        grammar.replace(at, head.size(),
                        kUnsignedRule + " ::= integral-part (\".\" decimal-part)? ([eE] [-+]? integral-part)?\n");
    return grammar;
}

long long boundedIntegerSurplus(const common_json& schema)
{
    // At once: a sign and, for each count of digits up to 16, a leading
    // digit below, at or above the bound's.
    constexpr long long kLive = 1 + 16 * 3;
    long long surplus = 0;
    json copy = schema;
    eachSchema(copy, [&surplus](json& node) {
        if (node.value("type", json()) != json("integer"))
            return;
        json alone = json::object({{"type", "integer"}});
        for (const char* key : {"minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum"})
            if (node.contains(key))
                alone[key] = node.at(key);
        if (alone.size() == 1)
            return;
        const std::string grammar = json_schema_to_grammar(alone);
        const size_t root = grammar.find("root ::= ");
        GrammarCost cost;
        if (root == std::string::npos
            || grammarProblem(grammar.substr(root, grammar.find('\n', root) - root), cost))
            return;
        surplus += std::max(0LL, cost.alternatives - kLive);
    });
    return surplus;
}

std::optional<QString> grammarProblem(const std::string& gbnf, GrammarCost& cost)
{
    // What a repetition copies: the symbols of the item before it.
    long long item = 1;
    for (size_t i = 0; i < gbnf.size();) {
        const char c = gbnf[i];
        if (c == '"' || c == '[') {
            const char close = c == '"' ? '"' : ']';
            const size_t start = i;
            for (++i; i < gbnf.size() && gbnf[i] != close; i += gbnf[i] == '\\' ? 2 : 1) {
            }
            item = c == '"' ? std::max<long long>(1, (long long)(i - start - 1)) : 1;
            ++i;
        } else if (c == '#') {
            i = std::min(gbnf.find('\n', i), gbnf.size());
        } else if (c == '|') {
            ++cost.alternatives;
            ++i;
        } else if (c == '*' || c == '+' || c == '?') {
            cost.repeatedSymbols += item;
            ++i;
        } else if (c == '{') {
            const size_t close = gbnf.find('}', i);
            if (close == std::string::npos)
                return QStringLiteral("the grammar made from it has a repetition that does not close");
            const std::string written = gbnf.substr(i, close + 1 - i);
            const std::string_view inside = std::string_view(gbnf).substr(i + 1, close - i - 1);
            const size_t comma = inside.find(',');
            const std::optional<long long> least = digits(inside.substr(0, comma));
            std::optional<long long> most = least;
            if (comma != std::string_view::npos)
                most = comma + 1 < inside.size() ? digits(inside.substr(comma + 1)) : std::nullopt;
            if (!least || (comma != std::string_view::npos && comma + 1 < inside.size() && !most))
                return QStringLiteral("the grammar made from it has a repetition %1 that is not a count")
                    .arg(QString::fromStdString(written));
            if (const std::optional<QString> why = repeatProblem(written, *least, most))
                return QStringLiteral("in the grammar made from it, %1").arg(*why);
            cost.repeatedSymbols += item * (most ? *most : *least + 1);
            i = close + 1;
        } else {
            if (c == ')' || std::isalnum(static_cast<unsigned char>(c)) || c == '-')
                item = 1;
            ++i;
        }
    }
    return std::nullopt;
}

} // namespace cvn::api
