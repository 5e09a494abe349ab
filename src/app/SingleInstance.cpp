#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

namespace cvn {

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : folder)
    , m_socketPath(m_folder + QStringLiteral("/corvanthelis.socket"))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance()
{
    // The server closes the clients still connected as it goes, after the
    // rest of this object is gone: their handlers must not run by then.
    for (QLocalSocket* client : m_server.findChildren<QLocalSocket*>())
        client->disconnect(this);
}

SingleInstance::Role SingleInstance::claim(const QStringList& urls)
{
    QDir().mkpath(m_folder);
    auto lock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/corvanthelis.lock"));
    // A lock left by a killed start is taken over (its process is gone);
    // one held by a live start is released once its window is up, and one
    // that stays held belongs to a start that is stuck.
    if (!lock->tryLock(5000))
        std::fprintf(stderr, "Corvanthelis: could not take the instance lock; starting anyway\n");
    if (forward(urls))
        return Role::Forwarded;
    m_lock = std::move(lock);
    return Role::Primary;
}

void SingleInstance::acceptHandOvers()
{
    if (m_server.isListening())
        return;
    // Nobody answered at the claim: a socket file left by a killed primary
    // is stale.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(m_socketPath)) {
        std::fprintf(stderr, "Corvanthelis: cannot listen on %s (%s); later starts will open their own window\n",
                     qPrintable(m_socketPath), qPrintable(m_server.errorString()));
    }
    m_lock.reset();
}

bool SingleInstance::forward(const QStringList& urls)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(1000))
        return false;
    QByteArray message;
    for (QString url : urls) {
        // A line break would end the line early; no valid URL holds one.
        url.replace(QLatin1Char('\n'), QLatin1String("%0A")).replace(QLatin1Char('\r'), QLatin1String("%0D"));
        message += "url " + url.toUtf8() + '\n';
    }
    if (urls.isEmpty())
        message = "show\n";
    socket.write(message);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(clientTimeoutMs))
            break;
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket* client = m_server.nextPendingConnection()) {
        m_pending.insert(client, {});
        connect(client, &QLocalSocket::readyRead, this, [this, client] { readFrom(client); });
        connect(client, &QLocalSocket::disconnected, this, [this, client] {
            readFrom(client);
            m_pending.remove(client);
            client->deleteLater();
        });
        // A client that stays silent or never finishes its line is cut off.
        QTimer::singleShot(clientTimeoutMs, client, [client] { client->abort(); });
        readFrom(client);
    }
}

void SingleInstance::readFrom(QLocalSocket* client)
{
    auto found = m_pending.find(client);
    if (found == m_pending.end())
        return;
    Client& state = *found;
    // Also called as a client is cut off, when reading would only complain.
    if (client->bytesAvailable() <= 0)
        return;
    const QByteArray data = client->readAll();
    QList<QByteArray> lines;
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype newline = data.indexOf('\n', from);
        const qsizetype end = newline < 0 ? data.size() : newline;
        // An over-long line is no URL we could open; it is passed over
        // without being kept, and the lines after it still count.
        if (!state.skipping && state.line.size() + (end - from) > maxLineBytes) {
            state.skipping = true;
            state.line.clear();
        }
        if (!state.skipping)
            state.line.append(QByteArrayView(data).sliced(from, end - from));
        if (newline < 0)
            break;
        if (!state.skipping)
            lines.append(state.line);
        state.line.clear();
        state.skipping = false;
        from = newline + 1;
    }
    // Emitted only now: a receiver may run an event loop that ends this client.
    for (const QByteArray& line : std::as_const(lines)) {
        if (line == "show")
            requestShow();
        else if (line.startsWith("url "))
            emit urlReceived(QString::fromUtf8(line.mid(4)));
    }
}

void SingleInstance::requestShow()
{
    if (m_showQueued)
        return;
    m_showQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_showQueued = false;
        emit showRequested();
    });
}

} // namespace cvn
