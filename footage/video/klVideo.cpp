// Video files through FFmpeg's libraries.
//
// Reading: the container is scanned once for the presentation time of every frame, so frame i is the i-th
// time in display order whatever the codec's reordering; frames are then decoded on demand, forwards
// without seeking, and from the nearest earlier key frame when asked to go back or past a key frame
// (pictures skipped on the way decoded only where others refer to them). The scan
// also tells a cut-off file from a whole one, whatever streams it holds. Pictures come out as they are
// shown: turned upright when the file says so (phone clips).
// Writing: by default H.264 yuv420p in mp4, ProRes 4444 in mov, FFV1 (lossless RGB, 16 bits above 8-bit
// frames) in mkv; the encoder choice may name another codec of the container, a quality or bitrate and a
// pixel format. The muxer (klMuxer) carries the input's audio and tags beside the picture.
#include "footage/klFootage.h"
#include "footage/klPixelConvert.h"
#include "footage/klResample.h"
#include "footage/video/klFFmpeg.h"
#include "footage/video/klMuxer.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace Kiln::Footage {

using namespace FF;

namespace {

constexpr int kScaleFlags = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;

int swsColourspace(int space, int height)
{
    switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;  // untagged: what players assume
    }
}

bool isFullRangeFormat(AVPixelFormat f)
{
    return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P ||
           f == AV_PIX_FMT_YUVJ440P;
}

// The interleaved RGBA format a host depth is read from and written through.
AVPixelFormat rgbaFormatFor(Depth depth)
{
    return depth == Depth::Eight ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGBA64;
}

// The turn a display matrix asks for, when it is one by quarter turns (the matrix maps stored (x, y) to
// shown (a x + c y, b x + d y)); anything else is shown as stored.
Orientation orientationOf(const int32_t* m)
{
    if (!m) return {};
    auto unit = [](int32_t v) { return v > 0x8000 ? 1 : v < -0x8000 ? -1 : 0; };
    const Orientation o{unit(m[0]), unit(m[1]), unit(m[3]), unit(m[4])};
    const bool quarterTurns =
        (o.a != 0 && o.b == 0 && o.c == 0 && o.d != 0) || (o.a == 0 && o.b != 0 && o.c != 0 && o.d == 0);
    return quarterTurns ? o : Orientation{};
}

class VideoReader final : public FootageReader {
public:
    VideoReader(const std::string& file, const std::string& container, const std::string& name) : name_(name)
    {
        quietLibraries();
        const AVInputFormat* format = nullptr;
        if (!container.empty() && !(format = av_find_input_format(container.c_str())))
            throw FootageError(name_, "unknown container '" + container + "'");
        int ret = avformat_open_input(&format_.p, file.c_str(), format, nullptr);
        if (ret == AVERROR_INVALIDDATA)
            throw FootageError(name_, "cannot open: not a video, or damaged or truncated");
        if (ret < 0) throw FootageError(name_, "cannot open: " + errorText(ret));
        ret = avformat_find_stream_info(format_.p, nullptr);
        if (ret < 0) throw FootageError(name_, "cannot read the stream layout: " + errorText(ret));
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_.p, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream_ == AVERROR_DECODER_NOT_FOUND) throw FootageError(name_, "no decoder for its video codec");
        if (stream_ < 0) throw FootageError(name_, "holds no video stream");
        AVStream* st = format_.p->streams[stream_];

        codec_.p = avcodec_alloc_context3(codec);
        if (!codec_.p) throw FootageError(name_, "out of memory");
        ret = avcodec_parameters_to_context(codec_.p, st->codecpar);
        if (ret < 0) throw FootageError(name_, "cannot set up the decoder: " + errorText(ret));
        codec_.p->thread_count = codecThreads();
        // Damaged data is an error, never a silently concealed picture.
        codec_.p->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK;
        ret = avcodec_open2(codec_.p, codec, nullptr);
        if (ret < 0) throw FootageError(name_, "cannot open the decoder: " + errorText(ret));

