#pragma once
// What a filter adapter (frei0r, OBS) needs around its frames besides the host: image memory, and the
// text of a frame's failure for the host's log.
#include <string>

namespace Kiln::Wrapper {

// Image memory of the filter: the process heap, installed once as the image core's memory service (unless
// one is installed already). Safe to call from several threads.
void installHeapMemory();

// The text of the exception being handled: an exception of the family's message, "out of memory", or
// another exception's what(); "unknown failure" for anything else. Call it only inside a catch block.
std::string failureText();

}  // namespace Kiln::Wrapper
