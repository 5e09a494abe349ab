#include "GgufWriter.h"

#include "models/ModelStore.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace cvn;
using cvn::test::GgufWriter;

namespace {

// Counts modelsChanged for the life of the counter.
struct SignalCount {
    explicit SignalCount(ModelStore& store)
    {
        QObject::connect(&store, &ModelStore::modelsChanged, &context, [this] { ++count; });
    }
    QObject context;
    int count = 0;
};

QString writeFile(const QString& folder, const QString& relative, const QByteArray& bytes)
{
    const QString path = QDir(folder).filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    return path;
}

QString writeModel(const QString& folder, const QString& relative, const QByteArray& arch = "llama",
                   uint32_t context = 4096)
{
    GgufWriter w;
    w.string("general.architecture", arch).u32(arch + ".context_length", context);
    return writeFile(folder, relative, w.bytes());
}

QStringList displayNames(const QList<ModelInfo>& models)
{
    QStringList names;
    for (const ModelInfo& m : models)
        names.append(m.displayName);
    return names;
}

const ModelInfo* byFile(const QList<ModelInfo>& models, const QString& fileName)
{
    for (const ModelInfo& m : models) {
        if (m.fileName == fileName)
            return &m;
    }
    return nullptr;
}

// Makes `path` impossible to delete: a read-only folder for ordinary users,
// the immutable attribute for root (who ignores folder permissions). Returns
// the undo, or nothing when neither works here.
std::optional<std::function<void()>> makeUndeletable(const QString& path)
{
    const QString folder = QFileInfo(path).path();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    QFile probe(QDir(folder).filePath("probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return [folder] { QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); };
    probe.remove();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (QProcess::execute("chattr", {"+i", path}) == 0)
        return [path] { QProcess::execute("chattr", {"-i", path}); };
    return std::nullopt;
}

} // namespace

TEST(ModelStore, NamesFromFilesAndPathsBelowTheFolder)
{
    EXPECT_EQ(ModelStore::displayNameFromFile("/m/Qwen2.5-7B-Instruct-Q4_K_M.gguf"), "Qwen2 5 7B Instruct Q4 K M");
    EXPECT_EQ(ModelStore::displayNameFromFile("/m/___.gguf"), "___");
    EXPECT_EQ(ModelStore::displayNameFromFile("/m/a--b.gguf"), "a b");
    EXPECT_EQ(ModelStore::displayNameFromFile("/m/model"), "model");
    EXPECT_EQ(ModelStore::displayNameFromFile("/m/a.b.gguf"), "a b");

    EXPECT_EQ(ModelStore::relativeFileName("/m/sub/x.gguf", "/m"), "sub/x.gguf");
    EXPECT_EQ(ModelStore::relativeFileName("/m/./sub/../x.gguf", "/m/"), "x.gguf");
    EXPECT_EQ(ModelStore::relativeFileName("/other/y.gguf", "/m"), "y.gguf");
    EXPECT_EQ(ModelStore::relativeFileName("/m/models2/z.gguf", "/m/models"), "z.gguf");
    EXPECT_EQ(ModelStore::relativeFileName("/m/models2/z.gguf", "/m/models2"), "z.gguf");
    EXPECT_EQ(ModelStore::relativeFileName("/m/models/deep/er/z.gguf", "/m/models"), "deep/er/z.gguf");
}

TEST(ModelStore, ScanListsRegularGgufFilesSortedByName)
{
    const QString folder = cvn::test::makeTempFolder("scan");
    writeModel(folder, "MODEL.GGUF", "qwen2", 32768);
    writeModel(folder, "model.gguf.part");
    writeModel(folder, ".hidden.gguf");
    writeModel(folder, ".cache/inside-hidden.gguf");
    writeModel(folder, "sub/x.gguf");
    writeModel(folder, "b.gguf");
    writeModel(folder, "A.gguf");
    writeModel(folder, "mmproj-model-f16.gguf", "llama");
    writeFile(folder, "junk.gguf", "hello");
    QDir().mkpath(folder + "/folder.gguf");
    ASSERT_TRUE(QFile::link(folder + "/b.gguf", folder + "/link.gguf"));

    ModelStore store(folder);
    const QList<ModelInfo>& models = store.models();
    EXPECT_EQ(displayNames(models), QStringList({"A", "b", "junk", "mmproj model f16", "MODEL", "x"}));

    const ModelInfo* upper = byFile(models, "MODEL.GGUF");
    ASSERT_TRUE(upper);
    ASSERT_TRUE(upper->discoveredMetadata);
    EXPECT_EQ(upper->discoveredMetadata->architecture, "qwen2");
    EXPECT_EQ(upper->trainedContext, 32768);
    EXPECT_EQ(upper->contextMode, "auto");
    EXPECT_FALSE(upper->visionAdapterFile);
    EXPECT_EQ(upper->fileSizeBytes, QFileInfo(folder + "/MODEL.GGUF").size());

    const ModelInfo* nested = byFile(models, "sub/x.gguf");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->displayName, "x");

    const ModelInfo* projector = byFile(models, "mmproj-model-f16.gguf");
    ASSERT_TRUE(projector);
    EXPECT_TRUE(projector->visionAdapterFile);

    const ModelInfo* junk = byFile(models, "junk.gguf");
    ASSERT_TRUE(junk);
    EXPECT_FALSE(junk->discoveredMetadata);
    EXPECT_FALSE(junk->trainedContext);
    EXPECT_EQ(junk->fileSizeBytes, 5);
}

TEST(ModelStore, SortIsCaseInsensitiveAndStable)
{
    QList<ModelInfo> models(4);
    models[0].displayName = "b";
    models[1].displayName = "a";
    models[1].fileName = "first";
    models[2].displayName = "B";
    models[3].displayName = "A";
    models[3].fileName = "second";
    ModelStore::sortByName(models);
    EXPECT_EQ(displayNames(models), QStringList({"a", "A", "b", "B"}));
    EXPECT_EQ(models[0].fileName, "first");
    EXPECT_EQ(models[1].fileName, "second");
}

TEST(ModelStore, MissingFolderIsCreatedAndStaysQuiet)
{
    const QString folder = cvn::test::makeTempFolder("missing") + "/Corvanthelis/models";
    ModelStore store(folder);
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(store.models().isEmpty());

    SignalCount changes(store);
    store.reload();
    EXPECT_EQ(changes.count, 0);

    writeModel(folder, "new.gguf");
    store.reload();
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(displayNames(store.models()), QStringList({"new"}));
}

TEST(ModelStore, ReloadKeepsTheUsersChoicesByFileName)
{
    const QString folder = cvn::test::makeTempFolder("reload");
    writeModel(folder, "alpha.gguf");
    writeModel(folder, "beta.gguf");
    ModelStore store(folder);
    SignalCount changes(store);

    const QUuid alphaId = byFile(store.models(), "alpha.gguf")->id;
    store.rename(alphaId, "  New  ");
    EXPECT_EQ(store.model(alphaId)->displayName, "New");
    EXPECT_EQ(changes.count, 1);
    store.rename(alphaId, " \n\t ");
    store.rename(QUuid::createUuid(), "Other");
    EXPECT_EQ(store.model(alphaId)->displayName, "New");
    EXPECT_EQ(changes.count, 1);
    EXPECT_FALSE(store.model(std::nullopt));

    QList<ModelInfo> edited = store.models();
    for (ModelInfo& m : edited) {
        if (m.fileName == "beta.gguf") {
            m.contextMode = "manual";
            m.contextSizeManual = 8192;
            m.chatTemplate = "ChatML";
            m.actualContext = 4096;
        }
    }
    store.setModels(edited);
    EXPECT_EQ(changes.count, 2);

    // Nothing changed on disk: same list, same ids, no signal.
    const QList<ModelInfo> before = store.models();
    store.reload();
    EXPECT_EQ(changes.count, 2);
    EXPECT_EQ(store.models(), before);

    // A file replaced by one of another size: one new list, the ids and the
    // user's choices kept, the loaded context forgotten.
    writeModel(folder, "beta.gguf", "llama", 8192);
    GgufWriter bigger;
    bigger.string("general.architecture", "llama").u32("llama.context_length", 4096);
    bigger.writeTo(folder, "alpha.gguf", 4096);
    store.reload();
    EXPECT_EQ(changes.count, 3);
    ASSERT_TRUE(store.model(alphaId));
    EXPECT_EQ(store.model(alphaId)->fileName, "alpha.gguf");
    const ModelInfo* alpha = byFile(store.models(), "alpha.gguf");
    const ModelInfo* beta = byFile(store.models(), "beta.gguf");
    ASSERT_TRUE(alpha && beta);
    EXPECT_EQ(alpha->displayName, "New");
    EXPECT_EQ(alpha->fileSizeBytes, 4096);
    EXPECT_EQ(beta->contextMode, "manual");
    EXPECT_EQ(beta->contextSizeManual, 8192);
    EXPECT_EQ(beta->chatTemplate, "ChatML");
    EXPECT_FALSE(beta->actualContext);
    EXPECT_EQ(beta->trainedContext, 8192);
    for (const ModelInfo& m : before)
        EXPECT_EQ(store.model(m.id)->fileName, m.fileName);
}

namespace {

QStringList loggedWarnings;

void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        loggedWarnings.append(message);
}

} // namespace

