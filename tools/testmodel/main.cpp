// cvn-make-test-model: writes a small GGUF model for tests and benchmarks.
//
//   cvn-make-test-model --out FILE [--vocab FILE|NAME] [--embd N] [--layers N]
//       [--ff N] [--heads N] [--heads-kv N] [--ctx N] [--seed N]
//       [--type f32|f16|Q4_K_M|Q8_0] [--meta KEY=VALUE]...
//       [--script "TOKEN|TOKEN|..."]... [--gap X] [--separator C]
//
// Without --script it writes random weights; with one or more --script chains
// it writes a scripted model (each listed token is followed by the next).
// --separator sets the character between a chain's tokens, for vocabularies
// whose special tokens hold a '|' (<|im_end|>).
// --help prints the usage; a bad option or value, or a vocabulary that is not
// there, is one line on stderr and exit status 2; a failed write, status 1.
#include "TestModelWriter.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

using namespace cvn::testmodel;

namespace {

const char* const kUsage
    = "usage: cvn-make-test-model --out FILE [--vocab FILE|NAME] [--embd N] [--layers N] [--ff N]\n"
      "         [--heads N] [--heads-kv N] [--ctx N] [--seed N] [--type f32|f16|Q4_K_M|Q8_0]\n"
      "         [--meta KEY=VALUE]... [--script \"TOKEN|TOKEN|...\"]... [--gap X] [--separator C]\n";

int usage(const std::string& why)
{
    std::fprintf(stderr, "cvn-make-test-model: %s (see --help)\n", why.c_str());
    return 2;
}

bool isRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool parseInt(const char* text, int64_t& out)
{
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (!end || *end || v < 0)
        return false;
    out = v;
    return true;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string out, vocab = vocabPath(), type = "f32";
    Shape shape;
    int64_t seed = 1;
    float gap = 32.0f;
    std::vector<std::vector<std::string>> chains;
    std::vector<std::string> scripts;
    char separator = '|';
    std::vector<ExtraString> extra;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg.rfind("--", 0) != 0)
            return usage("unexpected argument " + arg);
        if (i + 1 >= argc)
            return usage("missing value for " + arg);
        const char* value = argv[++i];
        int64_t* target = nullptr;
        if (arg == "--out")
            out = value;
        else if (arg == "--vocab") {
            struct stat st {};
            vocab = ::stat(value, &st) == 0 ? std::string(value) : vocabPath(value);
            if (!isRegularFile(vocab))
                return usage(std::string("no vocabulary file or name ") + value);
        } else if (arg == "--type")
            type = value;
        else if (arg == "--script")
            scripts.push_back(value);
        else if (arg == "--separator") {
            if (std::string(value).size() != 1)
                return usage(std::string("--separator takes one character, not ") + value);
            separator = value[0];
        }
        else if (arg == "--gap") {
            char* end = nullptr;
            gap = std::strtof(value, &end);
            if (end == value || *end || !(gap > 0))
                return usage(std::string("--gap takes a positive number, not ") + value);
        }
        else if (arg == "--meta") {
            const std::string kv = value;
            const size_t eq = kv.find('=');
            if (eq == std::string::npos)
                return usage(std::string("--meta takes KEY=VALUE, not ") + value);
            extra.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
        } else if (arg == "--embd")
            target = &shape.embd;
        else if (arg == "--layers")
            target = &shape.layers;
        else if (arg == "--ff")
            target = &shape.ff;
        else if (arg == "--heads")
            target = &shape.heads;
        else if (arg == "--heads-kv")
            target = &shape.headsKv;
        else if (arg == "--ctx")
            target = &shape.ctx;
        else if (arg == "--seed")
            target = &seed;
        else
            return usage("unknown option " + arg);
        if (target && !parseInt(value, *target))
            return usage("not a whole number: " + arg + " " + value);
    }
    if (out.empty())
        return usage("--out is required");
    if (type != "f32" && type != "f16" && type != "Q4_K_M" && type != "Q8_0")
        return usage("unknown --type " + type);
    if (!isRegularFile(vocab))
        return usage("no vocabulary file " + vocab);

    for (const std::string& script : scripts)
        chains.push_back(split(script, separator));
    std::string error;
    if (!chains.empty()) {
        error = writeScriptedModel(out, vocab, ScriptSpec{shape, chains, gap}, extra);
    } else if (type == "f32" || type == "f16") {
        error = writeRandomModel(out, vocab,
                                 RandomSpec{shape, uint32_t(seed), type == "f16" ? WeightType::f16 : WeightType::f32},
                                 extra);
    } else {
        const std::string f16 = out + ".f16.tmp";
        error = writeRandomModel(f16, vocab, RandomSpec{shape, uint32_t(seed), WeightType::f16}, extra);
        if (error.empty())
            error = quantizeModel(f16, out, type);
        std::remove(f16.c_str());
    }
    if (!error.empty()) {
        std::fprintf(stderr, "cvn-make-test-model: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %s\n", out.c_str());
    return 0;
}