        const AVCodecParameters* par = st->codecpar;
        storedWidth_ = par->width;
        storedHeight_ = par->height;
        if (storedWidth_ <= 0 || storedHeight_ <= 0)
            throw FootageError(name_, "the video has no picture size");
        orientation_ = orientationOf(reinterpret_cast<const int32_t*>(
            av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
        info_.width = orientation_.swapsSides() ? storedHeight_ : storedWidth_;
        info_.height = orientation_.swapsSides() ? storedWidth_ : storedHeight_;
        const AVRational sar = av_guess_sample_aspect_ratio(format_.p, st, nullptr);
        if (sar.num > 0 && sar.den > 0) {
            AVRational r = orientation_.swapsSides() ? AVRational{sar.den, sar.num} : sar;
            av_reduce(&r.num, &r.den, r.num, r.den, 1 << 20);
            info_.pixelAspect = PixelAspect{r.num, r.den};
        }
        info_.colour = ColourTags{par->color_primaries, par->color_trc, par->color_space, par->color_range};
        const AVPixFmtDescriptor* stored = av_pix_fmt_desc_get(AVPixelFormat(par->format));
        if (stored && (stored->flags & AV_PIX_FMT_FLAG_RGB)) {
            // Said of RGB pictures, matrix and range mean nothing for the YUV ones written from them.
            info_.colour.matrix = AVCOL_SPC_UNSPECIFIED;
            info_.colour.range = AVCOL_RANGE_UNSPECIFIED;
        }
        const AVRational rate = av_guess_frame_rate(format_.p, st, nullptr);
        if (rate.num > 0 && rate.den > 0) info_.rate = FrameRate{rate.num, rate.den};
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(par->format));
        if (desc) {
            info_.nativeDepth = desc->comp[0].depth > 8 ? Depth::Sixteen : Depth::Eight;
            info_.hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
        }
        for (unsigned i = 0; i < format_.p->nb_streams; ++i)
            if (format_.p->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++info_.audioStreams;
        scan(st);
        info_.frameCount = int(times_.size());
        rewind(0);
    }

    const FootageInfo& info() const override { return info_; }
    const std::string& name() const override { return name_; }

    Image read(int index, Depth depth) override
    {
        Image image;
        readInto(index, depth, image);
        return image;
    }

    void readInto(int index, Depth depth, Image& image) override
    {
        if (index < 0 || index >= info_.frameCount) throw FootageError(name_, "no such frame", index);
        // Backwards, or ahead past a key frame: seek to the key frame, which leaves the least to decode.
        // Otherwise decode on.
        const int from = next_ >= 0 ? next_ : seekTarget_;
        const int64_t wanted = times_[size_t(index)];
        if (index < from) {
            rewind(index);
        } else if (index > from) {
            const auto key = std::upper_bound(keys_.begin(), keys_.end(), wanted,
                                              [](int64_t t, const Key& k) { return t < k.time; });
            if (key != keys_.begin() && (key - 1)->time > times_[size_t(from)]) rewind(index);
        }
        for (;;) {
            const int ret = avcodec_receive_frame(codec_.p, frame_.p);
            if (ret == AVERROR(EAGAIN)) {
                feed(index);
                continue;
            }
            if (ret == AVERROR_EOF) throw FootageError(name_, "the file ends before this frame", index);
            if (ret < 0) throw FootageError(name_, "cannot decode: " + errorText(ret), index);
            const int64_t t =
                frame_.p->pts != AV_NOPTS_VALUE ? frame_.p->pts : frame_.p->best_effort_timestamp;
            // Frames sharing a time come out in file order: the second of two is the next index.
            const auto from = std::lower_bound(times_.begin(), times_.end(), t);
            const auto to = std::upper_bound(from, times_.end(), t);
            occurrence_ = t == lastTime_ ? occurrence_ + 1 : 0;
            lastTime_ = t;
            const int at =
                from == to ? -1 : int(from - times_.begin()) + std::min(occurrence_, int(to - from) - 1);
            if (at >= 0) next_ = at + 1;
            const bool late = at >= 0 ? at > index : t > wanted;
            if ((frame_.p->flags & AV_FRAME_FLAG_CORRUPT) || frame_.p->decode_error_flags)
                if (late || at == index) throw FootageError(name_, "the picture data is damaged", index);
            if (late && justSought_ && !fromStart_) {
                // A seek that landed too far (time stamps a demuxer cannot seek by exactly): from the start.
                av_frame_unref(frame_.p);
                rewindToStart();
                continue;
            }
            justSought_ = false;
            if (!late && at != index) {
                av_frame_unref(frame_.p);
                continue;
            }
            if (late) throw FootageError(name_, "the decoder skipped this frame", index);
            convert(depth, index, image);
            av_frame_unref(frame_.p);
            return;
        }
    }

private:
    // Every frame's presentation time, in display order; the timing of the frames; and whether the file is
    // whole: every stream as long as the file says, and as many packets as it counts.
    void scan(AVStream* st)
    {
        const unsigned streams = format_.p->nb_streams;
        // A demuxer meeting the end of the file inside an element says so only in its log.
        const LogCapture log(format_.p);
        std::vector<int64_t> packets(streams, 0);
        std::vector<double> ends(streams, -1e300);
        int64_t lastTime = INT64_MIN, lastDuration = 0;  // the last frame shown, and how long
        Packet packet;
        int ret;
        while ((ret = av_read_frame(format_.p, packet.p)) >= 0) {
            const AVPacket* p = packet.p;
            const unsigned s = unsigned(p->stream_index);
            if (s < streams) {
                ++packets[s];
                if (p->flags & AV_PKT_FLAG_CORRUPT) {
                    if (int(s) == stream_)
                        throw FootageError(name_, "the file is truncated or damaged", long(times_.size()));
                    throw FootageError(name_, "the file is truncated or damaged (in its " +
                                                  std::string(av_get_media_type_string(
                                                                  format_.p->streams[s]->codecpar->codec_type)
                                                                  ?: "data") +
                                                  " stream)");
                }
                const int64_t t = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
                if (t != AV_NOPTS_VALUE)
                    ends[s] = std::max(ends[s], double(t + std::max<int64_t>(p->duration, 0)) *
                                                    av_q2d(format_.p->streams[s]->time_base));
                if (int(s) == stream_ && !(p->flags & AV_PKT_FLAG_DISCARD) && t != AV_NOPTS_VALUE) {
                    times_.push_back(t);
                    if ((p->flags & AV_PKT_FLAG_KEY) && p->pos >= 0) keys_.push_back({t, p->pos});
                    if (t >= lastTime) {
                        lastTime = t;
                        lastDuration = p->duration;
                    }
                }
            }
            av_packet_unref(packet.p);
        }
        if (ret != AVERROR_EOF)
            throw FootageError(name_, "cannot read: " + errorText(ret), long(times_.size()));
        if (log.said("ended prematurely"))
            throw FootageError(name_, "the file is truncated: it ends inside its last frames");
        if (const std::string error = log.firstError(); !error.empty())
            throw FootageError(name_, "the file is damaged: " + error);
        std::sort(times_.begin(), times_.end());
        std::sort(keys_.begin(), keys_.end(), [](const Key& a, const Key& b) { return a.time < b.time; });
        if (times_.empty()) throw FootageError(name_, "holds no video frames");
        // Frames that share a time are kept, each moved a tick after the one before, as muxers do.
        shown_ = times_;
        for (size_t i = 1; i < shown_.size(); ++i) shown_[i] = std::max(shown_[i], shown_[i - 1] + 1);
        // Counts that are packets: pictures', and sound's in QuickTime files unless it is plain PCM (counted
        // in samples there and in AVI). Subtitle and data streams count samples a demuxer need not hand out
        // (mov_text's empty ones).
        const bool quickTime = std::strncmp(format_.p->iformat->name, "mov,", 4) == 0;
        for (unsigned s = 0; s < streams; ++s) {
            const int64_t declared = format_.p->streams[s]->nb_frames;
            const AVCodecParameters* par = format_.p->streams[s]->codecpar;
            const bool counted = par->codec_type == AVMEDIA_TYPE_VIDEO ||
                                 (par->codec_type == AVMEDIA_TYPE_AUDIO && quickTime &&
                                  av_get_exact_bits_per_sample(par->codec_id) == 0);
            if (counted && declared > 0 && packets[s] < declared) {
                const char* what = int(s) == stream_ ? "frames" : "packets of another stream";
                throw FootageError(name_, "the file is truncated: " + std::to_string(packets[s]) + " of " +
                                              std::to_string(declared) + " " + what + " present");
            }
        }
        timing(st, lastDuration);
        // Containers without packet counts still record durations up front, of the file and of each stream;
        // a picture or sound stream ending well before its own, or every stream before the file's, means the
        // end of the file is missing.
        const double begin =
            format_.p->start_time != AV_NOPTS_VALUE ? double(format_.p->start_time) / AV_TIME_BASE : 0;
        const double slack = std::max(1.5 / info_.rate.value(), 0.05);
        for (unsigned s = 0; s < streams; ++s) {
            const AVMediaType type = format_.p->streams[s]->codecpar->codec_type;
            const double declared = declaredEnd(format_.p->streams[s], begin);
            if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && declared > 0 &&
                ends[s] + slack < declared)
                truncated(ends[s] - begin, declared - begin, av_get_media_type_string(type));
        }
        if (format_.p->duration > 0) {
            const double declared = double(format_.p->duration) / AV_TIME_BASE;
            const double present = *std::max_element(ends.begin(), ends.end()) - begin;
            if (present + slack < declared) truncated(present, declared, nullptr);
        }
    }

