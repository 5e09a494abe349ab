#pragma once

// One running instance per user. The first start becomes the primary and,
// once its window is up, listens on a local socket in the user's runtime
// folder; a later start hands its URLs (or a request to show the window) to
// the primary and ends. A start that never shows its window never listens,
// so nothing is handed to an instance the user cannot see. A lock file held
// from the check until the primary listens keeps two simultaneous first
// starts from both becoming primary; a later start waits for it a few
// seconds only, so a primary stuck before its window cannot hold it.
//
// Wire format, one line each, UTF-8: "url <text>\n" per URL, or "show\n".
// The primary reads each client without blocking, skips a line longer than
// maxLineBytes (keeping none of it) and goes on with the next, drops a client
// that takes longer than clientTimeoutMs, and emits its URLs in order. Show
// requests are folded: however many arrive, showRequested follows once, in
// the next turn of the event loop, as raising the window again and again
// only keeps the window manager busy. Main thread only.

#include <QHash>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalSocket;
class QLockFile;

namespace cvn {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maxLineBytes = 64 * 1024;
    static constexpr int clientTimeoutMs = 2000;

    enum class Role { Primary, Forwarded };

    // `folder` holds the socket and its lock; empty: the user's runtime
    // folder.
    explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Forwards `urls` (or "show" when there are none) to a running primary,
    // or becomes the primary, which keeps the lock until acceptHandOvers.
    Role claim(const QStringList& urls);

    // The primary's window is up: listen for later starts, and let the lock
    // go. A primary that cannot listen still runs, alone with its window.
    void acceptHandOvers();

    QString socketPath() const { return m_socketPath; }
    bool isListening() const { return m_server.isListening(); }

signals:
    void urlReceived(const QString& url);
    void showRequested();

private:
    bool forward(const QStringList& urls);
    void accept();
    void readFrom(QLocalSocket* client);

    void requestShow();

    struct Client {
        QByteArray line; // the unfinished line so far
        bool skipping = false; // inside an over-long line, until its end
    };

    QString m_folder;
    QString m_socketPath;
    QLocalServer m_server;
    std::unique_ptr<QLockFile> m_lock; // the primary's, until it listens
    QHash<QLocalSocket*, Client> m_pending;
    bool m_showQueued = false;
};

} // namespace cvn
