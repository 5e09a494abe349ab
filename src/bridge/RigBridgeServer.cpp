#include "bridge/RigBridgeServer.h"

#include "bridge/BridgeLog.h"
#include "bridge/RequestAccumulator.h"
#include "bridge/RigInspector.h"
#include "platform/Logging.h"
#include "platform/Sockets.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace cvn {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void console(const QString& line)
{
    const QByteArray bytes = (QStringLiteral("RigBridge: ") + line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
}

// File log and console, the same text.
void report(const QString& line)
{
    bridgeLog(line);
    console(line);
}

} // namespace

struct RigBridgeServer::Loop {
    struct Client {
        enum class Phase { reading, writing, lingering };

        Client(int descriptor, QString address, uint16_t serverPort)
            : fd(descriptor)
            , peer(std::move(address))
            , request(serverPort)
        {
        }

        int fd = -1;
        QString peer;
        Phase phase = Phase::reading;
        Clock::time_point acceptedAt;
        Clock::time_point deadline;
        Clock::time_point lastActive; // the last byte read or written
        bool heardFrom = false;
        RequestAccumulator request;
        QByteArray out;
        qsizetype sent = 0;
        int status = 0;
        int lingered = 0;
    };

    Loop(std::vector<uint16_t> candidatePorts, Limits connectionLimits)
        : ports(std::move(candidatePorts))
        , limits(connectionLimits)
        , thread([this] { run(); })
    {
    }

    ~Loop()
    {
        post([this] {
            closeAll();
            quit = true;
        });
        thread.join();
    }

    // Posted work runs on the loop thread, in order.
    void post(std::function<void()> work)
    {
        {
            std::lock_guard lock(tasksMutex);
            tasks.push_back(std::move(work));
        }
        wakeup.signal();
    }

    template <typename Fn>
    auto sync(Fn work) -> decltype(work())
    {
        if (std::this_thread::get_id() == thread.get_id())
            return work();
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }

    void run();
    void runTasks();
    int pollTimeoutMs(Clock::time_point now) const;
    void startListening();
    void acceptAll();
    void evictIdlest();
    void onReadable(Client& client);
    void answer(Client& client, BridgeAnswer reply);
    void writeSome(Client& client);
    void onDeadline(Client& client);
    void closeClient(int fd);
    void closeAll();

    // Owned by the loop thread.
    const std::vector<uint16_t> ports;
    const Limits limits;
    int listenFd = -1;
    std::optional<uint16_t> boundPort;
    std::optional<QString> lastError;
    std::map<int, Client> clients; // by descriptor
    Clock::time_point acceptPausedUntil{};
    bool quit = false;

    sockets::Wakeup wakeup;
    std::mutex tasksMutex;
    std::vector<std::function<void()>> tasks;
    std::thread thread; // last: starts after everything above exists
};

void RigBridgeServer::Loop::run()
{
    std::vector<sockets::PollEntry> entries;
    std::vector<int> order; // descriptor of each client entry
    while (!quit) {
        const Clock::time_point now = Clock::now();
        entries.clear();
        order.clear();
        entries.push_back({wakeup.fd(), true});
        // Open even with a full table: a newcomer evicts the idlest client.
        const bool acceptOpen = listenFd >= 0 && now >= acceptPausedUntil;
        if (acceptOpen)
            entries.push_back({listenFd, true});
        for (const auto& [fd, client] : clients) {
            const bool writing = client.phase == Client::Phase::writing;
            entries.push_back({fd, !writing, writing});
            order.push_back(fd);
        }
        const int error = sockets::pollEntries(entries, pollTimeoutMs(now));
        if (error != 0 && !sockets::isInterrupted(error)) {
            bridgeLog(QStringLiteral("poll() failed: ") + sockets::errnoText(error));
            std::this_thread::sleep_for(milliseconds(acceptPauseMs));
        }
        if (entries[0].readable) {
            wakeup.drain();
            runTasks();
            if (quit)
                return;
        }
        const std::size_t firstClient = acceptOpen ? 2 : 1;
        for (std::size_t i = 0; i < order.size(); ++i) {
            const sockets::PollEntry& entry = entries[firstClient + i];
            const auto found = clients.find(order[i]);
            if (found == clients.end() || entry.fd != found->first)
                continue; // closed by a task above
            Client& client = found->second;
            if (entry.writable && client.phase == Client::Phase::writing)
                writeSome(client);
            else if (entry.readable && client.phase != Client::Phase::writing)
                onReadable(client);
        }
        if (acceptOpen && entries[1].readable && listenFd >= 0)
            acceptAll();
        const Clock::time_point after = Clock::now();
        for (auto it = clients.begin(); it != clients.end();) {
            Client& client = (it++)->second; // onDeadline may erase it
            if (client.deadline <= after)
                onDeadline(client);
        }
    }
}

