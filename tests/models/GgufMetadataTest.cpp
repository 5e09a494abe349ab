#include "GgufWriter.h"

#include "models/GgufMetadata.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace cvn;
using cvn::test::GgufWriter;

namespace {

const QByteArray kContextKey = "llama.context_length";

std::optional<GgufInfo> readBytes(const QByteArray& bytes)
{
    const QString path = cvn::test::makeTempFolder(QStringLiteral("gguf")) + QStringLiteral("/m.gguf");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    return GgufMetadata::read(path);
}

std::optional<GgufInfo> readWritten(const GgufWriter& writer, int64_t padTo = 0)
{
    return GgufMetadata::read(writer.writeTo(cvn::test::makeTempFolder(QStringLiteral("gguf")), "m.gguf", padTo));
}

// `writer`'s pairs, then the one key every readable header needs.
GgufWriter withContextAfter(GgufWriter writer)
{
    return writer.u32(kContextKey, 2048);
}

} // namespace

TEST(GgufMetadata, ReadsAMinimalHeader)
{
    GgufWriter w;
    w.string("general.architecture", "llama").u32(kContextKey, 8192);
    const QString path = w.writeTo(cvn::test::makeTempFolder(), "sub-model.gguf");
    const std::optional<GgufInfo> info = GgufMetadata::read(path);
    ASSERT_TRUE(info);
    GgufInfo expected;
    expected.version = 3;
    expected.architecture = "llama";
    expected.nCtxTrain = 8192;
    expected.fileName = "sub-model.gguf";
    EXPECT_EQ(*info, expected);
    EXPECT_EQ(qHash(*info), qHash(expected));
}

TEST(GgufMetadata, RefusesWhatIsNotAUsableHeader)
{
    const auto withVersion = [](uint32_t v) {
        GgufWriter w(v);
        w.u32(kContextKey, 8192);
        return readWritten(w);
    };
    EXPECT_FALSE(withVersion(1));
    EXPECT_TRUE(withVersion(2));
    EXPECT_TRUE(withVersion(99));

    EXPECT_FALSE(readBytes("GGU"));
    QByteArray wrongMagic = GgufWriter().u32(kContextKey, 8192).bytes();
    wrongMagic[3] = 'G';
    EXPECT_FALSE(readBytes(wrongMagic));
    EXPECT_FALSE(readWritten(GgufWriter().u32(kContextKey, 8192).declareKvCount(0)));
    // More pairs declared than written: the read runs off the end.
    EXPECT_FALSE(readWritten(GgufWriter().u32(kContextKey, 8192).declareKvCount(2)));

    EXPECT_FALSE(readWritten(GgufWriter().string("general.architecture", "llama").u32("llama.block_count", 32)));
    EXPECT_FALSE(readWritten(GgufWriter().i32(kContextKey, -5)));
    EXPECT_FALSE(readWritten(GgufWriter().u32(kContextKey, 0)));
    EXPECT_FALSE(readWritten(GgufWriter().f32(kContextKey, 8192.0f)));
    EXPECT_FALSE(readWritten(GgufWriter().u64(kContextKey, ~uint64_t(0))));

    // Not regular files: a folder, and a FIFO, which must not block the read.
    const QString folder = cvn::test::makeTempFolder();
    EXPECT_FALSE(GgufMetadata::read(folder));
    const QString fifo = folder + "/pipe.gguf";
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(GgufMetadata::read(fifo));
    EXPECT_FALSE(GgufMetadata::isProjectorFile(fifo, "pipe.gguf"));
    EXPECT_FALSE(GgufMetadata::read(folder + "/missing.gguf"));
}

