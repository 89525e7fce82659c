/*
 * The input layer as the host asks for it: frames of a reader decoded on demand and a few kept, because
 * time remapping asks for the same and earlier frames again. Indices before the first frame or past the
 * last clamp to the first or last frame. Frames are shrunk to the layer size when the render is scaled.
 *
 * - Reading ahead: while the module renders one frame, a thread of the source's own reads the frames the
 *   next renders are expected to ask for (each render's requests moved on by as much as they moved from
 *   the render before; the frame of the render's own time when nothing is known), into room the cache
 *   has. A render asking for a frame being read waits for it; one asking for anything else reads it
 *   itself. One read at a time: the reader is never used by two threads at once.
 * - A frame handed out stays in place and unchanged until the render that asked for it has returned
 *   (the next beginRender()), however many the module asks for. Memory of dropped frames is read into
 *   again.
 * - A read that fails for a render is kept and raised by rethrowPending() after the host returns, so the
 *   user sees the footage's own error rather than the module's reaction to a missing layer. A read ahead
 *   that fails is forgotten: the frame is read again if a render asks for it, and fails there as it would
 *   have without reading ahead.
 */
#ifndef KL_FRAME_SOURCE_H
#define KL_FRAME_SOURCE_H

#include "footage/klFootage.h"

#include <condition_variable>
#include <exception>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Kiln::Footage {

class FrameSource {
public:
    // `width` x `height` is the layer size (the footage's size at render scale).
    FrameSource(FootageReader& reader, int width, int height, size_t capacity = 6);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // For the host, from the thread that renders.
    const Image& frame(int index, Depth depth);
    // A render call starts whose own time is input frame `index`; frames of the one before may go.
    void beginRender(int index);
    void rethrowPending();

    // Reads ahead at `depth`, on a thread of the source's own, for the next `renders` render calls; the
    // first render to come is of input frame `from`, the last of `to` (none is read for renders after it).
    void readAhead(Depth depth, int renders, int from, int to = std::numeric_limits<int>::max());
    // Stops reading ahead; returns once a read in progress has ended.
    void stopReadingAhead();

    // What the file of frame `index` says of itself (FootageReader::attributes), from any thread.
    std::shared_ptr<const PictureAttributes> attributes(int index);

    // Time spent reading, converting and scaling frames (on any thread), how many reads the reader served,
    // and how long the rendering thread waited in frame() for frames.
    double secondsReading() const;
    long reads() const;
    double secondsWaited() const;

private:
    struct Entry {
        int index;
        Depth depth;
        Image image;
        long generation;  // render call that last used it
        bool loading = false;  // being read
    };

    std::list<Entry>::iterator find(int index, Depth depth);
    // The frames the next renders are expected to ask for, nearest first.
    std::vector<int> expected() const;
    // Whether `e` may be dropped: no render in progress holds it and none is expected to ask for it.
    bool droppable(const Entry& e, const std::vector<int>& keep) const;
    // Drops the least recently used droppable frame, keeping its memory for a read; false when none.
    bool dropOne(const std::vector<int>& keep);
    // Reads frame `index` into `image` (the caller holds readerMutex_ and not mutex_).
    void read(int index, Depth depth, Image& image);
    void readingAhead();

    FootageReader& reader_;
    const int width_, height_;
    const size_t capacity_;

    mutable std::mutex mutex_;  // everything below but the reader
    std::condition_variable changed_;  // a read ended, a render began, or reading ahead stops
    std::list<Entry> entries_;  // most recently used first; list nodes keep their address
    std::vector<Image> spare_;  // memory of a dropped frame, for the next read
    long generation_ = 0;
    int renderIndex_ = 0;  // own frame of the render in progress
    std::vector<int> asked_, askedBefore_, askedTwiceBefore_;  // by this render and the two before
    std::exception_ptr pending_;
    Image blank_;
    double seconds_ = 0, waited_ = 0;
    long reads_ = 0;

    std::mutex readerMutex_;  // one read at a time
    std::thread ahead_;
    Depth aheadDepth_ = Depth::Eight;
    int aheadRenders_ = 0;
    int lastRender_ = std::numeric_limits<int>::max();
    bool stopping_ = false;
};

}  // namespace Kiln::Footage

#endif
