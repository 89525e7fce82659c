#pragma once
// Intrusive reference count shared by exceptions, image memory and other
// objects handed between owners. A new object has a count of 1; the release
// that brings it to 0 deletes it. Copies start their own count at 1.
#include <atomic>
#include <cstdint>

class KlRefCounter {
public:
    KlRefCounter();
    KlRefCounter(const KlRefCounter&);
    KlRefCounter& operator=(const KlRefCounter&);
    virtual ~KlRefCounter();

    void addRef();
    void release();
    int32_t refCount() const;

private:
    std::atomic<int32_t> count_;
};
