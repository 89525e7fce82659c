#include "exceptions/klRefCounter.h"

KlRefCounter::KlRefCounter() : count_(1) { }
KlRefCounter::KlRefCounter(const KlRefCounter&) : count_(1) { }
KlRefCounter& KlRefCounter::operator=(const KlRefCounter&) { return *this; }
KlRefCounter::~KlRefCounter() = default;

void KlRefCounter::addRef() { count_.fetch_add(1, std::memory_order_relaxed); }

void KlRefCounter::release()
{
    // acq_rel so the deleting thread sees every write made by earlier holders.
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

int32_t KlRefCounter::refCount() const { return count_.load(std::memory_order_acquire); }
