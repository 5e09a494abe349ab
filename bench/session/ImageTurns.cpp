#include "ImageTurns.h"


#include "TestModelWriter.h"
#include "engine/LlamaModel.h"
#include "models/GgufMetadata.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QImage>
#include <QMutex>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include <llama.h>

namespace cvn::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The encode's own figure, from the runtime log line each encode writes.
QMutex encodeLock;
std::vector<double> encodeSeconds;
QtMessageHandler previousHandler = nullptr;

void watchEncodes(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QRegularExpression line(QStringLiteral("Encoded an image of \\d+ positions in ([0-9.]+) s"));
    const QRegularExpressionMatch match = line.match(message);
    if (match.hasMatch()) {
        QMutexLocker lock(&encodeLock);
        encodeSeconds.push_back(match.captured(1).toDouble());
    }
    if (previousHandler && type != QtDebugMsg && type != QtInfoMsg)
        previousHandler(type, context, message);
}

ChatImage picture()
{
    QImage image(640, 480, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 640, 480);
    gradient.setColorAt(0, Qt::darkBlue);
    gradient.setColorAt(1, Qt::yellow);
    painter.fillRect(image.rect(), gradient);
    painter.setBrush(Qt::red);
    painter.drawEllipse(QPoint(320, 240), 120, 90);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {QStringLiteral("picture.png"), bytes};
}

struct Turn {
    double firstTokenSeconds = -1;
    QString reply;
    std::optional<QString> failure;
};

Turn runTurn(LlamaModel& model, const std::string& text, const QList<ChatImage>& images, int64_t replyTokens)
{
    SamplingParams params = SamplingParams::defaults();
    params.temperature = 0;
    params.maxTokens = replyTokens;
    Turn turn;
    std::promise<void> ended;
    const Clock::time_point start = Clock::now();
    GenerationSink sink;
    sink.onPiece = [&](const QString& piece) {
        if (turn.firstTokenSeconds < 0)
            turn.firstTokenSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        turn.reply += piece;
        return true;
    };
    sink.onFinished = [&] { ended.set_value(); };
    GenerationHandle handle = model.generate(
        [text, images](const LlamaModel& m, SamplingParams&) { return m.tokenize(text, images); }, params,
        std::move(sink));
    ended.get_future().wait();
    model.queue().sync([] {});
    turn.failure = model.lastStreamFailure();
    return turn;
}

// A run whose image encode is stopped half a second in: the seconds from
// the stop to the run's end; -1 when the encode never began.
double stopDuringEncodeSeconds(LlamaModel& model, const std::string& text, const QList<ChatImage>& images)
{
    std::promise<void> began;
    LlamaModel::TestHooks hooks;
    hooks.duringEncode = [&] { began.set_value(); };
    model.queue().sync([&] {
        model.setTestHooks(hooks);
        llama_memory_clear(llama_get_memory(model.contextHandle()), true);
    });
    std::promise<void> ended;
    GenerationSink sink;
    sink.onPiece = [](const QString&) { return true; };
    sink.onFinished = [&] { ended.set_value(); };
    GenerationHandle handle = model.generate(
        [text, images](const LlamaModel& m, SamplingParams&) { return m.tokenize(text, images); },
        SamplingParams::defaults(), std::move(sink));
    std::future<void> end = ended.get_future();
    if (began.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        end.wait();
        return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Clock::time_point stop = Clock::now();
    model.requestStop();
    end.wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - stop).count();
    model.queue().sync([&] { model.setTestHooks({}); });
    return seconds;
}

// The model at `path` beside a random projector of `spec`'s shape, written
// for the model's width into `folder`; null when any step fails (said on
// stderr).
std::shared_ptr<LlamaModel> loadWithRandomProjector(const QString& path, long threads, long ctx,
                                                    testmodel::ProjectorSpec spec, const QString& folder)
{
    const std::optional<GgufInfo> facts = GgufMetadata::read(path);
    if (!facts || facts->nEmbd <= 0) {
        std::fprintf(stderr, "cvn-bench-session: %s gives no embedding width\n", qPrintable(path));
        return nullptr;
    }
    spec.textEmbd = facts->nEmbd;
    const QString projector = folder + QStringLiteral("/mmproj.gguf");
    if (const std::string written = testmodel::writeRandomProjector(projector.toStdString(), spec); !written.empty()) {
        std::fprintf(stderr, "cvn-bench-session: cannot write the projector: %s\n", written.c_str());
        return nullptr;
    }
    std::shared_ptr<LlamaModel> model;
    try {
        LlamaModel::LoadExtras extras;
        extras.projectorPath = projector;
        model = LlamaModel::load(path, ctx, 0, threads, std::nullopt, extras);
    } catch (const LoadError& error) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(error.description()));
        return nullptr;
    }
    if (!model->seesImages()) {
        std::fprintf(stderr, "cvn-bench-session: the projector did not load: %s\n",
                     qPrintable(model->projectorFailure().value_or(QString())));
        return nullptr;
    }
    return model;
}