    // Where a stream says it ends (seconds on the file's timeline), or 0 when it does not say.
    static double declaredEnd(const AVStream* st, double begin)
    {
        if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
            const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
            return double(start + st->duration) * av_q2d(st->time_base);
        }
        // Matroska keeps each track's length as a tag, "h:mm:ss.fraction".
        const AVDictionaryEntry* tag = av_dict_get(st->metadata, "DURATION", nullptr, 0);
        int h = 0, m = 0;
        double sec = 0;
        if (tag && std::sscanf(tag->value, "%d:%d:%lf", &h, &m, &sec) == 3)
            return begin + h * 3600.0 + m * 60.0 + sec;
        return 0;
    }

    [[noreturn]] void truncated(double present, double declared, const char* stream) const
    {
        char text[160];
        if (stream)
            std::snprintf(text, sizeof text, "the file is truncated: its %s ends at %.2f s of %.2f s", stream,
                          present, declared);
        else
            std::snprintf(text, sizeof text, "the file is truncated: its streams end at %.2f s of %.2f s",
                          present, declared);
        throw FootageError(name_, text);
    }

    // Constant rate when every frame is within a quarter frame of the rate's grid; otherwise each frame's
    // own time is kept, and the rate becomes the mean one.
    void timing(AVStream* st, int64_t lastDuration)
    {
        const double base = av_q2d(st->time_base);
        const std::vector<int64_t>& times = shown_;
        info_.startSeconds = double(times.front()) * base;
        const size_t n = times.size();
        const double step = 1.0 / info_.rate.value();
        bool constant = true;
        for (size_t i = 0; i < n && constant; ++i)
            constant = std::fabs(double(times[i] - times.front()) * base - double(i) * step) <= 0.25 * step;
        if (constant) return;
        if (lastDuration <= 0)
            lastDuration = n > 1 ? times[n - 1] - times[n - 2] : int64_t(std::llround(step / base));
        FrameTiming& t = info_.timing;
        t.tickNum = st->time_base.num;
        t.tickDen = st->time_base.den;
        for (int64_t v : times) t.ticks.push_back(v - times.front());
        t.ticks.push_back(std::max(times.back() - times.front() + lastDuration, t.ticks.back() + 1));
        const double seconds = double(t.ticks.back()) * base;
        if (seconds > 0) info_.rate = FrameRate::fromDouble(std::clamp(double(n) / seconds, 0.001, 1000.0));
    }

    // Positions the decoder so that it delivers frame `index` (or earlier ones) next.
    void rewind(int index)
    {
        const int64_t wanted = times_[size_t(index)];
        int ret = -1;
        if (format_.p->iformat->flags & AVFMT_TS_DISCONT) {
            // Transport and program streams seek by time only roughly: to the key frame's own bytes.
            const Key* best = nullptr;
            for (const Key& k : keys_)
                if (k.time <= wanted && (!best || k.time >= best->time)) best = &k;
            if (best) ret = av_seek_frame(format_.p, -1, best->pos, AVSEEK_FLAG_BYTE);
        }
        if (ret < 0) ret = av_seek_frame(format_.p, stream_, wanted, AVSEEK_FLAG_BACKWARD);
        if (ret < 0) throw FootageError(name_, "cannot seek: " + errorText(ret), index);
        restart(index, false);
    }

    void rewindToStart()
    {
        int ret = -1;
        if (!(format_.p->iformat->flags & AVFMT_NO_BYTE_SEEK))
            ret = av_seek_frame(format_.p, -1, 0, AVSEEK_FLAG_BYTE);
        if (ret < 0) ret = avformat_seek_file(format_.p, -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
        if (ret < 0) throw FootageError(name_, "cannot seek: " + errorText(ret), seekTarget_);
        restart(0, true);
    }

    void restart(int index, bool fromStart)
    {
        avcodec_flush_buffers(codec_.p);
        next_ = -1;
        seekTarget_ = index;
        draining_ = false;
        lastTime_ = AV_NOPTS_VALUE;
        occurrence_ = 0;
        justSought_ = true;
        fromStart_ = fromStart;
    }

    // Hands the decoder its next packet of our stream, or the end of the stream.
    void feed(int index)
    {
        if (draining_) throw FootageError(name_, "the file ends before this frame", index);
        for (;;) {
            const int ret = av_read_frame(format_.p, packet_.p);
            if (ret == AVERROR_EOF) {
                draining_ = true;
                avcodec_send_packet(codec_.p, nullptr);
                return;
            }
            if (ret < 0) throw FootageError(name_, "cannot read: " + errorText(ret), index);
            if (packet_.p->stream_index != stream_) {
                av_packet_unref(packet_.p);
                continue;
            }
            // Pictures shown before the wanted one are thrown away: decoded only when others refer to them.
            const int64_t t = packet_.p->pts;
            codec_.p->skip_frame =
                t != AV_NOPTS_VALUE && t < times_[size_t(index)] ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            const int sent = avcodec_send_packet(codec_.p, packet_.p);
            av_packet_unref(packet_.p);
            if (sent < 0 && sent != AVERROR(EAGAIN))
                throw FootageError(name_, "cannot decode: " + errorText(sent), index);
            return;
        }
    }

    void convert(Depth depth, int index, Image& image)
    {
        const AVFrame* f = frame_.p;
        if (f->width != storedWidth_ || f->height != storedHeight_)
            throw FootageError(name_, "the picture size changes inside the video", index);
        const AVPixelFormat src = AVPixelFormat(f->format);
        const bool upright = orientation_.identity();
        // 8-bit upright frames straight into the host's ARGB rows: one pass instead of two (swscale gives
        // the same samples in either order).
        const bool direct = depth == Depth::Eight && upright;
        const AVPixelFormat dst = direct ? AV_PIX_FMT_ARGB : rgbaFormatFor(depth);
        scaler_.p = sws_getCachedContext(scaler_.p, f->width, f->height, src, f->width, f->height, dst,
                                         kScaleFlags, nullptr, nullptr, nullptr);
        if (!scaler_.p) throw FootageError(name_, "cannot convert its pixel format", index);
        const int srcRange = f->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(src) ? 1 : 0;
        const int* coefficients = sws_getCoefficients(swsColourspace(f->colorspace, f->height));
        sws_setColorspaceDetails(scaler_.p, coefficients, srcRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                                 1 << 16, 1 << 16);

        if (direct) {
            if (image.width != f->width || image.height != f->height || image.depth != depth ||
                image.rowBytes != size_t(f->width) * 4 ||
                image.pixels.size() != image.rowBytes * size_t(f->height))
                image = Image::make(f->width, f->height, depth);
            uint8_t* planes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
            int strides[4] = {int(image.rowBytes), 0, 0, 0};
            sws_scale(scaler_.p, f->data, f->linesize, 0, f->height, planes, strides);
            return;
        }
        const int sampleBytes = depth == Depth::Eight ? 1 : 2;
        const int stride = FFALIGN(f->width * 4 * sampleBytes, 64);
        rgba_.resize(size_t(stride) * size_t(f->height) + 64);
        uint8_t* planes[4] = {rgba_.data(), nullptr, nullptr, nullptr};
        int strides[4] = {stride, 0, 0, 0};
        sws_scale(scaler_.p, f->data, f->linesize, 0, f->height, planes, strides);

        Image turned;
        withHostType(depth, [&](auto zero) {
            using H = decltype(zero);
            using F = std::conditional_t<std::is_same_v<H, uint8_t>, uint8_t, uint16_t>;
            pictureIntoHost<H, F>(reinterpret_cast<const F*>(rgba_.data()), f->width, f->height, 4,
                                  size_t(stride) / sizeof(F), depth, upright ? image : turned);
        });
        if (!upright) image = reorient(turned, orientation_);
    }

    std::string name_;
    FootageInfo info_;
    FormatInput format_;
    CodecContext codec_;
    Frame frame_;
    Packet packet_;
    Scaler scaler_;
    int stream_ = -1;
    int storedWidth_ = 0, storedHeight_ = 0;
    Orientation orientation_;
    std::vector<int64_t> times_;  // every frame's time as the file gives it, in display order
    std::vector<int64_t> shown_;  // the same, those sharing a time moved apart
    struct Key {
        int64_t time, pos;
    };
    std::vector<Key> keys_;  // key frames and where they are in the file
    int64_t lastTime_ = AV_NOPTS_VALUE;  // of the frame decoded last, and how many before it had it too
    int occurrence_ = 0;
    bool justSought_ = false, fromStart_ = false;
    int next_ = -1;  // index of the frame the decoder delivers next; -1 after a seek
    int seekTarget_ = 0;  // the frame the last seek was for: the decoder delivers no later one first
    bool draining_ = false;
    std::vector<uint8_t> rgba_;
};

