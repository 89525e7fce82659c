#pragma once
// Multi-threaded processors.
//
// A KlMultiProcessor does its work in passes. Each pass forks one thread per band
// (the calling thread included), each thread calls process() on its own band of rows,
// and the pass ends when every thread has returned. Stage code never creates threads
// or locks anything: process() asks for its rows (KlImgProc::rowRange) and checks
// shouldStop() once per row.
//
// Bands: with k bands and h rows, each band has ceil(h / k) rows, the last may be
// shorter, and a thread whose index is k or more gets none. k is the number of logical
// processors, limited by KILN_MAX_PROCESSORS (read once per process).
//
// One fork runs at a time in the process. A processor started from inside a worker
// runs on that worker without forking. A failure on a worker stops the other workers at
// their next row and comes back on the calling thread, after they have all stopped, as
// OutOfMemory or Kiln::Exceptions::Thread::ThreadFailed. An interrupt stops every worker
// at its next row and throws nothing.
#include <atomic>
#include <cstdint>
#include <exception>

// Asks the host whether the user has interrupted. The hook belongs to the render call.
struct KlInterruptHook {
    // Non-zero means stop. Called on the rendering thread only, never on a worker.
    using Callback = int (*)(void* userData, std::atomic<int32_t>* code);

    void* userData = nullptr;
    Callback callback = nullptr;
    std::atomic<int32_t> interrupted{0};
    std::atomic<int32_t> code{0};  // abort code: 1000 out of memory, 1002 thread failure
};

class KlInterruptible {
public:
    virtual ~KlInterruptible() = default;

    void setInterruptHook(KlInterruptHook* hook) { hook_ = hook; }
    KlInterruptHook* interruptHook() const { return hook_; }
    // Marks the hook interrupted with code; false when there is no hook.
    bool abort(int32_t code);

protected:
    KlInterruptHook* hook_ = nullptr;
};

// A band of rows [begin, end).
struct KlRowBand {
    int32_t begin;
    int32_t end;
};

class KlMultiProcessor : public KlInterruptible {
public:
    static constexpr int32_t kStatusOutOfMemory = 1000;
    static constexpr int32_t kStatusThreadFailed = 1002;

    KlMultiProcessor() = default;
    KlMultiProcessor(const KlMultiProcessor&) = delete;
    KlMultiProcessor& operator=(const KlMultiProcessor&) = delete;
    ~KlMultiProcessor() override;

    // Once before run() in execute().
    virtual void setUp() { }
    // The work of the current pass on the calling thread's band.
    virtual void process() = 0;
    // Once after run() in execute() (also when run() fails).
    virtual void tearDown() { }
    // On the calling thread before / after each pass's parallel work.
    virtual void beforePass() { }
    virtual void afterPass() { }
    // Runs passes 0 .. passes() - 1.
    virtual void run();
    // setUp, run, tearDown.
    virtual void execute();

    void setPasses(int32_t n) { passes_ = n; }
    int32_t passes() const { return passes_; }
    int32_t pass() const { return pass_; }
    void setMultiThreaded(bool on) { multiThreaded_ = on; }
    bool multiThreaded() const { return multiThreaded_; }
    bool isForking() const { return forking_; }

    // Bands of a pass: 1 when single-threaded, else min(processors, KILN_MAX_PROCESSORS).
    int32_t threadCount() const;
    // Logical processors of the machine (cached), or the testing override.
    static int32_t processorCount();
    // Band index of the calling thread while this processor forks, else 0.
    int32_t currentThreadIndex() const;
    // Rows of the calling thread's band within [y0, y1).
    KlRowBand bandRows(int32_t y0, int32_t y1) const;

    // The row check: true when the row loop must stop (interrupt, abort, or a failed
    // worker). On the rendering thread it asks the hook's callback.
    bool shouldStop() const;

    // Band i of k over rows [y0, y1): ceil(h / k) rows each, empty for i >= k.
    static KlRowBand bandRange(int32_t y0, int32_t y1, int32_t k, int32_t i);
    // KILN_MAX_PROCESSORS text -> limit, 0 when it is to be ignored (unset, longer
    // than 3 characters, or not a positive leading number).
    static int32_t parseMaxProcessors(const char* text);
    // The cached limit (0: none).
    static int32_t maxProcessors();

    // Testing: pretend the machine has n processors (0 restores the real count).
    static void setProcessorCountForTesting(int32_t n);
    // Testing: read KILN_MAX_PROCESSORS again.
    static void reloadEnvironmentForTesting();

protected:
    // One pass: interrupt check, beforePass, fork (or a direct call), afterPass, and the
    // rethrow of a worker failure.
    void multiThreadSample();

private:
    void forkRun(int32_t threads);
    void workerEntry() noexcept;
    bool checkHook() const;

    bool forking_ = false;
    std::atomic<int32_t> status_{0};
    std::atomic<bool> failed_{false};
    int32_t passes_ = 1;
    int32_t pass_ = 0;
    bool multiThreaded_ = true;
    int32_t bands_ = 1;
    std::exception_ptr firstFailure_;
    std::atomic<bool> failureTaken_{false};
};
