#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace cvn;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsItemsInSubmissionOrderOneAtATime)
{
    SerialQueue queue(QStringLiteral("org.corvanthelis.test"));
    std::vector<int> order;
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            const int now = ++concurrent;
            maxConcurrent = std::max(maxConcurrent.load(), now);
            order.push_back(i);
            --concurrent;
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[size_t(i)], i);
    EXPECT_EQ(maxConcurrent.load(), 1);
}

TEST(SerialQueue, SyncWaitsForEarlierItemsAndRunsInlineOnItsOwnWorker)
{
    SerialQueue queue(QStringLiteral("org.corvanthelis.test"));
    std::atomic<bool> slowDone{false};
    queue.async([&] {
        std::this_thread::sleep_for(50ms);
        slowDone = true;
    });
    bool sawSlowDone = false;
    queue.sync([&] { sawSlowDone = slowDone.load(); });
    EXPECT_TRUE(sawSlowDone);

    // A nested sync from the worker must not deadlock.
    bool innerRan = false;
    bool innerWasCurrent = false;
    queue.sync([&] {
        queue.sync([&] {
            innerRan = true;
            innerWasCurrent = queue.isCurrent();
        });
    });
    EXPECT_TRUE(innerRan);
    EXPECT_TRUE(innerWasCurrent);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncPropagatesExceptions)
{
    SerialQueue queue(QStringLiteral("org.corvanthelis.test"));
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    // The queue still works afterwards.
    int value = 0;
    queue.sync([&] { value = 7; });
    EXPECT_EQ(value, 7);
}

TEST(SerialQueue, DestructionDrainsSubmittedItems)
{
    std::atomic<int> ran{0};
    {
        SerialQueue queue(QStringLiteral("org.corvanthelis.test"));
        for (int i = 0; i < 20; ++i)
            queue.async([&] {
                std::this_thread::sleep_for(1ms);
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 20);
}

TEST(SerialQueue, LastReferenceDroppedOnItsOwnWorkerDoesNotDeadlock)
{
    auto queue = std::make_shared<SerialQueue>(QStringLiteral("org.corvanthelis.test"));
    std::promise<void> destroyed;
    auto done = destroyed.get_future();
    std::atomic<int> afterwards{0};
    struct Holder {
        Holder(std::shared_ptr<SerialQueue> q, std::promise<void>* s) : queue(std::move(q)), signal(s) {}
        ~Holder() { signal->set_value(); }
        std::shared_ptr<SerialQueue> queue;
        std::promise<void>* signal;
    };
    // The item owns the only reference; releasing it destroys the queue on
    // its own worker. An item queued behind it still runs.
    auto holder = std::make_shared<Holder>(queue, &destroyed);
    SerialQueue* raw = queue.get();
    raw->async([&afterwards] { std::this_thread::sleep_for(20ms); });
    raw->async([h = std::move(holder)]() mutable { h->queue.reset(); });
    raw->async([&afterwards] { ++afterwards; });
    queue.reset();
    ASSERT_EQ(done.wait_for(2s), std::future_status::ready);
    // Give the detached worker a moment to run the last item.
    for (int i = 0; i < 200 && afterwards.load() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(afterwards.load(), 1);
}

TEST(SerialQueue, PendingCountCoversQueuedAndRunningItems)
{
    SerialQueue queue(QStringLiteral("org.corvanthelis.test"));
    std::promise<void> release;
    auto gate = release.get_future().share();
    std::promise<void> entered;
    queue.async([&, gate] {
        entered.set_value();
        gate.wait();
    });
    queue.async([] {});
    entered.get_future().wait();
    EXPECT_EQ(queue.pendingCount(), 2);
    release.set_value();
    // The count drops once the worker is back to waiting.
    for (int i = 0; i < 400 && queue.pendingCount() != 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(queue.pendingCount(), 0);
}
