#include "exceptions/klThreadIndex.h"

namespace Kiln::Exceptions {

namespace {
thread_local int tWorkerIndex = 0;
}

int currentWorkerIndex() { return tWorkerIndex; }
void setCurrentWorkerIndex(int index) { tWorkerIndex = index; }

}  // namespace Kiln::Exceptions