// ---- writing -----------------------------------------------------------------------------------------

// A codec a user may name, the encoder behind it and its private options.
struct CodecChoice {
    const char* name;
    const char* encoder;
    const char* profile;  // ProRes profile, else nullptr
};

constexpr CodecChoice kCodecs[] = {
    {"h264", "libx264", nullptr},
    {"hevc", "libx265", nullptr},
    {"prores-proxy", "prores_ks", "proxy"},
    {"prores-lt", "prores_ks", "lt"},
    {"prores", "prores_ks", "standard"},
    {"prores-hq", "prores_ks", "hq"},
    {"prores-4444", "prores_ks", "4444"},
    {"prores-4444xq", "prores_ks", "4444xq"},
    {"ffv1", "ffv1", nullptr},
    {"vp9", "libvpx-vp9", nullptr},
};

// The codecs each container takes; the first is its default.
std::vector<std::string> codecsOf(const std::string& container)
{
    if (container == "mp4") return {"h264", "hevc"};
    if (container == "webm") return {"vp9"};
    if (container == "mov")
        return {"prores-4444", "prores-4444xq", "prores-hq", "prores",
                "prores-lt",   "prores-proxy",  "h264",      "hevc"};
    return {"ffv1",      "h264",   "hevc",      "prores-4444",  "prores-4444xq",
            "prores-hq", "prores", "prores-lt", "prores-proxy", "vp9"};
}

