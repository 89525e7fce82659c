/*
 * The input layer as the host asks for it: frames of a reader decoded on demand and a few kept, because
 * time remapping asks for the same and earlier frames again. Indices before the first frame or past the
 * last clamp to the first or last frame. Frames are shrunk to the layer size when the render is scaled.
 *
 * Frames handed out during one render call stay in place until the next beginRender(), however many the
 * module asks for. A read that fails is kept and raised by rethrowPending() after the host returns, so the
 * user sees the footage's own error rather than the module's reaction to a missing layer.
 */
#ifndef KL_FRAME_SOURCE_H
#define KL_FRAME_SOURCE_H

#include "cli/klFootage.h"

#include <exception>
#include <list>
#include <mutex>

namespace Kiln::Footage {

class FrameSource {
public:
  // `width` x `height` is the layer size (the footage's size at render scale).
  FrameSource(FootageReader& reader, int width, int height, size_t capacity = 6);

  const Image& frame(int index, Depth depth);
  void beginRender();
  void rethrowPending();

  // Time spent reading, converting and scaling frames, and how many reads the reader served.
  double secondsReading() const { return seconds_; }
  long reads() const { return reads_; }

private:
  struct Entry {
    int index;
    Depth depth;
    Image image;
    long generation;  // render call that last used it
  };

  FootageReader& reader_;
  int width_, height_;
  size_t capacity_;
  std::list<Entry> entries_;  // most recently used first; list nodes keep their address
  long generation_ = 0;
  std::exception_ptr pending_;
  Image blank_;
  double seconds_ = 0;
  long reads_ = 0;
  std::mutex mutex_;
};

}  // namespace Kiln::Footage

#endif
