// Video files through FFmpeg's libraries.
//
// Reading: the container is scanned once for the presentation time of every frame, so frame i is the i-th
// time in display order whatever the codec's reordering; frames are then decoded on demand, forwards
// without seeking, and from the nearest earlier key frame when asked to go back or far ahead.
// Writing: H.264 yuv420p in mp4, ProRes 4444 in mov, FFV1 (lossless RGB, 16 bits above 8-bit frames) in mkv.
#include "cli/klFootage.h"
#include "cli/klPixelConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace Kiln::Footage {

namespace {

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The libraries chatter on standard error; the renderer reports failures itself, in one line.
void quietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct FormatInput {
  AVFormatContext* p = nullptr;
  ~FormatInput() { avformat_close_input(&p); }
};
struct CodecContext {
  AVCodecContext* p = nullptr;
  ~CodecContext() { avcodec_free_context(&p); }
};
struct Frame {
  AVFrame* p = av_frame_alloc();
  ~Frame() { av_frame_free(&p); }
};
struct Packet {
  AVPacket* p = av_packet_alloc();
  ~Packet() { av_packet_free(&p); }
};
struct Scaler {
  SwsContext* p = nullptr;
  ~Scaler() { sws_freeContext(p); }
};

constexpr int kScaleFlags = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;

int swsColourspace(AVColorSpace space, int height) {
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

bool isFullRangeFormat(AVPixelFormat f) {
  return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P || f == AV_PIX_FMT_YUVJ440P;
}

// The interleaved RGBA format a host depth is read from and written through.
AVPixelFormat rgbaFormatFor(Depth depth) { return depth == Depth::Eight ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGBA64; }

class VideoReader final : public FootageReader {
public:
  explicit VideoReader(const FootagePath& path) : name_(path.path) {
    quietLibraries();
    int ret = avformat_open_input(&format_.p, name_.c_str(), nullptr, nullptr);
    if (ret == AVERROR_INVALIDDATA) throw FootageError(name_, "cannot open: not a video, or damaged or truncated");
    if (ret < 0) throw FootageError(name_, "cannot open: " + avError(ret));
    ret = avformat_find_stream_info(format_.p, nullptr);
    if (ret < 0) throw FootageError(name_, "cannot read the stream layout: " + avError(ret));
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.p, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream_ == AVERROR_DECODER_NOT_FOUND) throw FootageError(name_, "no decoder for its video codec");
    if (stream_ < 0) throw FootageError(name_, "holds no video stream");
    AVStream* st = format_.p->streams[stream_];

    codec_.p = avcodec_alloc_context3(codec);
    if (!codec_.p) throw FootageError(name_, "out of memory");
    ret = avcodec_parameters_to_context(codec_.p, st->codecpar);
    if (ret < 0) throw FootageError(name_, "cannot set up the decoder: " + avError(ret));
    codec_.p->thread_count = 0;
    // Damaged data is an error, never a silently concealed picture.
    codec_.p->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK;
    ret = avcodec_open2(codec_.p, codec, nullptr);
    if (ret < 0) throw FootageError(name_, "cannot open the decoder: " + avError(ret));

    info_.width = st->codecpar->width;
    info_.height = st->codecpar->height;
    if (info_.width <= 0 || info_.height <= 0) throw FootageError(name_, "the video has no picture size");
    const AVRational rate = av_guess_frame_rate(format_.p, st, nullptr);
    if (rate.num > 0 && rate.den > 0) info_.rate = FrameRate{rate.num, rate.den};
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(st->codecpar->format));
    if (desc) {
      info_.nativeDepth = desc->comp[0].depth > 8 ? Depth::Sixteen : Depth::Eight;
      info_.hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    }
    scan(st);
    info_.frameCount = int(times_.size());
    rewind(0);
  }

  const FootageInfo& info() const override { return info_; }
  const std::string& name() const override { return name_; }