std::string joined(const std::vector<std::string>& names)
{
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
    return s;
}

bool isProRes(const CodecChoice& c) { return c.profile != nullptr; }
bool takesQuality(const CodecChoice& c)
{
    return std::strcmp(c.name, "h264") == 0 || std::strcmp(c.name, "hevc") == 0 ||
           std::strcmp(c.name, "vp9") == 0;
}

// The pixel format a codec is given when none is asked for: what this renderer has always written.
AVPixelFormat defaultPixels(const CodecChoice& c, Depth depth, bool alpha)
{
    if (std::strcmp(c.name, "h264") == 0) return AV_PIX_FMT_YUV420P;
    if (std::strcmp(c.name, "hevc") == 0 || std::strcmp(c.name, "vp9") == 0)
        return depth == Depth::Eight ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV420P10LE;
    if (isProRes(c)) {
        if (std::strncmp(c.profile, "4444", 4) == 0)
            return alpha ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV444P10LE;
        return AV_PIX_FMT_YUV422P10LE;
    }
    if (depth == Depth::Eight) return alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_0RGB32;
    return alpha ? AV_PIX_FMT_GBRAP16LE : AV_PIX_FMT_GBRP16LE;
}

bool isRgbFormat(AVPixelFormat f)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// A colour matrix the converter knows; BT.709 for any other.
int writableMatrix(int matrix)
{
    switch (matrix) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_BT2020_NCL: return matrix;
    default: return AVCOL_SPC_BT709;
    }
}