// The process's peak resident memory, in kB; the peak is reset before each
// measured prompt (Linux's clear_refs), so each reads its own.
long long peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

// A picture of its own for each index: flat areas, so that 2048 x 2048 PNGs
// stay small as screenshots do, or a photo's noise and gradients in JPEG.
ChatImage distinctPicture(int index, QSize size, bool photo)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(uint32_t(index) * 7919u + 1u);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor::fromHsv(index * 37 % 360, 200, 120));
    gradient.setColorAt(1, QColor::fromHsv(index * 91 % 360, 120, 230));
    painter.fillRect(image.rect(), photo ? QBrush(gradient) : QBrush(QColor::fromHsv(index * 37 % 360, 180, 200)));
    for (int k = 0; k < 12; ++k) {
        painter.setBrush(QColor::fromRgb(random.generate() | 0xFF000000u));
        painter.drawEllipse(QPoint(int(random.bounded(size.width())), int(random.bounded(size.height()))),
                            40 + int(random.bounded(200)), 40 + int(random.bounded(200)));
    }
    painter.end();
    if (photo)
        for (int y = 0; y < size.height(); y += 2)
            for (int x = (y / 2) % 3; x < size.width(); x += 3)
                image.setPixel(x, y, image.pixel(x, y) ^ (random.generate() & 0x0F0F0F));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, photo ? "JPEG" : "PNG", photo ? 85 : -1);
    return {QStringLiteral("picture-%1.%2").arg(index).arg(photo ? "jpg" : "png"), bytes};
}

// A chat's first turn (`count` pieces, each an image or a line), then a
// follow-up from the state it kept: the follow-up's first token, the median
// of five rounds (each round's first turn restores the last one's state).
double followUpSeconds(LlamaModel& model, const QList<ChatImage>& images, long count)
{
    std::string first = "USER: Here are my pictures.";
    for (long i = 0; i < count; ++i) {
        first += '\n';
        if (images.isEmpty())
            first.append("Picture ").append(std::to_string(i)).append(": a garden at dusk, seen from the gate.");
        else
            first += LlamaModel::imageMarker(int(i)).toStdString();
    }
    first += "\nWhich of them has the most red?\nASSISTANT:";
    std::vector<double> rounds;
    for (int round = 0; round < 5; ++round) {
        const Turn one = runTurn(model, first, images, 16);
        if (one.failure || one.firstTokenSeconds < 0)
            return -1;
        const std::string next = first + one.reply.toStdString() + "\nUSER: And the most blue?\nASSISTANT:";
        const Turn two = runTurn(model, next, images, 1);
        if (two.failure || two.firstTokenSeconds < 0)
            return -1;
        rounds.push_back(two.firstTokenSeconds);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

} // namespace

int runManyImages(const QString& path, long threads, long ctx, long count)
{
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cvn-bench-session: no temporary folder: %s\n", qPrintable(folder.errorString()));
        return 1;
    }
    testmodel::ProjectorSpec spec;
    spec.imageSize = 56; // 4 x 4 patches: 16 positions an image
    const std::shared_ptr<LlamaModel> model = loadWithRandomProjector(path, threads, ctx, spec, folder.path());
    if (!model)
        return 1;
    QList<ChatImage> large, photos;
    for (long i = 0; i < count; ++i) {
        large.append(distinctPicture(int(i), QSize(2048, 2048), false));
        photos.append(distinctPicture(int(i + count), QSize(1600, 1200), true));
    }
    const auto peakOf = [&](const QList<ChatImage>& images) -> long long {
        std::string prompt = "USER: What do these show?";
        for (qsizetype i = 0; i < images.size(); ++i)
            prompt += LlamaModel::imageMarker(int(i)).toStdString();
        prompt += "\nASSISTANT:";
        if (!resetPeak())
            return -1;
        const Turn turn = runTurn(*model, prompt, images, 1);
        return turn.failure ? -1 : peakKb();
    };
    const long long one = peakOf(large.mid(0, 1));
    const long long many = peakOf(large);
    if (one <= 0 || many <= 0) {
        std::fprintf(stderr, "cvn-bench-session: the prompts of images failed or no peak could be read\n");
        return 1;
    }
    const double withImages = followUpSeconds(*model, photos, count);
    const double withLines = followUpSeconds(*model, {}, count);
    if (withImages < 0 || withLines < 0) {
        std::fprintf(stderr, "cvn-bench-session: a follow-up failed\n");
        return 1;
    }
    std::printf("model: %s\nprojector: 16 positions an image, threads %ld, context %ld\n", qPrintable(path), threads,
                ctx);
    std::printf("peak memory: %lld kB with 1 image, %lld kB with %ld\n", one, many, count);
    std::printf("follow-up first token: %.3f s with %ld images, %.3f s with none\n", withImages, count, withLines);
    std::printf("peak memory with %ld images/with 1: %.3f\n", count, double(many) / double(one));
    std::printf("follow-up with %ld images/with none first token: %.3f\n", count, withImages / withLines);
    return 0;
}

