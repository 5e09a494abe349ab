#pragma once

// The local server other programs chat through, in the format of the OpenAI
// chat API. It listens on 127.0.0.1 only, on its own threads; each request
// for a reply is handed to the chat session on the main thread and waits for
// its turn in the session's model slot on the server's thread, so the window
// never waits for a client nor a client for the window.
//
// Threads: the ApiServer object lives on the main thread; start(), stop() and
// the accessors are called there.

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace cvn {

class LlamaSession;
class ModelStore;

class ApiServer : public QObject {
    Q_OBJECT

public:
    static constexpr int defaultPort = 47830;
    // Requests for a reply that may wait at once, the one answering included.
    static constexpr int maxWaiting = 16;
    // A body is read up to the larger limit; one past the smaller must carry
    // an image, which base64 makes a third larger than its file.
    static constexpr std::size_t maxBodyBytes = 8 * 1024 * 1024;
    static constexpr std::size_t maxImageBodyBytes = 32 * 1024 * 1024;

    ApiServer(LlamaSession& session, ModelStore& store, QObject* parent = nullptr);
    ~ApiServer() override;

    // Listens on 127.0.0.1:port (stopping first); an empty key lets every
    // local program in. False when it cannot, with stateText() saying why.
    bool start(int port, const QString& apiKey);
    void stop();
    // Serves as the "localServer.*" settings say, now and after every later
    // write of one of them.
    void followSettings();

    bool isListening() const;
    int port() const;
    QString baseUrl() const; // http://127.0.0.1:PORT/v1
    // "Listening on …", why it is not, or "Off".
    QString stateText() const;

    // Test seams: seconds a client may take to send its request; requests
    // for a reply that hold or wait for the slot now.
    void setRequestDeadline(int seconds);
    int waitingRequests() const;

signals:
    void stateChanged();

private:
    struct Core;
    void publishModels();

    LlamaSession& m_session;
    ModelStore& m_store;
    std::shared_ptr<Core> m_core;
    QString m_state;
    QMetaObject::Connection m_settingsLink;
    QFileSystemWatcher m_folderWatch;
    QTimer m_rescan;
    int m_deadlineSeconds = 10;
};

} // namespace cvn