// What a writer's settings come to: the container, the codec and the pixel format, each checked.
struct Encoding {
    std::string container;
    const CodecChoice* choice = nullptr;
    const AVCodec* codec = nullptr;
    AVPixelFormat pixels = AV_PIX_FMT_NONE;
};

Encoding resolve(const FootagePath& target, const WriterSettings& settings)
{
    const std::string& name = target.path;
    Encoding e;
    e.container = containerFor(settings.container.empty() ? target.extension : settings.container);
    if (e.container.empty()) throw UsageError(name, "no video container named '" + settings.container + "'");
    const EncoderChoice& want = settings.encoder;
    const std::vector<std::string> allowed = codecsOf(e.container);
    const std::string codecName = want.codec.empty()     ? allowed.front()
                                  : want.codec == "h265" ? "hevc"
                                                         : want.codec;
    if (std::find(allowed.begin(), allowed.end(), codecName) == allowed.end())
        throw UsageError(name, "--codec " + want.codec + ": " +
                                   (e.container == "matroska" ? "mkv" : e.container) + " takes " +
                                   joined(allowed));
    e.choice = &*std::find_if(std::begin(kCodecs), std::end(kCodecs),
                              [&](const CodecChoice& c) { return codecName == c.name; });
    if ((want.crf >= 0 || want.bitrate > 0) && !takesQuality(*e.choice))
        throw UsageError(
            name, std::string(want.crf >= 0 ? "--crf" : "--bitrate") + " is for h264, hevc and vp9; " +
                      (isProRes(*e.choice) ? "ProRes quality follows its profile" : "FFV1 is lossless"));
    e.codec = avcodec_find_encoder_by_name(e.choice->encoder);
    if (!e.codec)
        throw FootageError(name, std::string("this FFmpeg has no ") + e.choice->encoder + " encoder");
    e.pixels = defaultPixels(*e.choice, settings.depth, settings.alpha);
    if (!want.pixelFormat.empty()) {
        const AVPixelFormat wanted = av_get_pix_fmt(want.pixelFormat.c_str());
        std::vector<std::string> offered;
        for (const AVPixelFormat* f = e.codec->pix_fmts; f && *f != AV_PIX_FMT_NONE && e.pixels != wanted;
             ++f) {
            if (*f == wanted) e.pixels = wanted;
            offered.push_back(av_get_pix_fmt_name(*f));
        }
        if (e.pixels != wanted)
            throw UsageError(name, "--pixel-format " + want.pixelFormat + ": " + e.choice->name + " takes " +
                                       joined(offered));
    }
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(e.pixels);
    if (layout &&
        (settings.width % (1 << layout->log2_chroma_w) || settings.height % (1 << layout->log2_chroma_h)))
        throw FootageError(name, std::string(e.choice->name) + " " + av_get_pix_fmt_name(e.pixels) +
                                     " needs an even width" + (layout->log2_chroma_h ? " and height" : "") +
                                     ", the frames are " + std::to_string(settings.width) + "x" +
                                     std::to_string(settings.height) +
                                     " (write mkv instead, or choose another --pixel-format)");
    return e;
}

class VideoWriter final : public FootageWriter {
public:
    VideoWriter(const FootagePath& target, const WriterSettings& settings, const FileNamer& namer)
        : name_(target.path), settings_(settings)
    {
        quietLibraries();
        const Encoding e = resolve(target, settings);
        const std::string& container = e.container;
        const CodecChoice& choice = *e.choice;
        const AVCodec* codec = e.codec;
        const AVPixelFormat pixels = e.pixels;
        yuv_ = !isRgbFormat(pixels);

        muxer_ = std::make_unique<Muxer>(name_, namer(settings.firstFrame), container, settings.streamed);
        openEncoder(codec, choice, pixels);
        if (choice.encoder == std::string("libx265") && (container == "mp4" || container == "mov"))
            hvc1_ = true;

        CodecParameters par;
        if (!par.p) throw FootageError(name_, "out of memory");
        const int ret = avcodec_parameters_from_context(par.p, codec_.p);
        if (ret < 0) throw FootageError(name_, "cannot set up the stream: " + errorText(ret));
        muxer_->addVideo(*par.p, codec_.p->time_base, codec_.p->framerate);
        // Players on Apple systems take HEVC in mp4 and mov only under this tag.
        if (hvc1_) muxer_->context()->streams[0]->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
        muxer_->carry(settings.carry);
        muxer_->begin();

        // 8-bit frames go to swscale as the host's ARGB rows themselves (the same samples as from RGBA).
        direct_ = settings.depth == Depth::Eight;
        scaler_.p = sws_getContext(settings.width, settings.height,
                                   direct_ ? AV_PIX_FMT_ARGB : rgbaFormatFor(settings.depth), settings.width,
                                   settings.height, pixels, kScaleFlags, nullptr, nullptr, nullptr);
        if (!scaler_.p) throw FootageError(name_, "cannot convert to the codec's pixel format");
        if (yuv_) {
            const int* matrix = sws_getCoefficients(swsColourspace(codec_.p->colorspace, settings.height));
            sws_setColorspaceDetails(scaler_.p, matrix, 1, matrix,
                                     codec_.p->color_range == AVCOL_RANGE_JPEG ? 1 : 0, 0, 1 << 16, 1 << 16);
        }
    }