int runImageTurns(const QString& path, long threads, long ctx)
{
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cvn-bench-session: no temporary folder: %s\n", qPrintable(folder.errorString()));
        return 1;
    }
    testmodel::ProjectorSpec spec;
    spec.layout = testmodel::ProjectorLayout::mlp;
    spec.imageSize = 336;
    spec.patchSize = 14;
    spec.width = 1024;
    spec.layers = 24;
    spec.heads = 16;
    spec.ff = 4096;
    spec.type = testmodel::WeightType::f16;
    previousHandler = qInstallMessageHandler(watchEncodes);
    const std::shared_ptr<LlamaModel> model = loadWithRandomProjector(path, threads, ctx, spec, folder.path());
    if (!model)
        return 1;
    const QList<ChatImage> images{picture()};
    const std::string first = "USER: " + LlamaModel::imageMarker(0).toStdString()
        + "\nWhat is in this picture? Describe its colours and shapes.\nASSISTANT:";
    const Turn one = runTurn(*model, first, images, 32);
    if (one.failure || one.firstTokenSeconds < 0) {
        std::fprintf(stderr, "cvn-bench-session: the first turn failed: %s\n",
                     qPrintable(one.failure.value_or(QStringLiteral("no reply"))));
        return 1;
    }
    const std::string second = first + one.reply.toStdString() + "\nUSER: And what is in its middle?\nASSISTANT:";
    const Turn kept = runTurn(*model, second, images, 1);
    // The memory emptied: the next run finds none of its prompt there.
    model->queue().sync([&] { llama_memory_clear(llama_get_memory(model->contextHandle()), true); });
    const Turn full = runTurn(*model, second, images, 1);
    qInstallMessageHandler(previousHandler);
    if (kept.firstTokenSeconds < 0 || full.firstTokenSeconds < 0) {
        std::fprintf(stderr, "cvn-bench-session: the second turn gave no token\n");
        return 1;
    }
    QMutexLocker lock(&encodeLock);
    if (encodeSeconds.size() != 2) {
        std::fprintf(stderr, "cvn-bench-session: %zu encodes where 2 were expected (first turn, full decode)\n",
                     encodeSeconds.size());
        return 1;
    }
    lock.unlock();
    const double stopSeconds = stopDuringEncodeSeconds(*model, second, images);
    if (stopSeconds < 0) {
        std::fprintf(stderr, "cvn-bench-session: the stopped run's encode never began\n");
        return 1;
    }
    std::printf("model: %s\nprojector: LLaVA-1.5 shape (336 px, patch 14, 24 layers of 1024, f16), threads %ld, "
                "context %ld\n",
                qPrintable(path), threads, ctx);
    std::printf("first turn first token: %.3f s\n", one.firstTokenSeconds);
    std::printf("second turn first token: kept %.3f s, full %.3f s\n", kept.firstTokenSeconds,
                full.firstTokenSeconds);
    std::printf("image encode seconds: %.2f\n", encodeSeconds.front());
    std::printf("stop during an image encode, to the run's end: %.3f s\n", stopSeconds);
    std::printf("second turn with an image first token kept/full: %.3f\n",
                kept.firstTokenSeconds / full.firstTokenSeconds);
    return 0;
}

} // namespace cvn::bench