TEST(GgufMetadata, LastMatchingKeyWinsAndIntegersKeepTheirWidth)
{
    auto info = readWritten(GgufWriter().u32(kContextKey, 8192).u32("xyz.context_length", 4096));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nCtxTrain, 4096);

    // A type code above 12 carries no bytes: the next key follows at once.
    info = readWritten(GgufWriter().pair("odd", 13, {}).u32(kContextKey, 2048));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nCtxTrain, 2048);

    info = readWritten(GgufWriter().u64(kContextKey, (uint64_t(1) << 32) + 1));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nCtxTrain, (int64_t(1) << 32) + 1);

    info = readWritten(GgufWriter()
                           .u32(kContextKey, 4096)
                           .u32("llama.attention.head_count_kv", 8)
                           .u32("llama.attention.head_count", 32)
                           .u32("llama.rope.dimension_count", 128)
                           .u32("llama.embedding_length", 4096)
                           .u32("llama.expert_count", 8)
                           .u32("llama.expert_used_count", 2)
                           .u32("general.file_type", 15)
                           .string("tokenizer.chat_template", "{{ messages }}"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nHeadKv, 8);
    EXPECT_EQ(info->nHead, 32);
    EXPECT_EQ(info->ropeDim, 128);
    EXPECT_EQ(info->nEmbd, 4096);
    EXPECT_EQ(info->expertCount, 8);
    EXPECT_EQ(info->expertUsedCount, 2);
    EXPECT_EQ(info->fileType, 15);
    EXPECT_EQ(info->embeddedChatTemplate, QStringLiteral("{{ messages }}"));
}

TEST(GgufMetadata, OddValueTypes)
{
    auto info = readWritten(withContextAfter(GgufWriter().i32("general.architecture", 7)));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->architecture, QString());

    info = readWritten(withContextAfter(GgufWriter().string("general.file_type", "15")));
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->fileType);

    info = readWritten(withContextAfter(GgufWriter().pair("general.file_type", GgufWriter::Bool, "\x05")));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileType, 1);

    info = readWritten(withContextAfter(GgufWriter().pair("llama.block_count", GgufWriter::Int8, "\xFF")));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nLayers, -1);

    info = readWritten(withContextAfter(GgufWriter().u32("clip.vision.block_count", 24)));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nLayers, 24);
    info = readWritten(withContextAfter(GgufWriter().u32("clip.vision.block_count", 24).u32("llama.block_count", 32)));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nLayers, 32);

    // Scalars that are skipped, and arrays of each kind, before the context.
    GgufWriter mixed;
    mixed.pair("f64", GgufWriter::Float64, GgufWriter::le64(0))
        .pair("ints", GgufWriter::Array, GgufWriter::le32(GgufWriter::UInt16) + GgufWriter::le64(3) + QByteArray(6, 'x'))
        .pair("words", GgufWriter::Array,
              GgufWriter::le32(GgufWriter::String) + GgufWriter::le64(2) + GgufWriter::ggufString("ab")
                  + GgufWriter::ggufString(""))
        .pair("nested", GgufWriter::Array,
              GgufWriter::le32(GgufWriter::Array) + GgufWriter::le64(2) + GgufWriter::le32(GgufWriter::Int8)
                  + GgufWriter::le64(1) + "z" + GgufWriter::le32(GgufWriter::String) + GgufWriter::le64(1)
                  + GgufWriter::ggufString("q"));
    info = readWritten(withContextAfter(mixed));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nCtxTrain, 2048);
}

TEST(GgufMetadata, SparseHugeArraysAreSteppedOver)
{
    const int64_t count = 200'000'000;
    GgufWriter w;
    w.pair("weights", GgufWriter::Array, GgufWriter::le32(GgufWriter::Float32) + GgufWriter::le64(count))
        .hole(count * 4)
        .u32(kContextKey, 4096);
    const auto info = readWritten(w);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->nCtxTrain, 4096);
    // 800,000,0xx bytes: 762.9 MB, truncated.
    EXPECT_EQ(info->fileSizeMb, 762);

    GgufWriter tooMany;
    tooMany.pair("weights", GgufWriter::Array, GgufWriter::le32(GgufWriter::UInt8) + GgufWriter::le64(count + 1))
        .hole(count + 1)
        .u32(kContextKey, 4096);
    EXPECT_FALSE(readWritten(tooMany));

    // An element type that is not a GGUF type: 2e8 elements of nothing, passed
    // at once; the context key follows directly.
    const auto nothing = readWritten(withContextAfter(GgufWriter().pair(
        "void", GgufWriter::Array, GgufWriter::le32(13) + GgufWriter::le64(count))));
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->nCtxTrain, 2048);
}