// The saved choices are read back at start; an entry whose manual context no
// engine can take is refused with a warning, never narrowed to another size,
// and the other entries still count.
TEST(ModelStore, SavedChoicesWithAnImpossibleContextSizeAreRefused)
{
    const QString folder = cvn::test::makeTempFolder("choices");
    const QStringList files = {"huge.gguf", "fraction.gguf", "word.gguf", "zero.gguf", "largest.gguf", "fine.gguf"};
    for (const QString& file : files)
        writeModel(folder, file);
    writeFile(folder, ".model-choices.json", R"({
        "huge.gguf": {"displayName": "Huge", "contextMode": "manual", "contextSizeManual": 4294967297},
        "fraction.gguf": {"displayName": "Fraction", "contextMode": "manual", "contextSizeManual": 4096.5},
        "word.gguf": {"displayName": "Word", "contextMode": "manual", "contextSizeManual": "8192"},
        "zero.gguf": {"displayName": "Zero", "contextMode": "manual", "contextSizeManual": 0},
        "largest.gguf": {"displayName": "Largest", "contextMode": "manual", "contextSizeManual": 2147483647},
        "fine.gguf": {"displayName": "Fine", "contextMode": "manual", "contextSizeManual": 8192,
                      "chatTemplate": "ChatML"}
    })");
    loggedWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    const ModelStore store(folder);
    qInstallMessageHandler(previous);

    for (const QString& file : {"huge.gguf", "fraction.gguf", "word.gguf", "zero.gguf"}) {
        const ModelInfo* m = byFile(store.models(), file);
        ASSERT_TRUE(m) << file.toStdString();
        EXPECT_EQ(m->displayName, ModelStore::displayNameFromFile(file)) << file.toStdString();
        EXPECT_EQ(m->contextMode, "auto") << file.toStdString();
        EXPECT_FALSE(m->contextSizeManual) << file.toStdString();
    }
    EXPECT_EQ(byFile(store.models(), "largest.gguf")->contextSizeManual, ModelStore::maxManualContext);
    const ModelInfo* fine = byFile(store.models(), "fine.gguf");
    EXPECT_EQ(fine->displayName, "Fine");
    EXPECT_EQ(fine->contextSizeManual, 8192);
    EXPECT_EQ(fine->chatTemplate, "ChatML");

    ASSERT_EQ(loggedWarnings.size(), 4) << loggedWarnings.join('\n').toStdString();
    const QString huge = loggedWarnings.filter("\"huge.gguf\"").value(0);
    EXPECT_TRUE(huge.contains("4294967297") && huge.contains(".model-choices.json") &&
                huge.contains(QString::number(ModelStore::maxManualContext)))
        << huge.toStdString();
}

