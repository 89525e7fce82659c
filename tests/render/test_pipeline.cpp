// The hand-over between a render's steps, under threads: order, bounded memory, stopping, closing, and
// which failure is reported when several steps fail.
#include "render/klPipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using Kiln::Footage::BoundedQueue;
using Kiln::Footage::FirstFailure;
using Kiln::Footage::runOverlapped;

namespace {

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST(BoundedQueue, KeepsOrderHoldsAtMostItsCapacityAndDrainsWhenClosed)
{
    BoundedQueue<std::unique_ptr<int>> queue(2);
    std::atomic<int> pushed{0}, popped{0}, most{0};
    std::thread producer([&] {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(queue.push(std::make_unique<int>(i)));
            ++pushed;
        }
        queue.close();
        EXPECT_FALSE(queue.push(std::make_unique<int>(-1)));  // closed: refused
    });
    std::vector<int> got;
    while (auto item = queue.pop()) {
        got.push_back(**item);
        ++popped;
        most = std::max(most.load(), pushed.load() - popped.load());
        if (got.size() % 50 == 0) pause(5);  // the producer fills the queue and waits
    }
    producer.join();
    ASSERT_EQ(got.size(), 200u);  // everything queued before close() came out, in order
    for (int i = 0; i < 200; ++i) EXPECT_EQ(got[size_t(i)], i);
    EXPECT_LE(most.load(), 2);
}

TEST(BoundedQueue, StopEndsWaitsOnBothSidesAndDropsWhatIsQueued)
{
    BoundedQueue<int> full(1);
    ASSERT_TRUE(full.push(1));
    std::thread pusher([&] { EXPECT_FALSE(full.push(2)); });  // waits for room that never comes
    BoundedQueue<int> empty(1);
    std::thread popper([&] { EXPECT_FALSE(empty.pop()); });  // waits for an item that never comes
    pause(20);
    full.stop();
    empty.stop();
    pusher.join();
    popper.join();
    EXPECT_FALSE(full.pop());  // the queued item went with the stop
    EXPECT_FALSE(full.push(3));
}

TEST(FirstFailure, KeepsTheFailureAFrameByFrameRunMeetsFirstWhateverTheOrderOfRecording)
{
    FirstFailure f;
    EXPECT_FALSE(f.before(0, 0));
    EXPECT_NO_THROW(f.rethrow());
    std::vector<std::thread> threads;
    // (frame, step): the lowest frame wins, and at one frame the earlier step.
    for (const auto& [frame, step] :
         std::vector<std::pair<long, int>>{{9, 0}, {4, 1}, {7, 0}, {4, 0}, {5, 1}})
        threads.emplace_back([&f, frame = frame, step = step] {
            f.record(frame, step,
                     std::make_exception_ptr(
                         std::runtime_error(std::to_string(frame) + "/" + std::to_string(step))));
        });
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(f.before(4, 1));
    EXPECT_TRUE(f.before(5, 0));
    EXPECT_FALSE(f.before(4, 0));
    EXPECT_FALSE(f.before(3, 1));
    try {
        f.rethrow();
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "4/0");
    }
}

// Two steps over frames 0..19: the second is slow, so the first runs ahead as far as the queue lets it.
TEST(RunOverlapped, KeepsOrderAndBoundsFramesInFlightBehindASlowSecondStep)
{
    std::atomic<int> alive{0}, most{0};
    struct Counted {
        std::atomic<int>* alive;
        explicit Counted(std::atomic<int>& a) : alive(&a) { ++a; }
        Counted(Counted&& o) noexcept : alive(std::exchange(o.alive, nullptr)) { }
        ~Counted()
        {
            if (alive) --*alive;
        }
    };
    std::vector<int> used;
    const int reached = runOverlapped(
        0, 19, 1,
        [&](int) {
            Counted c(alive);
            most = std::max(most.load(), alive.load());
            return c;
        },
        [&](int n, Counted&&) {
            pause(2);
            used.push_back(n);
        },
        [] { return false; });
    EXPECT_EQ(reached, 20);
    ASSERT_EQ(used.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(used[size_t(i)], i);
    // One being used, one waiting, one being made.
    EXPECT_LE(most.load(), 3);
    EXPECT_EQ(alive.load(), 0);
}

TEST(RunOverlapped, ReportsTheFailureAFrameByFrameRunMeetsFirstAndUsesNothingAfterIt)
{
    struct Case {
        int makeFails, useFails;  // -1: never
        const char* reported;
        int lastUsed;
    };
    for (const Case& c : {Case{6, -1, "make 6", 5}, Case{-1, 6, "use 6", 5}, Case{7, 6, "use 6", 5},
                          Case{6, 6, "make 6", 5}, Case{9, 3, "use 3", 2}}) {
        SCOPED_TRACE(std::to_string(c.makeFails) + " " + std::to_string(c.useFails));
        std::vector<int> used;
        try {
            runOverlapped(
                0, 19, 2,
                [&](int n) {
                    if (n == c.makeFails) throw std::runtime_error("make " + std::to_string(n));
                    return n;
                },
                [&](int n, int&&) {
                    pause(1);
                    if (n == c.useFails) throw std::runtime_error("use " + std::to_string(n));
                    used.push_back(n);
                },
                [] { return false; });
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.reported);
        }
        ASSERT_FALSE(used.empty());
        EXPECT_EQ(used.back(), c.lastUsed);
    }
}

TEST(RunOverlapped, AStopEndsBothStepsAndWhatTheyThrowThenIsNoFailure)
{
    std::atomic<bool> stop{false};
    std::atomic<int> used{0};
    const int reached = runOverlapped(
        0, 1000, 1,
        [&](int n) {
            if (n == 5) stop = true;
            if (stop) throw std::runtime_error("cancelled");  // as a render cancelled mid-frame does
            return n;
        },
        [&](int, int&&) { ++used; }, [&] { return stop.load(); });
    EXPECT_EQ(reached, 5);
    EXPECT_LE(used.load(), 5);
}