TEST(GgufMetadata, HostileLengthsAndNesting)
{
    // Invalid UTF-8 in text comes back replaced, not refused.
    auto info = readWritten(withContextAfter(GgufWriter().string("tokenizer.chat_template", "ab\xFF" "cd")));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->embeddedChatTemplate, QStringLiteral("ab\uFFFDcd"));
    info = readWritten(withContextAfter(GgufWriter().string("tokenizer.chat_template", "x\xE2\x82")));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->embeddedChatTemplate, QStringLiteral("x\uFFFD"));

    // A key one byte over 64 MiB, declared but absent, and present.
    const uint64_t overLimit = 67'108'865;
    EXPECT_FALSE(readBytes(GgufWriter().bytes() + GgufWriter::le64(overLimit) + "general"));
    EXPECT_FALSE(readWritten(GgufWriter().raw(GgufWriter::le64(overLimit)).hole(int64_t(overLimit)).u32(kContextKey, 1)));
    // A text value longer than the file.
    EXPECT_FALSE(readBytes(GgufWriter().u32(kContextKey, 4096).declareKvCount(2).bytes()
                           + GgufWriter::ggufString("general.architecture") + GgufWriter::le32(GgufWriter::String)
                           + GgufWriter::le64(1000) + "llama"));
    // A string inside an array may be longer than 64 MiB; a length beyond the
    // signed 64-bit range, or one that carries the offset past it, fails.
    GgufWriter longElement;
    longElement.pair("vocab", GgufWriter::Array,
                     GgufWriter::le32(GgufWriter::String) + GgufWriter::le64(1) + GgufWriter::le64(overLimit))
        .hole(int64_t(overLimit))
        .u32(kContextKey, 4096);
    EXPECT_TRUE(readWritten(longElement));
    for (uint64_t length : {uint64_t(INT64_MAX) + 1, uint64_t(INT64_MAX), uint64_t(INT64_MAX) - 40}) {
        EXPECT_FALSE(readWritten(withContextAfter(GgufWriter().pair(
            "vocab", GgufWriter::Array,
            GgufWriter::le32(GgufWriter::String) + GgufWriter::le64(2) + GgufWriter::le64(length)
                + GgufWriter::le64(length)))))
            << length;
    }
    // A final array that steps past the end of the file is not itself an error.
    info = readWritten(GgufWriter().u32(kContextKey, 4096).pair(
        "tail", GgufWriter::Array, GgufWriter::le32(GgufWriter::Float64) + GgufWriter::le64(1000)));
    ASSERT_TRUE(info);

    // Arrays nested a million deep: refused, without exhausting the stack.
    const QByteArray level = GgufWriter::le32(GgufWriter::Array) + GgufWriter::le64(1);
    EXPECT_FALSE(readWritten(GgufWriter().pair("deep", GgufWriter::Array, level.repeated(1'000'000)).u32(kContextKey, 1)));
    // 64 levels are still read.
    EXPECT_TRUE(readWritten(withContextAfter(GgufWriter().pair(
        "deep", GgufWriter::Array, level.repeated(63) + GgufWriter::le32(GgufWriter::UInt8) + GgufWriter::le64(0)))));
    EXPECT_FALSE(readWritten(withContextAfter(GgufWriter().pair(
        "deep", GgufWriter::Array, level.repeated(64) + GgufWriter::le32(GgufWriter::UInt8) + GgufWriter::le64(0)))));

    // A thousand nested arrays of 2e8 elements of no type: this must return
    // at once instead of looping 2e8 times per level.
    const QByteArray wide = GgufWriter::le32(GgufWriter::Array) + GgufWriter::le64(200'000'000);
    EXPECT_FALSE(readWritten(GgufWriter()
                                 .pair("wide", GgufWriter::Array, wide.repeated(999) + GgufWriter::le32(13)
                                           + GgufWriter::le64(200'000'000))
                                 .u32(kContextKey, 1)));
    EXPECT_FALSE(readWritten(GgufWriter()
                                 .pair("wide", GgufWriter::Array, wide.repeated(40) + GgufWriter::le32(13)
                                           + GgufWriter::le64(200'000'000))
                                 .u32(kContextKey, 1)));
}

