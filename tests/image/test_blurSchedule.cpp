// The blur's schedule on its own, driven as the blur drives it: threads blur rows into a ring (here: write
// each row's number into its ring slot) and carry bands down over them (here: read back the numbers). A
// row overwritten before every band has read it, or read before it is written, shows as a wrong number;
// ThreadSanitizer (the threading label) sees any hand-over the schedule fails to order.
#include "image/klBlurSchedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace Kiln;

namespace {

struct Pass {
    int32_t rows = 200, reach = 3, least = 16, bands = 5, pinned = 3;
    // Just large enough for a band to move on by `least` rows: the ring holds the items back often.
    int32_t ringRows() const { return least + 2 * reach + 4; }
    int32_t end() const { return rows - reach; }

    Blur::Schedule schedule;
    std::vector<int32_t> ring;  // plain memory: the schedule alone orders its writes and reads
    std::vector<int32_t> pinnedRows;
    std::vector<int32_t> progress;  // per band, only while it is held
    std::atomic<int32_t> wrong{0}, produced{0};
    bool slowBands = false;  // bands take their time, so that items run ahead as far as they may

    void reset()
    {
        std::vector<int32_t> first, last;
        for (int32_t r = 0; r < rows; r += 2) {
            first.push_back(r);
            last.push_back(std::min(r + 1, rows - 1));
        }
        schedule.reset(pinned, first, last, rows, ringRows(), reach, end(), least, bands);
        ring.assign(size_t(ringRows()), -1);
        pinnedRows.assign(size_t(pinned), 0);
        progress.assign(size_t(bands), reach);
        wrong = 0;
        produced = 0;
    }

    void produce(int32_t item)
    {
        if (item < pinned) {
            pinnedRows[size_t(item)] = 1;
            return;
        }
        const int32_t r = 2 * (item - pinned);
        for (int32_t k = r; k < std::min(r + 2, rows); ++k) ring[size_t(k % ringRows())] = k;
        produced += 1;
    }

    // The band moves on over the rows blurred so far, reading each row its passes need.
    bool advance(int32_t b)
    {
        int32_t& o = progress[size_t(b)];
        for (int32_t p : pinnedRows)
            if (p != 1) ++wrong;
        for (;;) {
            const int32_t count = std::min(end(), schedule.frontier() - reach) - o;
            if (count <= 0) break;
            if (slowBands) std::this_thread::sleep_for(std::chrono::microseconds(20));
            for (int32_t k = o - reach; k < o + count + reach; ++k)
                if (ring[size_t(k % ringRows())] != k) ++wrong;
            o += count;
            schedule.publish(b, o);
        }
        return o == end();
    }

    // One thread's share, as the blur's work(); `leaveAfter` claims, then it abandons the pass.
    void work(int32_t thread, int32_t leaveAfter = -1)
    {
        int32_t hint = thread * 5, claims = 0;
        while (!schedule.finished()) {
            if (schedule.abandoned()) return;
            if (claims++ == leaveAfter) {
                schedule.abandon();
                return;
            }
            const uint32_t seen = schedule.events();
            const int32_t b = schedule.claimBand(hint);
            if (b >= 0) {
                const bool done = advance(b);
                schedule.releaseBand(b, progress[size_t(b)], done);
                hint = b + 1;
                continue;
            }
            const int32_t item = schedule.claimItem();
            if (item >= 0) {
                produce(item);
                schedule.finishItem(item);
                continue;
            }
            schedule.wait(seen);
        }
    }
};

}  // namespace

TEST(BlurSchedule, RowsAreReadAfterTheyAreWrittenAndBeforeTheRingOverwritesThem)
{
    Pass pass;
    for (int threads : {1, 2, 4})
        for (int round = 0; round < 6; ++round) {
            pass.reset();
            pass.slowBands = round % 2 == 1;
            EXPECT_EQ(pass.schedule.frontier(), 0);  // nothing before the pinned rows
            EXPECT_EQ(pass.schedule.claimBand(0), -1);
            std::vector<std::thread> pool;
            for (int t = 1; t < threads; ++t) pool.emplace_back([&pass, t] { pass.work(t); });
            pass.work(0);
            for (std::thread& t : pool) t.join();
            const std::string where = std::to_string(threads) + " threads, round " + std::to_string(round);
            EXPECT_TRUE(pass.schedule.finished()) << where;
            EXPECT_EQ(pass.wrong.load(), 0) << where;
            EXPECT_EQ(pass.produced.load(), pass.rows / 2) << where;
            EXPECT_EQ(pass.schedule.frontier(), pass.rows) << where;
            for (int32_t o : pass.progress) EXPECT_EQ(o, pass.end()) << where;
            EXPECT_EQ(pass.schedule.claimItem(), -1) << where;
        }
}

TEST(BlurSchedule, AThreadThatLeavesEarlyEndsThePassForAll)
{
    Pass pass;
    for (int leaveAfter : {0, 3, 10}) {
        pass.reset();
        std::vector<std::thread> pool;
        for (int t = 1; t < 3; ++t) pool.emplace_back([&pass, t] { pass.work(t); });
        pass.work(0, leaveAfter);  // returns at once; the others must not wait for it forever
        for (std::thread& t : pool) t.join();
        // Unless the others were done before it left.
        EXPECT_TRUE(pass.schedule.abandoned() || pass.schedule.finished()) << leaveAfter;
        EXPECT_EQ(pass.wrong.load(), 0) << leaveAfter;
    }
    // A new pass starts afresh.
    pass.reset();
    EXPECT_FALSE(pass.schedule.abandoned());
    pass.work(0);
    EXPECT_TRUE(pass.schedule.finished());
}
