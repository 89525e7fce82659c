#include "image/klMultiProcessor.h"

#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "exceptions/klThreadIndex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Sets the processor count for one test and restores the machine's afterwards.
class MultiProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("KILN_MAX_PROCESSORS");
        KlMultiProcessor::reloadEnvironmentForTesting();
        Kiln::Exceptions::Stack::clear();
    }
    void TearDown() override
    {
        KlMultiProcessor::setProcessorCountForTesting(0);
        unsetenv("KILN_MAX_PROCESSORS");
        KlMultiProcessor::reloadEnvironmentForTesting();
        Kiln::Exceptions::Stack::clear();
    }
};

// Records which band processed each row of [0, rows).
class RowRecorder : public KlMultiProcessor {
public:
    explicit RowRecorder(int32_t rows)
        : owner(static_cast<size_t>(rows), -1), trail(static_cast<size_t>(rows), -1),
          hits(static_cast<size_t>(rows), 0)
    { }

    void process() override
    {
        const KlRowBand band = bandRows(0, static_cast<int32_t>(owner.size()));
        const int32_t index = currentThreadIndex();
        for (int32_t y = band.begin; y < band.end; ++y) {
            if (shouldStop()) return;
            owner[static_cast<size_t>(y)] = index;
            ++hits[static_cast<size_t>(y)];
            trail[static_cast<size_t>(y)] = Kiln::Exceptions::currentWorkerIndex();
        }
    }

    std::vector<int32_t> owner;
    std::vector<int32_t> trail;  // worker index of the catch-site trail on that row
    std::vector<int> hits;
};

std::vector<int> bandSizes(const RowRecorder& r, int bands)
{
    std::vector<int> sizes(static_cast<size_t>(bands), 0);
    for (int32_t o : r.owner)
        if (o >= 0 && o < bands) ++sizes[static_cast<size_t>(o)];
    return sizes;
}

}  // namespace

TEST(MultiProcessorBands, BandRule)
{
    // Ten rows on four bands are the four-thread test's; fewer rows than bands leave the later ones empty,
    // and a thread index beyond the bands gets nothing.
    EXPECT_EQ(KlMultiProcessor::bandRange(5, 7, 4, 1).begin, 6);
    EXPECT_EQ(KlMultiProcessor::bandRange(5, 7, 4, 1).end, 7);
    for (int i = 2; i < 4; ++i) {
        const KlRowBand empty = KlMultiProcessor::bandRange(5, 7, 4, i);
        EXPECT_EQ(empty.begin, empty.end);
    }
    const KlRowBand beyond = KlMultiProcessor::bandRange(0, 10, 2, 5);
    EXPECT_EQ(beyond.begin, beyond.end);
}

TEST_F(MultiProcessorTest, TenRowsOnFourThreads)
{
    KlMultiProcessor::setProcessorCountForTesting(4);
    RowRecorder r(10);
    EXPECT_EQ(r.threadCount(), 4);
    r.run();
    EXPECT_EQ(bandSizes(r, 4), (std::vector<int>{3, 3, 3, 1}));
    for (int h : r.hits) EXPECT_EQ(h, 1);
    EXPECT_EQ(r.owner[9], 3);
    EXPECT_EQ(r.trail, r.owner);
    EXPECT_FALSE(r.isForking());

    RowRecorder few(3);  // fewer rows than threads: no row twice
    few.run();
    for (int h : few.hits) EXPECT_EQ(h, 1);
    EXPECT_EQ(bandSizes(few, 4), (std::vector<int>{1, 1, 1, 0}));

    RowRecorder single(10);
    single.setMultiThreaded(false);
    EXPECT_EQ(single.threadCount(), 1);
    single.run();
    EXPECT_EQ(bandSizes(single, 1), (std::vector<int>{10}));
}

TEST_F(MultiProcessorTest, EnvironmentLimitsBands)
{
    KlMultiProcessor::setProcessorCountForTesting(8);
    setenv("KILN_MAX_PROCESSORS", "2", 1);
    KlMultiProcessor::reloadEnvironmentForTesting();
    RowRecorder r(10);
    EXPECT_EQ(KlMultiProcessor::processorCount(), 8);
    EXPECT_EQ(r.threadCount(), 2);
    r.run();
    EXPECT_EQ(bandSizes(r, 2), (std::vector<int>{5, 5}));
    for (int h : r.hits) EXPECT_EQ(h, 1);

    // Read once: changing the variable does nothing until it is read again.
    setenv("KILN_MAX_PROCESSORS", "3", 1);
    EXPECT_EQ(r.threadCount(), 2);
    KlMultiProcessor::reloadEnvironmentForTesting();
    EXPECT_EQ(r.threadCount(), 3);

    // A leading number counts; more than 3 characters, no number, or below 1 is ignored; never more than
    // the processors.
    const std::pair<const char*, int> limits[] = {{"5x", 5}, {"1000", 8}, {"abc", 8}, {"0", 8},
                                                  {"-2", 8}, {"", 8},     {"20", 8},  {"999", 8}};
    for (const auto& [text, threads] : limits) {
        setenv("KILN_MAX_PROCESSORS", text, 1);
        KlMultiProcessor::reloadEnvironmentForTesting();
        EXPECT_EQ(r.threadCount(), threads) << text;
    }
}