    void write(const Image& image, const PictureAttributes*) override
    {
        const int number = settings_.firstFrame + int(count_);
        if (image.width != settings_.width || image.height != settings_.height ||
            image.depth != settings_.depth)
            throw FootageError(name_, "frame size or depth changed during the render", number);
        const FrameTiming& timing = settings_.timing;
        if (timing.variable() && size_t(count_) + 1 >= timing.ticks.size())
            throw FootageError(name_, "more frames than the input has times for", number);
        const int sampleBytes = image.depth == Depth::Eight ? 1 : 2;
        int stride = FFALIGN(image.width * 4 * sampleBytes, 64);
        const uint8_t* pixels = image.pixels.data();
        if (direct_) {
            stride = int(image.rowBytes);
        } else {
            rgba_.resize(size_t(stride) * size_t(image.height) + 64);
            withHostType(image.depth, [&](auto zero) {
                using H = decltype(zero);
                using F = std::conditional_t<std::is_same_v<H, uint8_t>, uint8_t, uint16_t>;
                for (int y = 0; y < image.height; ++y)
                    rowToFile<F, H>(image.row<H>(y), reinterpret_cast<F*>(rgba_.data() + size_t(y) * stride),
                                    4, image.width);
            });
            pixels = rgba_.data();
        }

        // One frame's memory used over and over; a fresh one only while the encoder still holds the last.
        Frame& frame = frame_;
        int ret = 0;
        if (!frame.p->buf[0]) {
            frame.p->format = codec_.p->pix_fmt;
            frame.p->width = image.width;
            frame.p->height = image.height;
            ret = av_frame_get_buffer(frame.p, 0);
        } else {
            ret = av_frame_make_writable(frame.p);
        }
        if (ret < 0) throw FootageError(name_, "out of memory", number);
        const uint8_t* planes[4] = {pixels, nullptr, nullptr, nullptr};
        const int strides[4] = {stride, 0, 0, 0};
        sws_scale(scaler_.p, planes, strides, 0, image.height, frame.p->data, frame.p->linesize);
        // Some encoders (ProRes) take the colour description from each frame rather than from the context.
        frame.p->colorspace = codec_.p->colorspace;
        frame.p->color_primaries = codec_.p->color_primaries;
        frame.p->color_trc = codec_.p->color_trc;
        frame.p->color_range = codec_.p->color_range;
        frame.p->sample_aspect_ratio = codec_.p->sample_aspect_ratio;
        frame.p->pts = timing.variable() ? timing.ticks[size_t(count_)] : settings_.framesBefore + count_;
        ++count_;
        ret = avcodec_send_frame(codec_.p, frame.p);
        if (ret < 0) throw FootageError(name_, "cannot encode: " + errorText(ret), number);
        drain(number);
    }

    void finish() override
    {
        const int last = settings_.firstFrame + int(count_) - 1;
        int ret = avcodec_send_frame(codec_.p, nullptr);
        if (ret < 0) throw FootageError(name_, "cannot finish encoding: " + errorText(ret), last);
        drain(last);
        muxer_->finish();
    }

private:
    void openEncoder(const AVCodec* codec, const CodecChoice& choice, AVPixelFormat pixels)
    {
        const WriterSettings& s = settings_;
        codec_.p = avcodec_alloc_context3(codec);
        if (!codec_.p) throw FootageError(name_, "out of memory");
        AVCodecContext* c = codec_.p;
        c->width = s.width;
        c->height = s.height;
        c->pix_fmt = pixels;
        c->framerate = AVRational{s.rate.num, s.rate.den};
        c->time_base = s.timing.variable() ? AVRational{s.timing.tickNum, s.timing.tickDen}
                                           : AVRational{s.rate.den, s.rate.num};
        c->sample_aspect_ratio = AVRational{s.pixelAspect.num, s.pixelAspect.den};
        c->thread_count = codecThreads();
        describeColours(c);
        if (muxer_->wantsGlobalHeader()) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        Dictionary options;
        const EncoderChoice& want = s.encoder;
        const bool isX264 = std::strcmp(choice.encoder, "libx264") == 0;
        const bool isVp9 = std::strcmp(choice.name, "vp9") == 0;
        if (takesQuality(choice)) {
            if (want.bitrate > 0)
                c->bit_rate = want.bitrate;
            else
                av_dict_set(&options.p, "crf",
                            std::to_string(want.crf >= 0 ? want.crf
                                           : isX264      ? 18
                                           : isVp9       ? 31
                                                         : 20)
                                .c_str(),
                            0);
            if (isVp9) {
                // Constant quality (no bitrate) at a speed near x264's medium; rows on several threads.
                av_dict_set(&options.p, "deadline", "good", 0);
                av_dict_set(&options.p, "cpu-used", "4", 0);
                av_dict_set(&options.p, "row-mt", "1", 0);
            } else {
                av_dict_set(&options.p, "preset", "medium", 0);
            }
            if (!isX264 && !isVp9) av_dict_set(&options.p, "x265-params", "log-level=none", 0);
        } else if (isProRes(choice)) {
            // The encoder's own option: a "profile" in the options would be read as the generic number first.
            av_opt_set(c->priv_data, "profile", choice.profile, 0);
            av_dict_set(&options.p, "vendor", "apl0", 0);
        } else if (s.width >= 16 && s.height >= 16) {
            av_dict_set(&options.p, "level", "3", 0);
            av_dict_set(&options.p, "slicecrc", "1", 0);
        } else {
            // Level 3 cuts the picture into slices, which a side of one or two pixels cannot take (refused,
            // or worse, wrong pictures): small ones are written whole.
            av_dict_set(&options.p, "level", "1", 0);
        }
        const int ret = avcodec_open2(c, codec, &options.p);
        if (ret < 0)
            throw FootageError(name_, std::string("cannot open the ") + choice.encoder + " encoder for " +
                                          std::to_string(s.width) + "x" + std::to_string(s.height) + " " +
                                          av_get_pix_fmt_name(pixels) + " frames: " + errorText(ret));
    }