void RigBridgeServer::Loop::runTasks()
{
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(tasksMutex);
        ready.swap(tasks);
    }
    for (auto& work : ready)
        work();
}

int RigBridgeServer::Loop::pollTimeoutMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    for (const auto& [fd, client] : clients) {
        if (!next || client.deadline < *next)
            next = client.deadline;
    }
    if (listenFd >= 0 && now < acceptPausedUntil && (!next || acceptPausedUntil < *next))
        next = acceptPausedUntil;
    if (!next)
        return -1;
    if (*next <= now)
        return 0;
    // Rounded up: waking a hair early would only spin once more.
    return static_cast<int>(std::chrono::ceil<milliseconds>(*next - now).count());
}

void RigBridgeServer::Loop::startListening()
{
    if (listenFd >= 0) {
        bridgeLog(QStringLiteral("start(): already listening - nothing to do"));
        return;
    }
    // The snapshot exists before the first client can ask for it, and keeps
    // refreshing even when no port can be bound.
    RigInspector::startRefresh();

    std::optional<QString> previous;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const uint16_t port = ports[i];
        report(QStringLiteral("trying port %1").arg(port));

        const sockets::Opened opened = sockets::openTcpSocket();
        if (opened.fd < 0) {
            previous = QStringLiteral("socket() failed: ") + sockets::errnoText(opened.error);
            report(*previous);
            continue;
        }
        const int fd = opened.fd;
        bridgeLog(QStringLiteral("socket created (fd %1) for port %2").arg(fd).arg(port));

        if (const int error = sockets::setReuseAddress(fd)) {
            bridgeLog(QStringLiteral("setsockopt(SO_REUSEADDR) failed: ") + sockets::errnoText(error)
                      + QStringLiteral(" - continuing"));
        }
        if (const int error = sockets::bindLoopback(fd, port)) {
            sockets::closeDescriptor(fd);
            previous = QStringLiteral("bind(127.0.0.1:%1) failed: ").arg(port) + sockets::errnoText(error);
            report(*previous);
            if (sockets::isAddressInUse(error)) {
                bridgeLog(i + 1 < ports.size()
                              ? QStringLiteral("port %1 in use, trying %2").arg(port).arg(ports[i + 1])
                              : QStringLiteral("port %1 in use, no ports left to try").arg(port));
            }
            continue;
        }
        if (!sockets::isBoundToLoopback(fd)) {
            sockets::closeDescriptor(fd);
            lastError = QStringLiteral("bound address is not 127.0.0.1 - refusing to serve");
            bridgeLog(QStringLiteral("REFUSED: socket for port %1 is not bound to 127.0.0.1; closed").arg(port));
            console(QStringLiteral("REFUSED - bound address is not 127.0.0.1"));
            return;
        }
        bridgeLog(QStringLiteral("bind(127.0.0.1:%1) ok").arg(port));
        if (const int error = sockets::listenOn(fd, listenBacklog)) {
            sockets::closeDescriptor(fd);
            previous = QStringLiteral("listen() on port %1 failed: ").arg(port) + sockets::errnoText(error);
            report(*previous);
            continue;
        }
        bridgeLog(QStringLiteral("listen() ok on port %1").arg(port));
        sockets::setNonBlocking(fd);

        listenFd = fd;
        boundPort = port;
        lastError.reset();
        acceptPausedUntil = {};
        qCInfo(lcBridge, "listening on 127.0.0.1:%d", int(port));
        report(QStringLiteral("listening on port %1").arg(port));
        return;
    }

    const QString range = QStringLiteral("%1-%2").arg(ports.front()).arg(ports.back());
    lastError = QStringLiteral("port bind failed") + (previous ? QStringLiteral(": ") + *previous : QString());
    qCCritical(lcBridge, "no candidate port could be bound; continuing without the bridge. %s",
               qUtf8Printable(*lastError));
    console(QStringLiteral("no port could be bound (%1); running without the bridge").arg(range));
    bridgeLog(QStringLiteral("no port could be bound (%1); running without the bridge. last error: %2")
                  .arg(range, previous.value_or(QStringLiteral("none"))));
}