// Instructions and sampling are the user's like the name: a replaced file
// and a new store on the same folder (a relaunch) keep them; a saved value
// out of its range keeps its default with a warning, the rest stay.
TEST(ModelStore, InstructionsAndSamplingOutliveARescanAReplacedFileAndARelaunch)
{
    const QString folder = cvn::test::makeTempFolder("sampling");
    writeModel(folder, "alpha.gguf");
    {
        ModelStore store(folder);
        QList<ModelInfo> edited = store.models();
        edited[0].instructions = "Answer in French.";
        edited[0].sampling.temperature = 0.0f;
        edited[0].sampling.topK = 0;
        edited[0].sampling.minP = 0.05f;
        edited[0].sampling.repeatPenalty = 1.2345678f; // more digits than six
        edited[0].sampling.replyLimit = 300;
        edited[0].sampling.seed = 7;
        store.setModels(edited);
        writeModel(folder, "alpha.gguf", "llama", 8192);
        store.reload();
        EXPECT_EQ(store.models()[0].trainedContext, 8192);
        EXPECT_EQ(store.models()[0].instructions, "Answer in French.");
        EXPECT_EQ(store.models()[0].sampling, edited[0].sampling);
    }
    const ModelStore relaunched(folder);
    ModelSampling expected;
    expected.temperature = 0.0f;
    expected.topK = 0;
    expected.minP = 0.05f;
    expected.repeatPenalty = 1.2345678f;
    expected.replyLimit = 300;
    expected.seed = 7;
    EXPECT_EQ(relaunched.models()[0].instructions, "Answer in French.");
    EXPECT_EQ(relaunched.models()[0].sampling, expected);

    writeFile(folder, ".model-choices.json", R"({"alpha.gguf": {"displayName": "Alpha",
        "sampling": {"temperature": 2.5, "topK": 12.5, "topP": 0.5, "seed": 4294967295, "replyLimit": "300"}}})");
    loggedWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    const ModelStore refused(folder);
    qInstallMessageHandler(previous);
    ModelSampling kept;
    kept.topP = 0.5f;
    EXPECT_EQ(refused.models()[0].sampling, kept);
    EXPECT_EQ(loggedWarnings.size(), 4) << loggedWarnings.join('\n').toStdString();
    EXPECT_TRUE(loggedWarnings.filter("temperature").value(0).contains("from 0 to 2"));
}

