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
//
//   cvn-make-test-model --projector mlp|gemma3 --out FILE [--embd N]
//       [--image-size N] [--width N] [--layers N] [--heads N] [--ff N]
//       [--seed N] [--type f32|f16]
//
// writes a random image projector whose output width is --embd, so that it
// pairs with a model written with the same --embd. Its encoder is tiny unless
// the shape options ask for a real one's size.
// --help prints the usage; a bad option or value, or a vocabulary that is not
// there, is one line on stderr and exit status 2; a failed write, status 1.
#include "TestModelWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

using namespace cvn::testmodel;

namespace {

const char* const kUsage
    = "usage: cvn-make-test-model --out FILE [--vocab FILE|NAME] [--embd N] [--layers N] [--ff N]\n"
      "         [--heads N] [--heads-kv N] [--ctx N] [--seed N] [--type f32|f16|Q4_K_M|Q8_0]\n"
      "         [--meta KEY=VALUE]... [--script \"TOKEN|TOKEN|...\"]... [--gap X] [--separator C]\n"
      "       cvn-make-test-model --projector mlp|gemma3 --out FILE [--embd N] [--image-size N]\n"
      "         [--width N] [--layers N] [--heads N] [--ff N] [--seed N] [--type f32|f16]\n"
      "\n"
      "Without --projector: a model of the llama architecture, random or (with --script)\n"
      "scripted. With --projector: a random image projector whose output width is --embd,\n"
      "to load beside a model of that --embd; by default its encoder is tiny (28 px for\n"
      "mlp, 112 px for gemma3; 4 image tokens; 2 layers of width 32), and --image-size,\n"
      "--width, --layers, --heads and --ff give it a real encoder's shape.\n";

// Options that only a model takes, refused beside --projector.
const char* const kModelOnly[] = {"--vocab", "--heads-kv", "--ctx", "--meta", "--script", "--gap", "--separator"};

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

int writeProjector(const std::string& layout, const std::string& out, const Shape& shape,
                   const std::vector<std::string>& shapeGiven, const std::vector<std::string>& modelOnlyGiven,
                   int64_t imageSize, int64_t width, int64_t seed, const std::string& type)
{
    if (!modelOnlyGiven.empty())
        return usage(modelOnlyGiven.front() + " does not apply to --projector");
    if (type != "f32" && type != "f16")
        return usage("--projector takes --type f32 or f16, not " + type);
    ProjectorSpec spec;
    spec.layout = layout == "gemma3" ? ProjectorLayout::gemma3 : ProjectorLayout::mlp;
    spec.textEmbd = shape.embd;
    spec.imageSize = imageSize;
    spec.width = width;
    const auto given = [&](const char* option) {
        return std::find(shapeGiven.begin(), shapeGiven.end(), option) != shapeGiven.end();
    };
    if (given("--layers"))
        spec.layers = shape.layers;
    if (given("--heads"))
        spec.heads = shape.heads;
    if (given("--ff"))
        spec.ff = shape.ff;
    spec.seed = uint32_t(seed);
    spec.type = type == "f16" ? WeightType::f16 : WeightType::f32;
    const std::string error = writeRandomProjector(out, spec);
    if (!error.empty()) {
        std::fprintf(stderr, "cvn-make-test-model: %s\n", error.c_str());
        return 2; // only a shape that cannot be, or a file that cannot be written

    }
    std::printf("wrote %s\n", out.c_str());
    return 0;
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
    std::string projector;
    std::vector<std::string> modelOnlyGiven;
    std::vector<std::string> shapeGiven;
    int64_t imageSize = 0, width = ProjectorSpec{}.width;

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
        for (const char* option : kModelOnly)
            if (arg == option)
                modelOnlyGiven.push_back(arg);
        if (arg == "--layers" || arg == "--heads" || arg == "--ff")
            shapeGiven.push_back(arg);
        if (arg == "--out")
            out = value;
        else if (arg == "--projector") {
            projector = value;
            if (projector != "mlp" && projector != "gemma3")
                return usage("unknown --projector " + projector + " (mlp or gemma3)");
        } else if (arg == "--image-size")
            target = &imageSize;
        else if (arg == "--width")
            target = &width;
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
    if (!projector.empty())
        return writeProjector(projector, out, shape, shapeGiven, modelOnlyGiven, imageSize, width, seed, type);
    if (imageSize != 0 || width != ProjectorSpec{}.width)
        return usage("--image-size and --width are for --projector");
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
