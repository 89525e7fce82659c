/*
 * What the renderer's FFmpeg code shares: owners that free each library object on every path (a throw in
 * a constructor included), error texts, and the libraries kept quiet on standard error (the renderer
 * reports failures itself, in one line). Used by the video reader, writer and muxer only.
 */
#ifndef KL_FFMPEG_H
#define KL_FFMPEG_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace Kiln::Footage::FF {

inline std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// What one library object (a demuxer) logs on this thread while a LogCapture for it lives.
struct CapturedLog {
    const void* source;
    std::string warnings, errors;
};
inline thread_local CapturedLog* capturedLog = nullptr;

inline void logToCapture(void* source, int level, const char* format, va_list args)
{
    CapturedLog* log = capturedLog;
    if (!log || source != log->source || level > AV_LOG_WARNING) return;
    std::string& text = level <= AV_LOG_ERROR ? log->errors : log->warnings;
    if (text.size() > 4096) return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    text += line;
}

inline void quietLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(logToCapture);
    });
}

// Listens to what `source` logs on this thread for as long as it lives: some damage a demuxer meets is
// told only there (a Matroska file that ends inside an element, a block whose sizes do not parse).
class LogCapture {
public:
    explicit LogCapture(const void* source) : outer_(capturedLog)
    {
        capturedLog = &log_, log_.source = source;
    }
    ~LogCapture() { capturedLog = outer_; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    bool said(const char* words) const
    {
        return log_.warnings.find(words) != std::string::npos || log_.errors.find(words) != std::string::npos;
    }
    // The first error logged, without its line end; empty when none.
    std::string firstError() const { return log_.errors.substr(0, log_.errors.find('\n')); }

private:
    CapturedLog* outer_;
    CapturedLog log_;
};

struct FormatInput {
    AVFormatContext* p = nullptr;
    FormatInput() = default;
    FormatInput(const FormatInput&) = delete;
    FormatInput& operator=(const FormatInput&) = delete;
    ~FormatInput() { avformat_close_input(&p); }
};

// An output container and the file it writes (closed, not removed: the caller owns the file's fate).
// The streams of an opened input, for reading its packets without decoding any: a container with a
// header (mp4, mov, Matroska) lists every stream and its codec set-up there, so probing, which decodes a
// picture of each video stream, is needed only where streams are found while reading (transport streams).
inline int readStreamLayout(AVFormatContext* in)
{
    if (in->nb_streams > 0 && !(in->ctx_flags & AVFMTCTX_NOHEADER)) return 0;
    return avformat_find_stream_info(in, nullptr);
}

struct FormatOutput {
    AVFormatContext* p = nullptr;
    FormatOutput() = default;
    FormatOutput(const FormatOutput&) = delete;
    FormatOutput& operator=(const FormatOutput&) = delete;
    ~FormatOutput()
    {
        if (!p) return;
        if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
        avformat_free_context(p);
    }
};

struct CodecContext {
    AVCodecContext* p = nullptr;
    CodecContext() = default;
    CodecContext(const CodecContext&) = delete;
    CodecContext& operator=(const CodecContext&) = delete;
    ~CodecContext() { avcodec_free_context(&p); }
};

struct CodecParameters {
    AVCodecParameters* p = avcodec_parameters_alloc();
    CodecParameters() = default;
    CodecParameters(const CodecParameters&) = delete;
    CodecParameters& operator=(const CodecParameters&) = delete;
    ~CodecParameters() { avcodec_parameters_free(&p); }
};

struct Frame {
    AVFrame* p = av_frame_alloc();
    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { av_frame_free(&p); }
};

struct Packet {
    AVPacket* p = av_packet_alloc();
    Packet() = default;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    ~Packet() { av_packet_free(&p); }
};

struct Scaler {
    SwsContext* p = nullptr;
    Scaler() = default;
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;
    ~Scaler() { sws_freeContext(p); }
};

struct Resampler {
    SwrContext* p = nullptr;
    Resampler() = default;
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    ~Resampler() { swr_free(&p); }
};

struct SampleFifo {
    AVAudioFifo* p = nullptr;
    SampleFifo() = default;
    SampleFifo(const SampleFifo&) = delete;
    SampleFifo& operator=(const SampleFifo&) = delete;
    ~SampleFifo()
    {
        if (p) av_audio_fifo_free(p);
    }
};

struct Dictionary {
    AVDictionary* p = nullptr;
    Dictionary() = default;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    ~Dictionary() { av_dict_free(&p); }
};

}  // namespace Kiln::Footage::FF

#endif