void RigBridgeServer::Loop::acceptAll()
{
    // A bounded batch, a quarter of the table: a flood of connections must
    // not evict a client accepted earlier in the same pass before the next
    // pass reads its request.
    const int batch = std::max(1, limits.maxClients / 4);
    for (int i = 0; i < batch && listenFd >= 0; ++i) {
        sockets::Accepted accepted = sockets::acceptClient(listenFd);
        if (accepted.fd < 0) {
            if (sockets::isInterrupted(accepted.error) || sockets::isWouldBlock(accepted.error))
                return;
            bridgeLog(QStringLiteral("accept() failed: ") + sockets::errnoText(accepted.error));
            // Out of descriptors the listener stays readable: without a pause
            // the loop would spin until a client goes away.
            if (sockets::isOutOfDescriptors(accepted.error))
                acceptPausedUntil = Clock::now() + milliseconds(acceptPauseMs);
            return;
        }
        bridgeLog(QStringLiteral("accepted connection from %1 (fd %2)").arg(accepted.peer).arg(accepted.fd));
        if (static_cast<int>(clients.size()) >= limits.maxClients)
            evictIdlest();
        Client& client =
            clients.try_emplace(accepted.fd, accepted.fd, std::move(accepted.peer), *boundPort).first->second;
        client.acceptedAt = Clock::now();
        client.lastActive = client.acceptedAt;
        client.deadline = client.acceptedAt + milliseconds(std::min(limits.firstByteTimeoutMs, limits.requestTimeoutMs));
    }
}

void RigBridgeServer::Loop::evictIdlest()
{
    auto idlest = clients.end();
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (idlest == clients.end() || it->second.lastActive < idlest->second.lastActive)
            idlest = it;
    }
    if (idlest == clients.end())
        return;
    bridgeLog(QStringLiteral("connection %1 evicted: client table full, idle longest").arg(idlest->second.peer));
    closeClient(idlest->first);
}

void RigBridgeServer::Loop::onReadable(Client& client)
{
    char buffer[readSize];
    const sockets::Transfer got = sockets::receive(client.fd, buffer, sizeof buffer);
    if (client.phase == Client::Phase::lingering) {
        // Discarding what the client still sends lets it read the answer
        // instead of a reset; end of stream, an error or enough bytes end it.
        if (got.bytes < 0 && (sockets::isInterrupted(got.error) || sockets::isWouldBlock(got.error)))
            return;
        client.lingered += static_cast<int>(std::max<std::ptrdiff_t>(got.bytes, 0));
        client.lastActive = Clock::now();
        if (got.bytes <= 0 || client.lingered >= lingerBytes)
            closeClient(client.fd);
        return;
    }
    if (got.bytes < 0) {
        if (sockets::isInterrupted(got.error) || sockets::isWouldBlock(got.error))
            return;
        bridgeLog(QStringLiteral("receive error from %1: ").arg(client.peer) + sockets::errnoText(got.error));
        closeClient(client.fd);
        return;
    }
    if (got.bytes == 0) {
        bridgeLog(QStringLiteral("connection %1 closed before a full request").arg(client.peer));
        closeClient(client.fd);
        return;
    }
    client.lastActive = Clock::now();
    if (!client.heardFrom) {
        client.heardFrom = true;
        // Absolute from acceptance: trickling bytes does not extend it.
        client.deadline = client.acceptedAt + milliseconds(limits.requestTimeoutMs);
    }
    std::optional<BridgeAnswer> reply =
        client.request.feed(QByteArrayView(buffer, got.bytes), devCorsEnabled());
    if (reply)
        answer(client, std::move(*reply));
}