  Image read(int index, Depth depth) override {
    if (index < 0 || index >= info_.frameCount) throw FootageError(name_, "no such frame", index);
    // Forward within a short distance: decode on. Backwards or far ahead: seek to a key frame.
    const int from = next_ >= 0 ? next_ : seekTarget_;
    if (index < from || index - from > 48) rewind(index);
    const int64_t wanted = times_[size_t(index)];
    for (;;) {
      const int ret = avcodec_receive_frame(codec_.p, frame_.p);
      if (ret == AVERROR(EAGAIN)) {
        feed(index);
        continue;
      }
      if (ret == AVERROR_EOF) throw FootageError(name_, "the file ends before this frame", index);
      if (ret < 0) throw FootageError(name_, "cannot decode: " + avError(ret), index);
      const int64_t t = frame_.p->pts != AV_NOPTS_VALUE ? frame_.p->pts : frame_.p->best_effort_timestamp;
      const auto at = std::lower_bound(times_.begin(), times_.end(), t);
      if (at != times_.end() && *at == t) next_ = int(at - times_.begin()) + 1;
      if ((frame_.p->flags & AV_FRAME_FLAG_CORRUPT) || frame_.p->decode_error_flags)
        if (t >= wanted) throw FootageError(name_, "the picture data is damaged", index);
      if (t < wanted) {
        av_frame_unref(frame_.p);
        continue;
      }
      if (t > wanted) throw FootageError(name_, "the decoder skipped this frame", index);
      Image image = convert(depth, index);
      av_frame_unref(frame_.p);
      return image;
    }
  }

private:
  // Every frame's presentation time, in display order; also tells a cut-off file from a whole one.
  void scan(AVStream* st) {
    Packet packet;
    int64_t packets = 0;
    int ret;
    while ((ret = av_read_frame(format_.p, packet.p)) >= 0) {
      if (packet.p->stream_index == stream_) {
        ++packets;
        if (packet.p->flags & AV_PKT_FLAG_CORRUPT)
          throw FootageError(name_, "the file is truncated or damaged", long(times_.size()));
        const int64_t t = packet.p->pts != AV_NOPTS_VALUE ? packet.p->pts : packet.p->dts;
        if (!(packet.p->flags & AV_PKT_FLAG_DISCARD) && t != AV_NOPTS_VALUE) times_.push_back(t);
      }
      av_packet_unref(packet.p);
    }
    if (ret != AVERROR_EOF) throw FootageError(name_, "cannot read: " + avError(ret), long(times_.size()));
    std::sort(times_.begin(), times_.end());
    times_.erase(std::unique(times_.begin(), times_.end()), times_.end());
    if (times_.empty()) throw FootageError(name_, "holds no video frames");
    if (st->nb_frames > 0 && packets < st->nb_frames)
      throw FootageError(name_, "the file is truncated: " + std::to_string(packets) + " of " +
                                    std::to_string(st->nb_frames) + " frames present");
    // Containers without a frame count still record their duration up front.
    if (format_.p->duration > 0 && format_.p->nb_streams == 1 && info_.rate.num > 0) {
      const double declared = double(format_.p->duration) / AV_TIME_BASE;
      const double frameTime = 1.0 / info_.rate.value();
      const double present = double(times_.back() - times_.front()) * av_q2d(st->time_base) + frameTime;
      if (present + 1.5 * frameTime < declared) {
        char text[128];
        std::snprintf(text, sizeof text, "the file is truncated: its pictures end at %.2f s of %.2f s", present, declared);
        throw FootageError(name_, text);
      }
    }
  }

  // Positions the decoder so that it delivers frame `index` (or earlier ones) next.
  void rewind(int index) {
    const int ret = av_seek_frame(format_.p, stream_, times_[size_t(index)], AVSEEK_FLAG_BACKWARD);
    if (ret < 0) throw FootageError(name_, "cannot seek: " + avError(ret), index);
    avcodec_flush_buffers(codec_.p);
    next_ = -1;
    seekTarget_ = index;
    draining_ = false;
  }

  // Hands the decoder its next packet of our stream, or the end of the stream.
  void feed(int index) {
    if (draining_) throw FootageError(name_, "the file ends before this frame", index);
    for (;;) {
      const int ret = av_read_frame(format_.p, packet_.p);
      if (ret == AVERROR_EOF) {
        draining_ = true;
        avcodec_send_packet(codec_.p, nullptr);
        return;
      }
      if (ret < 0) throw FootageError(name_, "cannot read: " + avError(ret), index);
      if (packet_.p->stream_index != stream_) {
        av_packet_unref(packet_.p);
        continue;
      }
      const int sent = avcodec_send_packet(codec_.p, packet_.p);
      av_packet_unref(packet_.p);
      if (sent < 0 && sent != AVERROR(EAGAIN)) throw FootageError(name_, "cannot decode: " + avError(sent), index);
      return;
    }
  }

