#include "image/klMultiProcessor.h"

#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "exceptions/klThreadIndex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kForkFunction = "KlMultiProcessor::sampleForkStatic";
constexpr const char* kSampleFunction = "KlMultiProcessor::multiThreadSample";

std::mutex& forkMutex()
{
    static std::mutex m;
    return m;
}

// Workers wait here until the whole fork is set up.
std::counting_semaphore<>& startSemaphore()
{
    static std::counting_semaphore<> s(0);
    return s;
}

// Band index of this thread in the fork it takes part in (the calling thread is 0).
thread_local int32_t t_forkIndex = 0;
// Whether this thread takes part in a running fork: a processor started here must not fork.
thread_local bool t_inFork = false;

std::atomic<int32_t> g_processorOverride{0};
std::atomic<int32_t> g_maxProcessors{-1};  // -1: not read yet

int32_t hardwareProcessors()
{
    static const int32_t n = std::max(1, static_cast<int32_t>(std::thread::hardware_concurrency()));
    return n;
}

}  // namespace

bool KlInterruptible::abort(int32_t code)
{
    if (hook_ == nullptr) return false;
    hook_->code.store(code);
    hook_->interrupted.store(1);
    return true;
}

KlMultiProcessor::~KlMultiProcessor() = default;

int32_t KlMultiProcessor::parseMaxProcessors(const char* text)
{
    if (text == nullptr || std::strlen(text) > 3) return 0;
    const int value = std::atoi(text);
    return value > 0 ? value : 0;
}

int32_t KlMultiProcessor::maxProcessors()
{
    int32_t m = g_maxProcessors.load();
    if (m < 0) {
        m = parseMaxProcessors(std::getenv("KILN_MAX_PROCESSORS"));
        g_maxProcessors.store(m);
    }
    return m;
}

void KlMultiProcessor::setProcessorCountForTesting(int32_t n) { g_processorOverride.store(n > 0 ? n : 0); }

void KlMultiProcessor::reloadEnvironmentForTesting() { g_maxProcessors.store(-1); }

int32_t KlMultiProcessor::processorCount()
{
    const int32_t o = g_processorOverride.load();
    return o > 0 ? o : hardwareProcessors();
}

int32_t KlMultiProcessor::threadCount() const
{
    if (!multiThreaded_) return 1;
    const int32_t n = processorCount();
    const int32_t m = maxProcessors();
    return m > 0 ? std::min(m, n) : n;
}

int32_t KlMultiProcessor::currentThreadIndex() const { return forking_ ? t_forkIndex : 0; }

KlRowBand KlMultiProcessor::bandRange(int32_t y0, int32_t y1, int32_t k, int32_t i)
{
    if (y1 <= y0) return {y0, y0};
    if (k <= 0 || i < 0) return {y0, y1};
    if (i >= k) return {y1, y1};
    const int64_t h = static_cast<int64_t>(y1) - y0;
    const int64_t b = (h + k - 1) / k;
    const int64_t start = std::min(b * i, h);
    const int64_t end = (i == k - 1) ? h : std::min(b * (i + 1), h);
    return {static_cast<int32_t>(y0 + start), static_cast<int32_t>(y0 + end)};
}

KlRowBand KlMultiProcessor::bandRows(int32_t y0, int32_t y1) const
{
    if (forking_) return bandRange(y0, y1, bands_, t_forkIndex);
    return {y0, y1 > y0 ? y1 : y0};
}

bool KlMultiProcessor::checkHook() const
{
    if (hook_ == nullptr) return false;
    if (hook_->interrupted.load(std::memory_order_relaxed) != 0) return true;
    // Only the rendering thread talks to the host; workers just watch the flag.
    if (hook_->callback != nullptr && t_forkIndex == 0) {
        const int answer = hook_->callback(hook_->userData, &hook_->code);
        if (answer != 0) {
            hook_->interrupted.store(answer);
            return true;
        }
    }
    return false;
}

bool KlMultiProcessor::shouldStop() const
{
    if (failed_.load(std::memory_order_relaxed)) return true;
    return checkHook();
}

void KlMultiProcessor::run()
{
    for (pass_ = 0; pass_ < passes_; ++pass_) multiThreadSample();
}

void KlMultiProcessor::execute()
{
    setUp();
    try {
        run();
    } catch (...) {
        try {
            tearDown();
        } catch (...) { }
        throw;
    }
    tearDown();
}