void RigBridgeServer::Loop::answer(Client& client, BridgeAnswer reply)
{
    bridgeLog(QStringLiteral("request \"%1\" -> %2 %3")
                  .arg(escapeForLog(reply.requestLine))
                  .arg(reply.status)
                  .arg(reply.reason));
    client.phase = Client::Phase::writing;
    client.status = reply.status;
    client.out = std::move(reply.bytes);
    client.sent = 0;
    client.deadline = Clock::now() + milliseconds(limits.sendTimeoutMs);
    writeSome(client);
}

void RigBridgeServer::Loop::writeSome(Client& client)
{
    while (client.sent < client.out.size()) {
        const sockets::Transfer put = sockets::sendSome(
            client.fd, client.out.constData() + client.sent,
            static_cast<std::size_t>(client.out.size() - client.sent));
        if (put.bytes > 0) {
            client.sent += put.bytes;
            client.lastActive = Clock::now();
            continue;
        }
        if (put.bytes < 0 && sockets::isInterrupted(put.error))
            continue;
        if (put.bytes < 0 && sockets::isWouldBlock(put.error))
            return; // the poll loop calls again when there is room
        bridgeLog(QStringLiteral("send error (status %1) to %2: ").arg(client.status).arg(client.peer)
                  + sockets::errnoText(put.error));
        closeClient(client.fd);
        return;
    }
    sockets::shutdownWrite(client.fd);
    client.out.clear();
    client.phase = Client::Phase::lingering;
    client.deadline = Clock::now() + milliseconds(limits.lingerTimeoutMs);
}

void RigBridgeServer::Loop::onDeadline(Client& client)
{
    switch (client.phase) {
    case Client::Phase::reading:
        bridgeLog(QStringLiteral("connection %1 timed out before a full request").arg(client.peer));
        break;
    case Client::Phase::writing:
        // The stall reads as the would-block error a timed-out send reports.
        bridgeLog(QStringLiteral("send error (status %1) to %2: ").arg(client.status).arg(client.peer)
                  + sockets::errnoText(sockets::wouldBlockError()));
        break;
    case Client::Phase::lingering:
        break;
    }
    closeClient(client.fd);
}

void RigBridgeServer::Loop::closeClient(int fd)
{
    sockets::closeDescriptor(fd);
    clients.erase(fd);
}

void RigBridgeServer::Loop::closeAll()
{
    if (listenFd >= 0)
        sockets::closeDescriptor(listenFd);
    listenFd = -1;
    boundPort.reset();
    for (const auto& [fd, client] : clients)
        sockets::closeDescriptor(fd);
    clients.clear();
}

RigBridgeServer& RigBridgeServer::shared()
{
    static RigBridgeServer server;
    return server;
}

RigBridgeServer::RigBridgeServer(std::vector<uint16_t> ports)
    : RigBridgeServer(std::move(ports), Limits{})
{
}

RigBridgeServer::RigBridgeServer(std::vector<uint16_t> ports, Limits limits)
    : m_loop(std::make_unique<Loop>(ports.empty()
                                        ? std::vector<uint16_t>(candidatePorts.begin(), candidatePorts.end())
                                        : std::move(ports),
                                    limits))
{
}

RigBridgeServer::~RigBridgeServer() = default;

void RigBridgeServer::start()
{
    report(QStringLiteral("start() called"));
    m_loop->post([loop = m_loop.get()] { loop->startListening(); });
}

void RigBridgeServer::stop()
{
    m_loop->sync([loop = m_loop.get()] { loop->closeAll(); });
    RigInspector::stopRefresh();
}

std::optional<uint16_t> RigBridgeServer::boundPort()
{
    return m_loop->sync([loop = m_loop.get()] { return loop->boundPort; });
}

QString RigBridgeServer::statusText()
{
    return m_loop->sync([loop = m_loop.get()] {
        if (loop->boundPort)
            return QStringLiteral("Listening on 127.0.0.1:%1").arg(*loop->boundPort);
        if (loop->lastError)
            return QStringLiteral("Bridge unavailable (%1)").arg(*loop->lastError);
        return QStringLiteral("Bridge stopped");
    });
}

int RigBridgeServer::clientCount()
{
    return m_loop->sync([loop = m_loop.get()] { return static_cast<int>(loop->clients.size()); });
}

} // namespace cvn