  Image convert(Depth depth, int index) {
    const AVFrame* f = frame_.p;
    if (f->width != info_.width || f->height != info_.height)
      throw FootageError(name_, "the picture size changes inside the video", index);
    const AVPixelFormat src = AVPixelFormat(f->format);
    const AVPixelFormat dst = rgbaFormatFor(depth);
    scaler_.p = sws_getCachedContext(scaler_.p, f->width, f->height, src, f->width, f->height, dst, kScaleFlags,
                                     nullptr, nullptr, nullptr);
    if (!scaler_.p) throw FootageError(name_, "cannot convert its pixel format", index);
    const int srcRange = f->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(src) ? 1 : 0;
    const int* coefficients = sws_getCoefficients(swsColourspace(f->colorspace, f->height));
    sws_setColorspaceDetails(scaler_.p, coefficients, srcRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                             1 << 16);

    const int sampleBytes = depth == Depth::Eight ? 1 : 2;
    const int stride = FFALIGN(f->width * 4 * sampleBytes, 64);
    rgba_.resize(size_t(stride) * size_t(f->height) + 64);
    uint8_t* planes[4] = {rgba_.data(), nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    sws_scale(scaler_.p, f->data, f->linesize, 0, f->height, planes, strides);

    return withHostType(depth, [&](auto zero) {
      using H = decltype(zero);
      using F = std::conditional_t<std::is_same_v<H, uint8_t>, uint8_t, uint16_t>;
      return pictureToHost<H, F>(reinterpret_cast<const F*>(rgba_.data()), f->width, f->height, 4,
                                 size_t(stride) / sizeof(F), depth);
    });
  }

  std::string name_;
  FootageInfo info_;
  FormatInput format_;
  CodecContext codec_;
  Frame frame_;
  Packet packet_;
  Scaler scaler_;
  int stream_ = -1;
  std::vector<int64_t> times_;
  int next_ = -1;        // index of the frame the decoder delivers next; -1 after a seek
  int seekTarget_ = 0;   // the frame the last seek was for: the decoder delivers no later one first
  bool draining_ = false;
  std::vector<uint8_t> rgba_;
};

// ---- writing -----------------------------------------------------------------------------------------

struct Encoding {
  const char* container;
  const char* codec;
  AVPixelFormat pixels;
  bool yuv;
};

Encoding encodingFor(const std::string& ext, Depth depth, bool alpha) {
  if (ext == "mp4") return {"mp4", "libx264", AV_PIX_FMT_YUV420P, true};
  if (ext == "mov") return {"mov", "prores_ks", alpha ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV444P10LE, true};
  if (depth == Depth::Eight) return {"matroska", "ffv1", alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_0RGB32, false};
  return {"matroska", "ffv1", alpha ? AV_PIX_FMT_GBRAP16LE : AV_PIX_FMT_GBRP16LE, false};
}

class VideoWriter final : public FootageWriter {
public:
  VideoWriter(const FootagePath& target, const WriterSettings& settings, const FileNamer& namer)
      : name_(target.path), settings_(settings), file_(namer(settings.firstFrame)) {
    quietLibraries();
    const Encoding enc = encodingFor(target.extension, settings.depth, settings.alpha);
    if (enc.pixels == AV_PIX_FMT_YUV420P && (settings.width % 2 || settings.height % 2))
      throw FootageError(name_, "H.264 in mp4 needs an even width and height, the frames are " +
                                    std::to_string(settings.width) + "x" + std::to_string(settings.height) +
                                    " (write mov or mkv instead)");
    int ret = avformat_alloc_output_context2(&format_, nullptr, enc.container, file_.c_str());
    if (ret < 0 || !format_) throw FootageError(name_, "cannot set up the container: " + avError(ret));
    const AVCodec* codec = avcodec_find_encoder_by_name(enc.codec);
    if (!codec) throw FootageError(name_, std::string("this FFmpeg has no ") + enc.codec + " encoder");
    codec_.p = avcodec_alloc_context3(codec);
    AVCodecContext* c = codec_.p;
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = enc.pixels;
    c->time_base = AVRational{settings.rate.den, settings.rate.num};
    c->framerate = AVRational{settings.rate.num, settings.rate.den};
    c->sample_aspect_ratio = AVRational{1, 1};
    c->thread_count = 0;
    if (enc.yuv) {
      c->colorspace = AVCOL_SPC_BT709;
      c->color_primaries = AVCOL_PRI_BT709;
      c->color_trc = AVCOL_TRC_BT709;
      c->color_range = AVCOL_RANGE_MPEG;
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (target.extension == "mp4") {
      av_dict_set(&options, "crf", "18", 0);
      av_dict_set(&options, "preset", "medium", 0);
    } else if (target.extension == "mov") {
      av_dict_set(&options, "profile", "4444", 0);
      av_dict_set(&options, "vendor", "apl0", 0);
    } else {
      av_dict_set(&options, "level", "3", 0);
      av_dict_set(&options, "slicecrc", "1", 0);
    }
    ret = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (ret < 0) throw FootageError(name_, std::string("cannot open the ") + enc.codec + " encoder: " + avError(ret));

    stream_ = avformat_new_stream(format_, nullptr);
    if (!stream_) throw FootageError(name_, "out of memory");
    stream_->time_base = c->time_base;
    stream_->avg_frame_rate = c->framerate;
    ret = avcodec_parameters_from_context(stream_->codecpar, c);
    if (ret < 0) throw FootageError(name_, "cannot set up the stream: " + avError(ret));

    ret = avio_open(&format_->pb, file_.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) throw FootageError(name_, "cannot create the file: " + avError(ret));
    // Tag the colour description in the container too, so readers need not guess the matrix.
    AVDictionary* muxing = nullptr;
    if (target.extension != "mkv") av_dict_set(&muxing, "movflags", "+write_colr", 0);
    ret = avformat_write_header(format_, &muxing);
    av_dict_free(&muxing);
    if (ret < 0) throw FootageError(name_, "cannot write the header: " + avError(ret));

    scaler_.p = sws_getContext(c->width, c->height, rgbaFormatFor(settings.depth), c->width, c->height, c->pix_fmt,
                               kScaleFlags, nullptr, nullptr, nullptr);
    if (!scaler_.p) throw FootageError(name_, "cannot convert to the codec's pixel format");
    if (enc.yuv)
      sws_setColorspaceDetails(scaler_.p, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709),
                               0, 0, 1 << 16, 1 << 16);
  }

