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

#include <mutex>
#include <string>

namespace Kiln::Footage::FF {

inline std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

inline void quietLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct FormatInput {
    AVFormatContext* p = nullptr;
    FormatInput() = default;
    FormatInput(const FormatInput&) = delete;
    FormatInput& operator=(const FormatInput&) = delete;
    ~FormatInput() { avformat_close_input(&p); }
};

// An output container and the file it writes (closed, not removed: the caller owns the file's fate).
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