// One value the JSON reader refuses (a hand edit's NaN, Infinity, 1e999, 01
// or trailing comma) must not cost every model its choices: the file is set
// aside untouched, the user is told, the rest is read, and the bad values
// keep their defaults with the usual warning.
TEST(ModelStore, AChoicesFileTheReaderRefusesIsSetAsideAndReadAsFarAsItCanBe)
{
    const QString folder = cvn::test::makeTempFolder("badchoices");
    writeModel(folder, "alpha.gguf");
    writeModel(folder, "beta.gguf");
    const QByteArray bytes = R"({
        "alpha.gguf": {"displayName": "Alpha", "instructions": "Answer in French.",
                       "sampling": {"temperature": NaN, "topP": Infinity, "seed": 1e999, "minP": 01, "topK": 12,}},
        "beta.gguf": {"displayName": "Beta", "contextMode": "manual", "contextSizeManual": 8192},
    })";
    writeFile(folder, ".model-choices.json", bytes);
    loggedWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    ModelStore store(folder);
    qInstallMessageHandler(previous);

    const QStringList aside = QDir(folder).entryList({".model-choices.json.bad-*"}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(QRegularExpression(R"(^\.model-choices\.json\.bad-\d{8}-\d{6}$)").match(aside[0]).hasMatch());
    QFile kept(QDir(folder).filePath(aside[0]));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), bytes);
    ASSERT_TRUE(store.choicesNotice());
    EXPECT_TRUE(store.choicesNotice()->contains(aside[0]));

    const ModelInfo* alpha = byFile(store.models(), "alpha.gguf");
    EXPECT_EQ(alpha->displayName, "Alpha");
    EXPECT_EQ(alpha->instructions, "Answer in French.");
    ModelSampling expected;
    expected.topK = 12;
    EXPECT_EQ(alpha->sampling, expected);
    EXPECT_EQ(byFile(store.models(), "beta.gguf")->contextSizeManual, 8192);
    EXPECT_EQ(loggedWarnings.filter("\"alpha.gguf\"").size(), 4) << loggedWarnings.join('\n').toStdString();

    // The next save writes what was read beside the file set aside.
    store.rename(alpha->id, "Alpha 2");
    EXPECT_EQ(ModelStore(folder).models().value(0).instructions, "Answer in French.");
    kept.seek(0);
    EXPECT_EQ(kept.readAll(), bytes);

    // A file with nothing readable in it is set aside all the same.
    writeFile(folder, ".model-choices.json", R"({"alpha.gguf": {"displayName": "Alpha" "instructions": "x"}})");
    const ModelStore broken(folder);
    EXPECT_TRUE(broken.choicesNotice());
    EXPECT_EQ(QDir(folder).entryList({".model-choices.json.bad-*"}, QDir::Files | QDir::Hidden).size(), 2);
}

