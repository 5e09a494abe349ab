// The chat's reply as a job of the model slot: it waits its turn (its
// bubble says for what), has the chat's model loaded again when another is
// in the slot or its file changed, and streams into its bubble. A council
// member's answer is the same reply (replyDecode).

#include "engine/LlamaSessionImages.h"
#include "engine/SessionRuns.h"
#include "models/ModelStore.h"
#include "platform/MainThread.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

namespace cvn {

namespace {

const QString kNoTokens = QStringLiteral("Model returned no tokens.");
const QString kRewritten = QStringLiteral("Stopped: another program is rewriting the model file");
const QString kWaitsForRequest = QStringLiteral("Waiting for another program's request to finish…");
const QString kContextFull = QStringLiteral("Reply cut short: the context is full");

QString projectorFailureText(const QString& reason)
{
    return QStringLiteral("The image projector could not be loaded (%1), so this model reads the text of images "
                          "instead.")
        .arg(reason);
}

QString loadingText(const QString& model)
{
    return QStringLiteral("Loading %1...").arg(model);
}

using SteadyClock = std::chrono::steady_clock;

int64_t msBetween(SteadyClock::time_point from, SteadyClock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

} // namespace

SessionTask LlamaSession::submitReply(const QUuid& bubbleId, const QList<ReplyPrompt::Message>& messages)
{
    auto run = std::make_shared<ReplyRun>();
    run->turnId = bubbleId;
    run->messages = messages;
    m_reply = run;
    // Streaming from now on: the user keeps a stop button, and no second
    // reply starts while this one waits.
    setStreaming(true);
    publishSnapshot();
    const SessionTask task = run->task;
    run->job = m_slot->submit(replyJob(run));
    if (m_slot->isQueued(run->job)) {
        run->waited = true;
        showWhatTheReplyWaitsFor();
    }
    return task;
}

ModelSlot::Job LlamaSession::replyJob(const std::shared_ptr<ReplyRun>& run)
{
    ModelSlot::Job job;
    job.client = ModelSlot::Client::chat;
    // The store's record, for the name and choices the user may have
    // changed since the load.
    job.model = [this]() -> std::optional<ModelInfo> {
        if (!m_chatChoice)
            return std::nullopt;
        return m_store->model(m_chatChoice->id).value_or(*m_chatChoice);
    };
    job.onStart = [this, run] {
        if (run != m_reply) {
            run->task.finish(); // stopped, or the transcript was replaced meanwhile
            return false;
        }
        if (m_chatChoice)
            return true;
        // The pick it waited for failed (its dialog says why): the bubble
        // becomes what a send without a model gets, the question stays.
        if (const qsizetype index = indexOf(run->turnId); index >= 0) {
            m_turns[index].waitingFor.clear();
            m_turns[index].state = Turn::State::failed(kNoModelText);
            emit turnsChanged();
        }
        m_reply.reset();
        setStreaming(false);
        publishSnapshot();
        run->task.finish();
        return false;
    };
    job.onLoading = [this, run](const ModelInfo&) {
        if (run != m_reply)
            return;
        if (run->waited)
            setWaitingFor(run->turnId, loadingText(m_chatChoice->displayName));
        setStreaming(true);
        publishSnapshot();
    };
    job.onLoadProgress = [this, run](float fraction) {
        if (run == m_reply)
            setProgress(run->turnId, loadProgressText(fraction));
    };
    job.onLoadFailed = [this, run](const ModelInfo& loaded, const LoadError& error) {
        if (run != m_reply) {
            run->task.finish(); // stopped, or the transcript was replaced meanwhile
            return;
        }
        m_chatChoice.reset(); // the chat has no model now, as after an unload
        // The bubble becomes what a send without a model gets.
        if (const qsizetype index = indexOf(run->turnId); index >= 0) {
            m_turns[index].state = Turn::State::failed(kNoModelText);
            emit turnsChanged();
        }
        m_reply.reset();
        setStreaming(false);
        publishSnapshot();
        emit reloadFailed(loaded.displayName, error.description());
        run->task.finish();
    };
    job.decode = [this, run](const ModelSlot::Ready& ready) -> std::optional<ModelSlot::Decode> {
        if (run != m_reply || !ready.model) {
            run->task.finish(); // stopped while its model loaded: the model stays
            return std::nullopt;
        }
        return replyDecode(run, ready);
    };
    job.onCancelled = [this, run] {
        if (run == m_reply)
            finishReply(run);
        run->task.finish();
    };
    return job;
}

void LlamaSession::setWaitingFor(const QUuid& turnId, const QString& text)
{
    const qsizetype index = indexOf(turnId);
    if (index < 0 || m_turns[index].waitingFor == text)
        return;
    m_turns[index].waitingFor = text;
    emit turnsChanged();
}

void LlamaSession::showWhatTheReplyWaitsFor()
{
    if (!m_reply || !m_reply->waited || !m_slot->isQueued(m_reply->job))
        return;
    const ModelSlot::State& state = m_slot->state();
    if (state.job == 0)
        return;
    if (state.client == ModelSlot::Client::request)
        setWaitingFor(m_reply->turnId, kWaitsForRequest);
    else if (state.client == ModelSlot::Client::pick && m_pickPending)
        setWaitingFor(m_reply->turnId, loadingText(m_pickPending->displayName));
}

ModelSlot::Decode LlamaSession::replyDecode(const std::shared_ptr<ReplyRun>& run, const ModelSlot::Ready& ready)
{
    // Whatever it waited for is there now.
    setWaitingFor(run->turnId, QString());
    setProgress(run->turnId, QString());
    run->model = ready.model;
    run->job = ready.job;
    noteModelTroubles(run, *ready.model);
    setStreaming(true);
    setTokensPerSecond(std::nullopt);
    publishSnapshot();

    const ModelInfo& record = ready.record;
    QList<ReplyPrompt::Message> withInstructions = run->messages;
    if (const QString system = instructionsFor(record); !system.isEmpty())
        withInstructions.prepend({QUuid(), ChatMessage{ChatMessage::Role::system, system}});

    // The prompt is made on the model's queue, which owns its tokenizer,
    // from where this chat's last prompt for this model and context began.
    QPointer<LlamaSession> self(this);
    const QUuid modelId = record.id;
    const int64_t contextSize = ready.model->contextSize();
    ModelSlot::Decode decode;
    decode.prompt = [self, run, withInstructions, modelId, contextSize, chatTemplate = ready.chatTemplate,
                     cut = m_cuts.of(modelId, contextSize)](const LlamaModel& model, SamplingParams&) {
        run->progress.begin(SteadyClock::now());
        // Each model gets the images it can take, the others their text.
        QList<ReplyPrompt::Message> messages = withInstructions;
        const bool seesImages = model.seesImages();
        SessionImages::fitForModel(messages, seesImages, &model);
        const QList<ChatImage> images = seesImages ? SessionImages::gather(messages) : QList<ChatImage>();
        ReplyPrompt::Made made;
        try {
            made = ReplyPrompt::make(messages, chatTemplate, contextSize, cut,
                                     SessionImages::tokenizer(model, images),
                                     [&] { return model.stopRequested() || model.freeRequested(); });
        } catch (const ImageError& error) {
            // The reply ends as this failure; the question and its images stay.
            runOnMain([run, sentence = QString::fromUtf8(error.what())] { run->imageFailure = sentence; });
            return std::vector<int32_t>();
        }
        if (made.stopped)
            return std::vector<int32_t>(); // the cut stays where it was
        std::vector<int32_t> tokens = std::exchange(made.tokens, {});
        QHash<QUuid, QList<ChatImage>> learnt;
        if (!images.isEmpty())
            learnt = SessionImages::learntFacts(model, withInstructions);
        runOnMain([self, run, modelId, contextSize, made = std::move(made), learnt = std::move(learnt)] {
            if (!self)
                return;
            self->promptMade(run, modelId, contextSize, made);
            self->keepImageFacts(learnt);
        });
        return tokens;
    };
    decode.sampling = samplingFor(record.sampling, contextSize);
    decode.sampling.stopSequences = ready.chatTemplate.stopSequences();
    decode.sink.onProgress = [self, run, alive = std::weak_ptr<int>(m_alive),
                              delay = m_progressDelay](const RunProgress& progress) {
        if (alive.expired())
            return;
        if (std::optional<QString> text = run->progress.text(progress, SteadyClock::now(), delay)) {
            runOnMain([self, run, text = std::move(*text)] {
                // Nothing of it shows once the first word is there.
                if (self && run->pieces == 0 && run->relay.isEmpty())
                    self->setProgress(run->turnId, text);
            });
        }
    };

    // Pieces travel to the main thread by posting, at most once a frame (see
    // PieceRelay); the worker never waits for the main thread.
    std::weak_ptr<int> alive = m_alive;
    decode.sink.onPiece = [self, run, alive, interval = m_pieceInterval](const QString& piece) {
        if (alive.expired())
            return false;
        if (run->relay.push(piece, SteadyClock::now(), interval)) {
            runOnMain([self, run] {
                if (self)
                    self->applyPieces(run);
            });
        }
        return true;
    };
    // The slot tells of the end once it is free again, so that whoever
    // hears the reply ended finds the chat's model idle.
    decode.sink.onFinished = [self, run] {
        runOnMain([self, run] {
            if (!self)
                run->task.finish();
        });
    };
    decode.ended = [this, run] {
        applyPieces(run); // what the last delivery left behind
        finishReply(run);
    };
    run->startedAt = SteadyClock::now();
    run->decoding = true;
    return decode;
}

void LlamaSession::promptMade(const std::shared_ptr<ReplyRun>& run, const QUuid& model, int64_t contextSize,
                              const ReplyPrompt::Made& made)
{
    // A reply whose chat was replaced meanwhile tells nothing of this one.
    if (run != m_reply)
        return;
    m_cuts.set(model, contextSize, made.cut);
    setFirstSeenTurnId(made.cut);
    if (m_promptObserver)
        m_promptObserver(made.text);
}

void LlamaSession::keepImageFacts(const QHash<QUuid, QList<ChatImage>>& learnt)
{
    for (auto it = learnt.begin(); it != learnt.end(); ++it) {
        const qsizetype index = indexOf(it.key());
        if (index < 0)
            continue;
        // Only onto the images they were learnt of: a turn's images never
        // change, but the facts must never land on others.
        QList<ChatImage>& images = m_turns[index].images;
        const bool same = std::equal(images.begin(), images.end(), it->begin(), it->end(),
                                     [](const ChatImage& a, const ChatImage& b) {
                                         return a.data.isSharedWith(b.data) || a.data == b.data;
                                     });
        if (!same)
            continue;
        // The turn stored later takes them along; one stored already has
        // them stored by whoever hears this.
        images = *it;
        emit imageFactsLearnt(it.key(), images);
    }
}

void LlamaSession::setProgress(const QUuid& turnId, const QString& text)
{
    const qsizetype index = indexOf(turnId);
    if (index < 0 || m_turns[index].progress == text)
        return;
    m_turns[index].progress = text;
    emit turnsChanged();
}

void LlamaSession::noteModelTroubles(const std::shared_ptr<ReplyRun>& run, LlamaModel& model)
{
    QStringList notes;
    if (model.takeCpuFallbackNotice())
        notes.append(kCpuFallbackText);
    if (const std::optional<QString>& failure = model.projectorFailure();
        failure && m_projectorFailureTold.lock().get() != &model) {
        m_projectorFailureTold = model.weak_from_this();
        notes.append(projectorFailureText(*failure));
    }
    const qsizetype index = indexOf(run->turnId);
    if (notes.isEmpty() || index < 0)
        return;
    for (qsizetype i = 0; i < notes.size(); ++i)
        m_turns.insert(index + i, noteTurn(notes[i]));
    emit turnsChanged();
}

void LlamaSession::setFirstSeenTurnId(std::optional<QUuid> id)
{
    if (m_firstSeenTurnId == id)
        return;
    m_firstSeenTurnId = id;
    emit firstSeenTurnChanged();
}

void LlamaSession::applyPieces(const std::shared_ptr<ReplyRun>& run)
{
    const std::vector<PieceRelay::Piece> pieces = run->relay.take();
    if (pieces.empty())
        return;
    run->pieces += int64_t(pieces.size());
    const qsizetype index = indexOf(run->turnId);
    if (index < 0)
        return;
    Turn& turn = m_turns[index];
    turn.progress.clear(); // the first word is there
    for (const PieceRelay::Piece& piece : pieces) {
        const ReasoningParser::Split split = run->parser.feed(piece.text);
        if (!split.reasoning.isEmpty()) {
            if (!run->reasoningStartedAt)
                run->reasoningStartedAt = piece.at;
            turn.reasoning += split.reasoning;
            turn.reasoningElapsedMs = msBetween(*run->reasoningStartedAt, piece.at);
        }
        if (!split.answer.isEmpty()) {
            if (run->reasoningStartedAt && !turn.reasoningDurationMs)
                turn.reasoningDurationMs = msBetween(*run->reasoningStartedAt, piece.at);
            turn.content += split.answer;
        }
    }
    emit turnsChanged();
    if (run == m_reply) {
        const double elapsed =
            std::max(0.001, std::chrono::duration<double>(SteadyClock::now() - run->startedAt).count());
        setTokensPerSecond(double(run->pieces) / elapsed);
        publishSnapshot();
    }
}

void LlamaSession::finishReply(const std::shared_ptr<ReplyRun>& run)
{
    const bool current = run == m_reply;
    // A model freed under its reply let go of its file for another program
    // that writes it: that reply ends as the user's stop ends one.
    const bool cancelled = run->userCancelled || (run->model && run->model->freeRequested());
    const qsizetype index = indexOf(run->turnId);
    if (index >= 0) {
        const ReasoningParser::Split rest = run->parser.flush();
        Turn& turn = m_turns[index];
        turn.progress.clear();
        turn.reasoning += rest.reasoning;
        turn.content += rest.answer;
        if (!turn.reasoningDurationMs && run->reasoningStartedAt)
            turn.reasoningDurationMs = msBetween(*run->reasoningStartedAt, SteadyClock::now());
        const bool empty = turn.content.trimmed().isEmpty();
        if (run->model && (run->model->gpuFaulted() || run->model->lastRunOutOfMemory())) {
            // Whatever came before the GPU failed is no whole answer.
            turn.state = Turn::State::failed(run->model->gpuFaulted() ? kGpuStoppedText : kGpuOutOfMemoryText);
        } else if (cancelled && empty && !run->userCancelled) {
            turn.state = Turn::State::failed(kRewritten); // the bubble says why it stays empty
        } else if (cancelled && empty) {
            m_turns.removeAt(index);
        } else if (!empty) {
            turn.state = Turn::State::complete();
            turn.cancelledByUser = cancelled;
            // A reply that ran into the end of the context is no whole answer.
            if (!cancelled && run->model && run->model->lastRunFilledContext())
                m_turns.insert(index + 1, noteTurn(kContextFull));
        } else {
            std::optional<QString> failure = run->imageFailure;
            if (!failure && run->model)
                failure = run->model->lastStreamFailure();
            turn.state = Turn::State::failed(failure.value_or(kNoTokens));
        }
        emit turnsChanged();
    }
    run->model.reset();
    if (current) {
        m_reply.reset();
        setStreaming(false);
        setTokensPerSecond(std::nullopt);
        publishSnapshot();
    }
    run->task.finish();
    // A member's reply moves the council on even when an unload took it out of
    // the slot first: the stop that came with the unload then ends the run.
    if (m_council && (current || m_council->bubbleId == run->turnId)) {
        setStreaming(true);
        councilMemberDone();
    }
}

} // namespace cvn