  ~VideoWriter() override {
    if (format_) {
      if (format_->pb) avio_closep(&format_->pb);
      avformat_free_context(format_);
    }
  }

  void write(const Image& image) override {
    const int number = settings_.firstFrame + int(count_);
    if (image.width != settings_.width || image.height != settings_.height || image.depth != settings_.depth)
      throw FootageError(name_, "frame size or depth changed during the render", number);
    const int sampleBytes = image.depth == Depth::Eight ? 1 : 2;
    const int stride = FFALIGN(image.width * 4 * sampleBytes, 64);
    rgba_.resize(size_t(stride) * size_t(image.height) + 64);
    withHostType(image.depth, [&](auto zero) {
      using H = decltype(zero);
      using F = std::conditional_t<std::is_same_v<H, uint8_t>, uint8_t, uint16_t>;
      for (int y = 0; y < image.height; ++y)
        rowToFile<F, H>(image.row<H>(y), reinterpret_cast<F*>(rgba_.data() + size_t(y) * stride), 4, image.width);
    });

    Frame frame;
    frame.p->format = codec_.p->pix_fmt;
    frame.p->width = image.width;
    frame.p->height = image.height;
    int ret = av_frame_get_buffer(frame.p, 0);
    if (ret < 0) throw FootageError(name_, "out of memory", number);
    const uint8_t* planes[4] = {rgba_.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {stride, 0, 0, 0};
    sws_scale(scaler_.p, planes, strides, 0, image.height, frame.p->data, frame.p->linesize);
    // Some encoders (ProRes) take the colour description from each frame rather than from the context.
    frame.p->colorspace = codec_.p->colorspace;
    frame.p->color_primaries = codec_.p->color_primaries;
    frame.p->color_trc = codec_.p->color_trc;
    frame.p->color_range = codec_.p->color_range;
    frame.p->pts = count_++;
    ret = avcodec_send_frame(codec_.p, frame.p);
    if (ret < 0) throw FootageError(name_, "cannot encode: " + avError(ret), number);
    drain(number);
  }

  void finish() override {
    const int last = settings_.firstFrame + int(count_) - 1;
    int ret = avcodec_send_frame(codec_.p, nullptr);
    if (ret < 0) throw FootageError(name_, "cannot finish encoding: " + avError(ret), last);
    drain(last);
    ret = av_write_trailer(format_);
    if (ret < 0) throw FootageError(name_, "cannot finish the file: " + avError(ret));
    if (format_->pb->error < 0) throw FootageError(name_, "cannot write: " + avError(format_->pb->error));
    ret = avio_closep(&format_->pb);
    if (ret < 0) throw FootageError(name_, "cannot close the file: " + avError(ret));
  }

private:
  void drain(int number) {
    Packet packet;
    for (;;) {
      int ret = avcodec_receive_packet(codec_.p, packet.p);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      if (ret < 0) throw FootageError(name_, "cannot encode: " + avError(ret), number);
      av_packet_rescale_ts(packet.p, codec_.p->time_base, stream_->time_base);
      packet.p->stream_index = stream_->index;
      ret = av_interleaved_write_frame(format_, packet.p);
      if (ret < 0) throw FootageError(name_, "cannot write: " + avError(ret), number);
      if (format_->pb->error < 0) throw FootageError(name_, "cannot write: " + avError(format_->pb->error), number);
    }
  }

  std::string name_;
  WriterSettings settings_;
  std::string file_;
  AVFormatContext* format_ = nullptr;
  CodecContext codec_;
  AVStream* stream_ = nullptr;
  Scaler scaler_;
  int64_t count_ = 0;
  std::vector<uint8_t> rgba_;
};

}  // namespace

std::unique_ptr<FootageReader> openVideoReader(const FootagePath& path) {
  return std::make_unique<VideoReader>(path);
}

std::unique_ptr<FootageWriter> createVideoWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer) {
  return std::make_unique<VideoWriter>(target, settings, namer);
}

}  // namespace Kiln::Footage