void KlMultiProcessor::multiThreadSample()
{
    if (checkHook()) return;
    beforePass();
    if (checkHook()) return;

    status_.store(0);
    failed_.store(false);
    failureTaken_.store(false);
    firstFailure_ = nullptr;

    const int32_t k = threadCount();
    if (!multiThreaded_ || t_inFork) {
        process();
    } else {
        bands_ = k;
        forking_ = true;
        try {
            if (k < 2) {
                // One processor is a fork of one: its failures come back as they do from many.
                t_inFork = true;
                t_forkIndex = 0;
                workerEntry();
                t_inFork = false;
            } else {
                forkRun(k);
            }
        } catch (...) {
            forking_ = false;
            throw;
        }
        forking_ = false;
    }

    const int32_t status = status_.exchange(0);
    if (status == 0) {
        afterPass();
        return;
    }
    // The pass is incomplete: no whole-image work on it.
    std::exception_ptr first = firstFailure_;
    firstFailure_ = nullptr;
    failed_.store(false);
    if (status == kStatusOutOfMemory) {
        // Keep the values of the worker's exception (bytes, what was being allocated).
        if (first) {
            try {
                std::rethrow_exception(first);
            } catch (const Kiln::Exceptions::OutOfMemory& e) {
                const auto& v = e.record().values;
                if (v.size() >= 2)
                    throw Kiln::Exceptions::OutOfMemory(kSampleFunction, __FILE__, __LINE__, v.at(0),
                                                        v.at(1));
                if (v.size() == 1)
                    throw Kiln::Exceptions::OutOfMemory(kSampleFunction, __FILE__, __LINE__, v.at(0));
            } catch (...) { }
        }
        throw Kiln::Exceptions::OutOfMemory(kSampleFunction, __FILE__, __LINE__, "worker thread");
    }
    throw Kiln::Exceptions::Thread::ThreadFailed(kSampleFunction, __FILE__, __LINE__, "thread failed");
}

void KlMultiProcessor::forkRun(int32_t threads)
{
    std::lock_guard<std::mutex> lock(forkMutex());
    std::counting_semaphore<>& start = startSemaphore();

    std::vector<std::thread> workers;
    std::ptrdiff_t created = 0;
    try {
        workers.reserve(static_cast<size_t>(threads - 1));
        for (int32_t i = 1; i < threads; ++i) {
            workers.emplace_back([this, i, &start] {
                start.acquire();
                t_inFork = true;
                t_forkIndex = i;
                Kiln::Exceptions::setCurrentWorkerIndex(i);
                if (!failed_.load()) workerEntry();
                Kiln::Exceptions::setCurrentWorkerIndex(0);
                t_forkIndex = 0;
                t_inFork = false;
            });
            ++created;
        }
    } catch (...) {
        // Could not start every worker: the ones started stop at once, the pass fails.
        failed_.store(true);
        int32_t expected = 0;
        status_.compare_exchange_strong(expected, kStatusThreadFailed);
        try {
            Kiln::Exceptions::Thread::ThreadFailed e(kForkFunction, __FILE__, __LINE__, "thread creation");
            Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
        } catch (...) { }
    }
    start.release(created);

    t_inFork = true;
    t_forkIndex = 0;
    if (!failed_.load()) workerEntry();
    t_inFork = false;

    for (std::thread& t : workers) t.join();
}

void KlMultiProcessor::workerEntry() noexcept
{
    // Records a failure: the other workers stop at their next row.
    auto fail = [this](int32_t code, std::exception_ptr ex) {
        failed_.store(true);
        abort(code);
        if (code == kStatusOutOfMemory) {
            status_.store(code);
        } else {
            int32_t expected = 0;
            status_.compare_exchange_strong(expected, code);
        }
        bool taken = false;
        if (code == kStatusOutOfMemory && failureTaken_.compare_exchange_strong(taken, true))
            firstFailure_ = ex;
    };
    try {
        process();
    } catch (const Kiln::Exceptions::OutOfMemory& e) {
        fail(kStatusOutOfMemory, std::current_exception());
        Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        fail(kStatusThreadFailed, nullptr);
        Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
    } catch (const std::bad_alloc&) {
        try {
            Kiln::Exceptions::OutOfMemory e(kForkFunction, __FILE__, __LINE__, "caught std::bad_alloc");
            fail(kStatusOutOfMemory, std::make_exception_ptr(e));
            Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
        } catch (...) {
            fail(kStatusOutOfMemory, nullptr);
        }
    } catch (const std::exception& ex) {
        fail(kStatusThreadFailed, nullptr);
        try {
            Kiln::Exceptions::Thread::ThreadFailed e(kForkFunction, __FILE__, __LINE__,
                                                     std::string(ex.what()));
            Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
        } catch (...) { }
    } catch (...) {
        fail(kStatusThreadFailed, nullptr);
        try {
            Kiln::Exceptions::Thread::ThreadFailed e(kForkFunction, __FILE__, __LINE__, "unknown exception");
            Kiln::Exceptions::Stack::add(e, kForkFunction, __FILE__, __LINE__);
        } catch (...) { }
    }
}
