#include "host/klAEHeldFrames.h"

#include <map>
#include <mutex>

namespace Kiln::AfterEffects {

namespace {

struct Table {
    std::mutex mutex;
    std::map<PF_Handle, std::shared_ptr<Kiln::Watchcam::HeldFrame>> frames;

    // When the module is unloaded. Every instance set down has left the table; a picture still listed
    // belongs to a host that never set its instance down and may be gone, so it is not given back.
    ~Table()
    {
        for (auto& entry : frames) new std::shared_ptr<Kiln::Watchcam::HeldFrame>(std::move(entry.second));
    }
};

Table& table()
{
    static Table t;
    return t;
}

}  // namespace

std::shared_ptr<Kiln::Watchcam::HeldFrame> heldFrameOf(PF_Handle sequence)
{
    if (sequence == nullptr) return nullptr;
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::shared_ptr<Kiln::Watchcam::HeldFrame>& held = t.frames[sequence];
    if (!held) held = std::make_shared<Kiln::Watchcam::HeldFrame>();
    return held;
}

void forgetHeldFrame(PF_Handle sequence)
{
    if (sequence == nullptr) return;
    std::shared_ptr<Kiln::Watchcam::HeldFrame> gone;
    {
        Table& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.frames.find(sequence);
        if (it == t.frames.end()) return;
        gone = std::move(it->second);
        t.frames.erase(it);
    }
    // Outside the table's lock: the picture goes back to the host's memory here, or at the end of a
    // render that still uses it.
    gone.reset();
}

}  // namespace Kiln::AfterEffects