namespace {

int stopOnTenthCall(void* userData, std::atomic<int32_t>*)
{
    auto* calls = static_cast<std::atomic<int>*>(userData);
    return ++*calls >= 10 ? 1 : 0;
}

// Each band works row after row (up to 20000) until it is told to stop.
class SlowRows : public KlMultiProcessor {
public:
    static constexpr int kCap = 20000;
    void process() override
    {
        std::atomic<int>& mine = currentThreadIndex() == 0 ? callerRows : workerRows;
        for (int y = 0; y < kCap; ++y) {
            if (shouldStop()) return;
            ++mine;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    void afterPass() override { ++afterPasses; }

    std::atomic<int> callerRows{0};
    std::atomic<int> workerRows{0};
    int afterPasses = 0;
};

}  // namespace

TEST_F(MultiProcessorTest, InterruptStopsEveryThread)
{
    KlMultiProcessor::setProcessorCountForTesting(2);
    std::atomic<int> calls{0};
    KlInterruptHook hook;
    hook.userData = &calls;
    hook.callback = stopOnTenthCall;
    SlowRows p;
    p.setInterruptHook(&hook);
    EXPECT_NO_THROW(p.run());
    EXPECT_NE(hook.interrupted.load(), 0);
    // Two calls before the fork, then one per row on the calling thread: the caller did
    // 7 rows; the other band stopped at its next row after the flag was set.
    EXPECT_EQ(p.callerRows.load(), 7);
    EXPECT_LT(p.workerRows.load(), SlowRows::kCap);
    EXPECT_EQ(calls.load(), 10);  // workers never call the host
    const int rowsAfterFirstRun = p.workerRows.load();
    p.run();  // already interrupted: nothing runs
    EXPECT_EQ(p.workerRows.load(), rowsAfterFirstRun);
    EXPECT_EQ(p.afterPasses, 1);  // an interrupt is not a failure: the pass is closed normally
}

namespace {

enum class Failure { KilnOutOfMemory, BadAlloc, Kiln, Std, Unknown };

[[noreturn]] void raiseFailure(Failure failure, int32_t row)
{
    switch (failure) {
    case Failure::KilnOutOfMemory:
        throw Kiln::Exceptions::OutOfMemory("Test::allocate", __FILE__, __LINE__, 4096, "Image allocation");
    case Failure::BadAlloc: throw std::bad_alloc();
    case Failure::Kiln: throw Kiln::Exceptions::BadValue("Test::row", __FILE__, __LINE__, "row", row);
    case Failure::Std: throw std::runtime_error("broken");
    case Failure::Unknown: throw 42;
    }
    throw 0;
}

// Band 1 fails on its first row; band 0 works row after row (up to kCap) until told to stop.
class FailingWorker : public KlMultiProcessor {
public:
    static constexpr int kCap = 20000;
    explicit FailingWorker(Failure f) : failure(f) { }
    void process() override
    {
        ++active;
        for (int32_t y = 0; y < kCap; ++y) {
            if (shouldStop()) break;
            if (currentThreadIndex() == 1) {
                --active;
                raiseFailure(failure, y);
            }
            ++rowsDone;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        --active;
    }
    Failure failure;
    std::atomic<int> active{0};
    std::atomic<int> rowsDone{0};
};

}  // namespace

TEST_F(MultiProcessorTest, AFailedWorkerStopsTheOthersAndComesBackOnTheCaller)
{
    KlMultiProcessor::setProcessorCountForTesting(2);
    for (Failure f :
         {Failure::KilnOutOfMemory, Failure::BadAlloc, Failure::Kiln, Failure::Std, Failure::Unknown}) {
        SCOPED_TRACE(int(f));
        Kiln::Exceptions::Stack::clear();
        KlInterruptHook hook;
        FailingWorker p(f);
        if (f != Failure::BadAlloc) p.setInterruptHook(&hook);  // without a hook band 0 still stops
        try {
            p.run();
            ADD_FAILURE() << "no exception";
        } catch (const Kiln::Exceptions::OutOfMemory& e) {
            // The worker's values are kept (bytes, what was being allocated).
            EXPECT_EQ(e.message(), f == Failure::BadAlloc
                                       ? "Failed to allocated 'caught std::bad_alloc' bytes"
                                       : "'Image allocation' failed to allocated 4096 bytes");
        } catch (const Kiln::Exceptions::Thread::ThreadFailed& e) {
            EXPECT_EQ(e.record().values.at(0).str(), "'thread failed'");
        }
        EXPECT_EQ(p.active.load(), 0);
        EXPECT_LT(p.rowsDone.load(), FailingWorker::kCap);
        // The worker's catch site is in the trail of worker 1.
        const auto records = Kiln::Exceptions::Stack::records(1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_STREQ(records[0].function, "KlMultiProcessor::sampleForkStatic");
        // A second run starts clean and fails the same way.
        hook.interrupted = 0;
        EXPECT_ANY_THROW(p.run());
    }
}

namespace {

// Fails on row 3 of 8, whichever band holds it; counts its tear-downs.
class FailsOnRow : public KlMultiProcessor {
public:
    explicit FailsOnRow(Failure f) : failure(f) { }
    void tearDown() override { ++tearDowns; }
    int tearDowns = 0;
    void process() override
    {
        const KlRowBand b = bandRows(0, 8);
        for (int32_t y = b.begin; y < b.end; ++y) {
            if (y == 3) raiseFailure(failure, y);
        }
    }
    Failure failure;
};

}  // namespace

TEST_F(MultiProcessorTest, OneProcessorTurnsFailuresIntoWhatManyDo)
{
    // One core, two, three; and one band of two cores through the environment.
    struct Machine {
        int32_t processors;
        const char* limit;
    };
    for (Machine m : {Machine{1, nullptr}, Machine{2, nullptr}, Machine{3, nullptr}, Machine{2, "1"}}) {
        KlMultiProcessor::setProcessorCountForTesting(m.processors);
        if (m.limit)
            setenv("KILN_MAX_PROCESSORS", m.limit, 1);
        else
            unsetenv("KILN_MAX_PROCESSORS");
        KlMultiProcessor::reloadEnvironmentForTesting();
        for (Failure f :
             {Failure::KilnOutOfMemory, Failure::BadAlloc, Failure::Kiln, Failure::Std, Failure::Unknown}) {
            SCOPED_TRACE(std::to_string(m.processors) + " processors, failure " + std::to_string(int(f)));
            KlInterruptHook hook;
            FailsOnRow p(f);
            p.setInterruptHook(&hook);
            const bool memory = f == Failure::KilnOutOfMemory || f == Failure::BadAlloc;
            try {
                p.execute();
                ADD_FAILURE() << "no exception";
            } catch (const Kiln::Exceptions::OutOfMemory& e) {
                EXPECT_TRUE(memory);
                EXPECT_STREQ(e.record().function, "KlMultiProcessor::multiThreadSample");
            } catch (const Kiln::Exceptions::Thread::ThreadFailed& e) {
                EXPECT_FALSE(memory);
                EXPECT_STREQ(e.record().function, "KlMultiProcessor::multiThreadSample");
            } catch (...) {
                ADD_FAILURE() << "escaped unconverted";
            }
            EXPECT_EQ(hook.code.load(), memory ? 1000 : 1002);
            EXPECT_EQ(p.tearDowns, 1);
        }
    }
}

namespace {

class Inner : public KlMultiProcessor {
public:
    void process() override
    {
        forked = isForking();
        index = currentThreadIndex();
        const KlRowBand b = bandRows(0, 6);
        rows = b.end - b.begin;
    }
    bool forked = true;
    int32_t index = -1;
    int32_t rows = 0;
};

class Outer : public KlMultiProcessor {
public:
    void process() override
    {
        Inner inner;  // runs on this worker without forking (no deadlock on the fork lock)
        inner.run();
        std::lock_guard<std::mutex> lock(m);
        results.push_back({currentThreadIndex(), inner.forked ? 1 : 0, inner.index, inner.rows,
                           Kiln::Exceptions::currentWorkerIndex()});
    }
    void beforePass() override { passesSeen.push_back(pass()); }
    void afterPass() override { afterThread = std::this_thread::get_id(); }
    void setUp() override { ++setUps; }
    void tearDown() override { ++tearDowns; }

    std::mutex m;
    std::vector<std::vector<int32_t>> results;
    std::vector<int32_t> passesSeen;
    std::thread::id afterThread;
    int setUps = 0;
    int tearDowns = 0;
};

}  // namespace

TEST_F(MultiProcessorTest, NestedProcessorsAndPasses)
{
    KlMultiProcessor::setProcessorCountForTesting(2);
    Outer o;
    o.setPasses(3);
    o.execute();
    EXPECT_EQ(o.setUps, 1);
    EXPECT_EQ(o.tearDowns, 1);
    EXPECT_EQ(o.passesSeen, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(o.afterThread, std::this_thread::get_id());
    ASSERT_EQ(o.results.size(), 6u);
    int seen[2] = {0, 0};
    for (const auto& r : o.results) {
        ASSERT_TRUE(r[0] == 0 || r[0] == 1);
        ++seen[r[0]];
        EXPECT_EQ(r[1], 0);  // the inner processor did not fork
        EXPECT_EQ(r[2], 0);
        EXPECT_EQ(r[3], 6);  // and took every row
        EXPECT_EQ(r[4], r[0]);  // the trail index is the band index
    }
    EXPECT_EQ(seen[0], 3);
    EXPECT_EQ(seen[1], 3);
    EXPECT_EQ(Kiln::Exceptions::currentWorkerIndex(), 0);
}
