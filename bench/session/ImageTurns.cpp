#include "ImageTurns.h"


#include "TestModelWriter.h"
#include "engine/LlamaModel.h"
#include "models/GgufMetadata.h"

#include <QBuffer>
#include <QImage>
#include <QMutex>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <future>

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

} // namespace

int runImageTurns(const QString& path, long threads, long ctx)
{
    const std::optional<GgufInfo> facts = GgufMetadata::read(path);
    if (!facts || facts->nEmbd <= 0) {
        std::fprintf(stderr, "cvn-bench-session: %s gives no embedding width\n", qPrintable(path));
        return 1;
    }
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cvn-bench-session: no temporary folder: %s\n", qPrintable(folder.errorString()));
        return 1;
    }
    testmodel::ProjectorSpec spec;
    spec.layout = testmodel::ProjectorLayout::mlp;
    spec.textEmbd = facts->nEmbd;
    spec.imageSize = 336;
    spec.patchSize = 14;
    spec.width = 1024;
    spec.layers = 24;
    spec.heads = 16;
    spec.ff = 4096;
    spec.type = testmodel::WeightType::f16;
    const QString projector = folder.filePath(QStringLiteral("mmproj-llava-shape.gguf"));
    const std::string written = testmodel::writeRandomProjector(projector.toStdString(), spec);
    if (!written.empty()) {
        std::fprintf(stderr, "cvn-bench-session: cannot write the projector: %s\n", written.c_str());
        return 1;
    }
    previousHandler = qInstallMessageHandler(watchEncodes);
    std::shared_ptr<LlamaModel> model;
    try {
        LlamaModel::LoadExtras extras;
        extras.projectorPath = projector;
        model = LlamaModel::load(path, ctx, 0, threads, std::nullopt, extras);
    } catch (const LoadError& error) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(error.description()));
        return 1;
    }
    if (!model->seesImages()) {
        std::fprintf(stderr, "cvn-bench-session: the projector did not load: %s\n",
                     qPrintable(model->projectorFailure().value_or(QString())));
        return 1;
    }
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
    std::printf("model: %s\nprojector: LLaVA-1.5 shape (336 px, patch 14, 24 layers of 1024, f16), threads %ld, "
                "context %ld\n",
                qPrintable(path), threads, ctx);
    std::printf("first turn first token: %.3f s\n", one.firstTokenSeconds);
    std::printf("second turn first token: kept %.3f s, full %.3f s\n", kept.firstTokenSeconds,
                full.firstTokenSeconds);
    std::printf("image encode seconds: %.2f\n", encodeSeconds.front());
    std::printf("second turn with an image first token kept/full: %.3f\n",
                kept.firstTokenSeconds / full.firstTokenSeconds);
    return 0;
}

} // namespace cvn::bench
