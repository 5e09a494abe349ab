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

SingleInstance::Role SingleInstance::claim(const QStringList& urls)
{
    QDir().mkpath(m_folder);
    QLockFile lock(m_folder + QStringLiteral("/corvanthelis.lock"));
    // A lock left by a killed start is taken over (its process is gone);
    // one held by a live start is released within moments.
    if (!lock.tryLock(5000))
        std::fprintf(stderr, "Corvanthelis: could not take the instance lock; starting anyway\n");
    if (forward(urls))
        return Role::Forwarded;
    // Nobody answers: a socket file left by a killed primary is stale.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(m_socketPath)) {
        std::fprintf(stderr, "Corvanthelis: cannot listen on %s (%s); later starts will open their own window\n",
                     qPrintable(m_socketPath), qPrintable(m_server.errorString()));
    }
    return Role::Primary;
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
    QByteArray& buffer = *found;
    buffer += client->readAll();
    qsizetype newline;
    while ((newline = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(newline);
        buffer.remove(0, newline + 1);
        if (line.size() > maxLineBytes)
            continue;
        if (line == "show")
            emit showRequested();
        else if (line.startsWith("url "))
            emit urlReceived(QString::fromUtf8(line.mid(4)));
    }
    if (buffer.size() > maxLineBytes) {
        m_pending.remove(client);
        client->abort();
    }
}

} // namespace cvn