    // The input's colour description where it said one, and nothing where it said nothing: the converter
    // then uses the matrix players assume for the frame's size, as the reader did. A matrix the converter
    // does not know becomes BT.709. RGB pictures have no matrix or range.
    void describeColours(AVCodecContext* c) const
    {
        const ColourTags& in = settings_.colour;
        if (yuv_) {
            const bool untagged = in.primaries == AVCOL_PRI_UNSPECIFIED &&
                                  in.transfer == AVCOL_TRC_UNSPECIFIED &&
                                  in.matrix == AVCOL_SPC_UNSPECIFIED && in.range == AVCOL_RANGE_UNSPECIFIED;
            c->colorspace = in.matrix == AVCOL_SPC_UNSPECIFIED ? AVCOL_SPC_UNSPECIFIED
                                                               : AVColorSpace(writableMatrix(in.matrix));
            c->color_range = in.range == AVCOL_RANGE_JPEG || isFullRangeFormat(c->pix_fmt) ? AVCOL_RANGE_JPEG
                             : untagged ? AVCOL_RANGE_UNSPECIFIED
                                        : AVCOL_RANGE_MPEG;
            c->color_primaries = AVColorPrimaries(in.primaries);
            c->color_trc = AVColorTransferCharacteristic(in.transfer);
        } else {
            c->colorspace = AVCOL_SPC_RGB;
            c->color_primaries = AVColorPrimaries(in.primaries);
            c->color_trc = AVColorTransferCharacteristic(in.transfer);
        }
    }

    void drain(int number)
    {
        Packet packet;
        const FrameTiming& timing = settings_.timing;
        for (;;) {
            int ret = avcodec_receive_packet(codec_.p, packet.p);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            if (ret < 0) throw FootageError(name_, "cannot encode: " + errorText(ret), number);
            // Each frame lasts until the next one's time; the last as long as the input's did.
            if (timing.variable()) {
                const auto at = std::lower_bound(timing.ticks.begin(), timing.ticks.end() - 1, packet.p->pts);
                if (at != timing.ticks.end() - 1 && *at == packet.p->pts)
                    packet.p->duration = *(at + 1) - *at;
            }
            muxer_->writeVideo(*packet.p);
            av_packet_unref(packet.p);
        }
    }

    std::string name_;
    WriterSettings settings_;
    std::unique_ptr<Muxer> muxer_;
    CodecContext codec_;
    Scaler scaler_;
    bool yuv_ = true;
    bool direct_ = false;  // 8-bit: swscale reads the host's ARGB rows
    bool hvc1_ = false;
    int64_t count_ = 0;
    std::vector<uint8_t> rgba_;
    Frame frame_;
};

}  // namespace

std::unique_ptr<FootageReader> openVideoReader(const FootagePath& path)
{
    return std::make_unique<VideoReader>(path.path, std::string(), path.path);
}

std::unique_ptr<FootageReader> openVideoReader(const std::string& file, const std::string& container,
                                               const std::string& name)
{
    return std::make_unique<VideoReader>(file, container, name);
}

bool videoKeepsPixelAspect(int width, int height, PixelAspect aspect)
{
    return av_image_check_sar(unsigned(width), unsigned(height), AVRational{aspect.num, aspect.den}) == 0;
}

void checkVideoWriter(const FootagePath& target, const WriterSettings& settings)
{
    quietLibraries();
    const Encoding e = resolve(target, settings);
    // The carried streams set up once for trial (no file is made): the same failures, before any rendering.
    Muxer trial(target.path, std::string(), e.container, settings.streamed);
    Carry carry = settings.carry;
    carry.note = nullptr;  // said once, by the writer
    trial.carry(carry);
}

std::unique_ptr<FootageWriter> createVideoWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer)
{
    return std::make_unique<VideoWriter>(target, settings, namer);
}

}  // namespace Kiln::Footage