TEST(GgufMetadata, ProjectorDetectionAloneAndWithTheRecord)
{
    const QString folder = cvn::test::makeTempFolder();
    QFile garbage(folder + "/f.gguf");
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a model");
    garbage.close();
    const struct {
        QString path;
        QString name;
        bool projector;
        bool hasRecord;
    } cases[] = {
        // The name alone, whatever the file.
        {"missing/path", "mmproj-model-f16.gguf", true, false},
        {"missing/path", "sub/MMPROJ-x.gguf", true, false},
        {"missing/path", "model.gguf", false, false},
        {withContextAfter(GgufWriter().string("general.architecture", "llama")).writeTo(folder, "mmproj-x.gguf"),
         "mmproj-x.gguf", true, true},
        // A clip architecture, or clip keys before any architecture.
        {GgufWriter().string("general.architecture", "CLIP").writeTo(folder, "a.gguf"), "a.gguf", true, false},
        {GgufWriter().string("general.architecture", "clip").u32("clip.context_length", 77).writeTo(folder, "clip.gguf"),
         "clip.gguf", true, true},
        {GgufWriter().u32("general.alignment", 32).pair("clip.has_vision_encoder", GgufWriter::Bool, "\x01").writeTo(
             folder, "b.gguf"),
         "b.gguf", true, false},
        {withContextAfter(GgufWriter().pair("clip.has_vision_encoder", GgufWriter::Bool, "\x01")).writeTo(folder, "h.gguf"),
         "h.gguf", true, true},
        {GgufWriter().u32("clip.x", 1).string("general.architecture", "llama").writeTo(folder, "c.gguf"), "c.gguf",
         false, false},
        // A "general.type" of "mmproj" wherever it stands, whatever the
        // architecture; another type says nothing.
        {withContextAfter(GgufWriter()
                              .string("general.architecture", "qwen2vl")
                              .string("general.type", "mmproj")
                              .u32("clip.vision.image_size", 448))
             .writeTo(folder, "vision-encoder.gguf"),
         "vision-encoder.gguf", true, true},
        {withContextAfter(GgufWriter().string("general.type", "MMPROJ")).writeTo(folder, "t.gguf"), "t.gguf", true, true},
        {withContextAfter(GgufWriter().string("general.architecture", "llama").string("general.type", "model"))
             .writeTo(folder, "m.gguf"),
         "m.gguf", false, true},
        // The scan stops at the architecture: a header that fails after it
        // gives no record, and still a projector.
        {GgufWriter().string("general.architecture", "siglip").u32(kContextKey, 4096).declareKvCount(5).writeTo(
             folder, "d.gguf"),
         "d.gguf", true, false},
        {garbage.fileName(), "f.gguf", false, false},
        {folder + "/missing.gguf", "missing.gguf", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(GgufMetadata::isProjectorFile(c.path, c.name), c.projector);
        const GgufMetadata::ModelFileFacts facts = GgufMetadata::readModelFile(c.path, c.name);
        EXPECT_EQ(facts.isProjector, c.projector);
        EXPECT_EQ(facts.info.has_value(), c.hasRecord);
    }
    EXPECT_EQ(GgufMetadata::headerSaysProjector(folder + "/a.gguf"),
              (GgufMetadata::ProjectorHint{QStringLiteral("CLIP"), false}));
    EXPECT_EQ(GgufMetadata::headerSaysProjector(GgufWriter().writeTo(folder, "e.gguf")), GgufMetadata::ProjectorHint{});
    EXPECT_FALSE(GgufMetadata::headerSaysProjector(garbage.fileName()));

    // Clip keys count before the architecture only; the record takes the last one.
    const QString clipThenLlama = GgufWriter()
                                      .u32("clip.x", 1)
                                      .string("general.architecture", "llama")
                                      .string("general.architecture", "clip")
                                      .u32(kContextKey, 4096)
                                      .writeTo(folder, "g.gguf");
    const GgufMetadata::ModelFileFacts facts = GgufMetadata::readModelFile(clipThenLlama, "g.gguf");
    EXPECT_FALSE(facts.isProjector);
    EXPECT_FALSE(GgufMetadata::isProjectorFile(clipThenLlama, "g.gguf"));
    ASSERT_TRUE(facts.info);
    EXPECT_EQ(facts.info->architecture, "clip");
    EXPECT_EQ(facts.info->nCtxTrain, 4096);
}

TEST(GgufMetadata, FileSizeIsTruncatedToWholeMegabytes)
{
    GgufWriter w;
    w.u32(kContextKey, 4096);
    auto info = readWritten(w, 1'048'575);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileSizeMb, 0);
    info = readWritten(w, 1'048'576);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileSizeMb, 1);
}
