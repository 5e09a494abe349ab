#include "apiserver/ApiConnections.h"
#include "apiserver/RequestGathering.h"

#include "LoopbackClient.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

using namespace cvn;
using namespace cvn::test;

namespace {

// An HttpServer on a free port with a route that answers at once and one
// that holds its thread until released.
struct Listening {
    api::HttpServer http{std::chrono::seconds(60)};
    std::thread listener;
    int port = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> holding{0};

    void start()
    {
        http.set_keep_alive_timeout(60);
        http.Get("/now", [](const httplib::Request&, httplib::Response& res) { res.set_content("now", "text/plain"); });
        http.Get("/hold", [this](const httplib::Request&, httplib::Response& res) {
            ++holding;
            released.wait_for(std::chrono::seconds(30));
            res.set_content("held", "text/plain");
        });
        port = http.bind_to_any_port("127.0.0.1");
        listener = std::thread([this] { http.listen_after_bind(); });
        http.wait_until_ready();
    }
    ~Listening()
    {
        http.stop();
        http.closeAll(std::chrono::milliseconds(250));
        if (listener.joinable())
            listener.join();
    }
    QByteArray get(const char* path) const
    {
        return QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    }
};

bool answered(const Received& r, const char* body)
{
    return r.bytes.startsWith("HTTP/1.1 200") && r.bytes.endsWith(body);
}

} // namespace

TEST(RequestGathering, TellsWhenARequestHasComeWhole)
{
    using api::Gathered;
    using api::gathered;
    const size_t most = 1000;
    EXPECT_EQ(gathered("GET / HTTP/1.1\r\nHost: a\r\n", most), Gathered::more);
    EXPECT_EQ(gathered("GET / HTTP/1.1\r\nHost: a\r\n\r\n", most), Gathered::whole);
    EXPECT_EQ(gathered("GET / HTTP/1.1\nHost: a\n\n", most), Gathered::whole);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nabcd", most), Gathered::more);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nContent-Length:5\r\n\r\nabcde", most), Gathered::whole);
    // Whatever follows, sent ahead, is the next request's.
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nxGET", most), Gathered::whole);
    const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    EXPECT_EQ(gathered(chunked + "3\r\nabc\r\n", most), Gathered::more);
    EXPECT_EQ(gathered(chunked + "3;x=y\r\nabc\r\n0\r\n", most), Gathered::more);
    EXPECT_EQ(gathered(chunked + "3\r\nabc\r\n0\r\nTrailer: t\r\n\r\n", most), Gathered::whole);
    // What a reader must refuse, or answer before the rest comes, goes to
    // it at once.
    EXPECT_EQ(gathered(chunked + "zz\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered(chunked + "3\r\nabcdef\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered(chunked + "400\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("GET / HTTP/1.1\r\nno colon\r\n\r\n", most), Gathered::handOver);
    EXPECT_EQ(gathered("GET /" + std::string(api::kMostGathered, 'a'), most), Gathered::handOver);
}

// Past the most threads there may be, connections that send nothing or
// trickle a request keep none: a request that comes whole is answered while
// all of them stay open.
TEST(HttpServer, IdleAndTricklingConnectionsPastTheThreadsHoldUpNoRequest)
{
    Listening s;
    s.start();
    std::vector<int> open;
    for (int i = 0; i < 560; ++i) {
        open.push_back(connectLoopback(uint16_t(s.port)));
        ASSERT_GE(open.back(), 0);
        if (i % 10 == 0)
            ASSERT_TRUE(sendAll(open.back(), "GET /now HTTP/1.1\r\nHost: 1"));
    }
    EXPECT_TRUE(answered(exchange(uint16_t(s.port), s.get("/now"), 0, 20000), "now"));
    for (int fd : open) {
        char byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), -1) << "closed by the server";
        ::close(fd);
    }
}

// A thread the system refuses to start leaves its connection waiting for a
// busy one, and the program goes on.
TEST(HttpServer, AThreadTheSystemRefusesLeavesItsConnectionWaiting)
{
    Listening s;
    std::atomic<int> starts{0};
    s.http.refuseThreadStart = [&starts] { return ++starts > 1; };
    s.start();
    auto held = std::async(std::launch::async, [&] { return exchange(uint16_t(s.port), s.get("/hold"), 0, 20000); });
    for (int i = 0; i < 2000 && s.holding == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(s.holding, 1);
    auto waiting = std::async(std::launch::async, [&] { return exchange(uint16_t(s.port), s.get("/now"), 0, 20000); });
    for (int i = 0; i < 2000 && starts < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(starts, 2);
    s.release.set_value();
    EXPECT_TRUE(answered(held.get(), "held"));
    EXPECT_TRUE(answered(waiting.get(), "now"));
}
