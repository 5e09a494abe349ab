#pragma once

// A chat session for the transcript benchmarks: it only holds turns and says
// when they change; sending, stopping and the rest do nothing. Main thread
// only, like the chat page it feeds.

#include "chat/ChatSession.h"

#include <QList>

#include <optional>

class BenchSession : public cvn::ChatSession {
public:
    QList<cvn::Turn> list;
    void publish() { emit turnsChanged(); }

    const QList<cvn::Turn>& turns() const override { return list; }
    bool isStreaming() const override { return false; }
    std::optional<QString> statusText() const override { return std::nullopt; }
    int64_t loadedContextSize() const override { return 8192; }
    void send(const QString&, const QList<cvn::ChatImage>&) override {}
    void sendCouncil(const QString&, const QString&, const QList<cvn::ModelInfo>&, const QStringList&,
                     const QList<cvn::ChatImage>&) override {}
    void appendUserTurn(const QString&, const QStringList&) override {}
    void stop() override {}
    void regenerate(const QUuid&) override {}
    void resend(const QUuid&, const QString&) override {}
    void deleteTurn(const QUuid&) override {}
    void toggleReasoning(const QUuid&) override {}
};
