#pragma once
// Worker index of the calling thread: set by the multi-processor for its
// workers, 0 for every other thread. The catch-site trail is keyed by it.
namespace Kiln::Exceptions {

int currentWorkerIndex();
void setCurrentWorkerIndex(int index);

}  // namespace Kiln::Exceptions