TEST(ModelStore, RemoveDeletesOnlyTheFileInsideTheFolder)
{
    const QString root = cvn::test::makeTempFolder("remove");
    const QString folder = root + "/models";
    writeModel(folder, "keep.gguf");
    writeModel(folder, "gone.gguf");
    writeModel(folder, "sub/delete.gguf");
    writeModel(folder, "sub2/stuck.gguf");
    const QString outside = writeModel(root, "outside.gguf");
    ASSERT_TRUE(QFile::link(outside, folder + "/linked.gguf"));
    ModelStore store(folder);
    SignalCount changes(store);
    const auto idOf = [&](const QString& fileName) { return byFile(store.models(), fileName)->id; };

    EXPECT_FALSE(store.remove(QUuid::createUuid()));
    EXPECT_EQ(changes.count, 0);

    EXPECT_FALSE(store.remove(idOf("sub/delete.gguf")));
    EXPECT_FALSE(QFileInfo::exists(folder + "/sub/delete.gguf"));
    EXPECT_FALSE(byFile(store.models(), "sub/delete.gguf"));
    EXPECT_EQ(changes.count, 1);

    const QUuid goneId = idOf("gone.gguf");
    QFile::remove(folder + "/gone.gguf");
    EXPECT_FALSE(store.remove(goneId));
    EXPECT_FALSE(store.model(goneId));

    // In-memory edits must not steer a deletion outside the folder or at a folder.
    QList<ModelInfo> edited = store.models();
    ModelInfo escaping = edited.first();
    escaping.id = QUuid::createUuid();
    escaping.fileName = "../outside.gguf";
    ModelInfo absolute = escaping;
    absolute.id = QUuid::createUuid();
    absolute.fileName = outside;
    ModelInfo directory = escaping;
    directory.id = QUuid::createUuid();
    directory.fileName = "sub";
    ModelInfo symlink = escaping;
    symlink.id = QUuid::createUuid();
    symlink.fileName = "linked.gguf";
    edited << escaping << absolute << directory << symlink;
    store.setModels(edited);
    const int listed = int(store.models().size());
    EXPECT_TRUE(store.remove(escaping.id));
    EXPECT_TRUE(store.remove(absolute.id));
    EXPECT_TRUE(store.remove(directory.id));
    EXPECT_TRUE(QFileInfo::exists(outside));
    EXPECT_TRUE(QFileInfo(folder + "/sub").isDir());
    EXPECT_EQ(store.models().size(), listed);

    // A symlink goes itself; what it points at stays.
    EXPECT_FALSE(store.remove(symlink.id));
    EXPECT_FALSE(QFileInfo(folder + "/linked.gguf").isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside));

    const QString stuck = folder + "/sub2/stuck.gguf";
    const std::optional<std::function<void()>> undo = makeUndeletable(stuck);
    if (!undo)
        GTEST_SKIP() << "no way to make a file undeletable here";
    const QList<ModelInfo> beforeFailure = store.models();
    const std::optional<QString> error = store.remove(idOf("sub2/stuck.gguf"));
    (*undo)();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isEmpty());
    EXPECT_EQ(store.models(), beforeFailure);
    EXPECT_TRUE(QFileInfo::exists(stuck));
}

TEST(ModelStore, MakeModelInfoAppendsTheCopiedFile)
{
    const QString folder = cvn::test::makeTempFolder("make");
    writeModel(folder, "zeta.gguf");
    ModelStore store(folder);
    SignalCount changes(store);

    const QString path = writeModel(folder, "Qwen2.5-7B.gguf", "qwen2", 32768);
    const ModelInfo made = store.makeModelInfo(path, 1234);
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(store.models().last(), made);
    EXPECT_EQ(made.displayName, "Qwen2.5-7B");
    EXPECT_EQ(made.fileName, "Qwen2.5-7B.gguf");
    EXPECT_EQ(made.fileSizeBytes, 1234);
    ASSERT_TRUE(made.discoveredMetadata);
    EXPECT_EQ(made.discoveredMetadata->architecture, "qwen2");
    EXPECT_EQ(made.trainedContext, 32768);
    EXPECT_FALSE(made.visionAdapterFile);
    EXPECT_EQ(store.modelFileURL(made), path);

    const QString projector = writeModel(folder, "vision.gguf", "clip");
    EXPECT_TRUE(store.makeModelInfo(projector, 10).visionAdapterFile);
    const ModelInfo junk = store.makeModelInfo(writeFile(folder, "junk.gguf", "hello"), 5);
    EXPECT_FALSE(junk.discoveredMetadata);
    EXPECT_FALSE(junk.trainedContext);

    ModelInfo unnamed = made;
    unnamed.fileName.clear();
    EXPECT_FALSE(store.modelFileURL(unnamed));
    unnamed.fileName = "not-there.gguf";
    EXPECT_FALSE(store.modelFileURL(unnamed));
}

TEST(ModelStore, FamilyLabelsAndSubtitles)
{
    EXPECT_EQ(modelFamilyLabel(QString("qwen2"), "x.gguf"), "Qwen");
    EXPECT_EQ(modelFamilyLabel(QString("cohere2"), "x.gguf"), "Command-R");
    EXPECT_EQ(modelFamilyLabel(QString("ChatGLM"), "x.gguf"), "GLM");
    EXPECT_EQ(modelFamilyLabel(std::nullopt, "Mixtral-8x7B.gguf"), "Mixtral");
    EXPECT_EQ(modelFamilyLabel(std::nullopt, "dolphin.gguf"), "Phi");
    EXPECT_EQ(modelFamilyLabel(QString(""), "Command-R-Plus.gguf"), "Command-R");
    EXPECT_EQ(modelFamilyLabel(QString("deepseek2"), "DeepSeek-V2.gguf"), "DeepSeek");
    EXPECT_EQ(modelFamilyLabel(QString("mamba"), "foo.gguf"), std::nullopt);

    ModelInfo qwen;
    qwen.fileName = "model.gguf";
    qwen.discoveredMetadata = GgufInfo{};
    qwen.discoveredMetadata->architecture = "qwen2";
    qwen.discoveredMetadata->nCtxTrain = 4096;
    EXPECT_TRUE(subtitle(qwen).endsWith(QStringLiteral("  ·  Qwen"))) << subtitle(qwen).toStdString();

    ModelInfo mixtral;
    mixtral.fileName = "Mixtral-8x7B.gguf";
    EXPECT_TRUE(subtitle(mixtral).endsWith(QStringLiteral("  ·  Mixtral")));

    ModelInfo unnamed;
    unnamed.displayName = "dolphin";
    EXPECT_TRUE(subtitle(unnamed).endsWith(QStringLiteral("  ·  Phi")));

    ModelInfo unknown;
    unknown.fileName = "foo.gguf";
    // The summary line has two separators of its own; no label adds a third.
    EXPECT_EQ(subtitle(unknown).count(QStringLiteral("  ·  ")), 2);
    EXPECT_EQ(subtitle(mixtral).count(QStringLiteral("  ·  ")), 3);
}
