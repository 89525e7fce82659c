#include "footage/video/klMuxer.h"

#include "footage/video/klFFmpeg.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/timecode.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

namespace Kiln::Footage {

using namespace FF;

namespace {

// Tags every muxer writes for itself, or that describe the file rather than the footage.
bool writtenByMuxer(const char* key)
{
    for (const char* own : {"major_brand", "minor_version", "compatible_brands", "encoder", "duration",
                            "timecode", "vendor_id", "encoder-settings"})
        if (strcasecmp(key, own) == 0) return true;
    return false;
}

void copyTags(AVDictionary* from, AVDictionary** to)
{
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(from, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (!writtenByMuxer(e->key)) av_dict_set(to, e->key, e->value, AV_DICT_DONT_OVERWRITE);
}

// A codec tag means something in the output only where its container knows it for the same codec (a ProRes
// profile's tag in mov); otherwise the container picks its own.
void keepTagIfKnown(AVCodecParameters* par, const AVOutputFormat* format)
{
    if (par->codec_tag &&
        (!format->codec_tag || av_codec_get_id(format->codec_tag, par->codec_tag) != par->codec_id))
        par->codec_tag = 0;
}

bool isQuickTimeFamily(const AVOutputFormat* f)
{
    return std::strcmp(f->name, "mp4") == 0 || std::strcmp(f->name, "mov") == 0;
}

// The encoder for audio the container cannot take as it is: the container's usual audio codec, else AAC.
const AVCodec* audioEncoderFor(const AVOutputFormat* format)
{
    for (AVCodecID id : {format->audio_codec, AV_CODEC_ID_AAC, AV_CODEC_ID_FLAC}) {
        if (id == AV_CODEC_ID_NONE || avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) != 1) continue;
        const AVCodec* codec = avcodec_find_encoder(id);
        if (codec && !(codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) return codec;
    }
    return nullptr;
}

// Whether `format` takes a stream of `par` as it is: the muxer set up for trial, with that stream alone, into
// memory. Asking the muxer itself catches what the codec tables do not say (FLAC and Opus in mp4 and mov
// are refused there, or taken only as experimental).
bool takesAsItIs(const AVOutputFormat* format, const AVCodecParameters* par, AVRational timeBase)
{
    FormatOutput trial;
    if (avformat_alloc_output_context2(&trial.p, format, nullptr, nullptr) < 0 || !trial.p) return false;
    AVStream* s = avformat_new_stream(trial.p, nullptr);
    if (!s || avcodec_parameters_copy(s->codecpar, par) < 0) return false;
    keepTagIfKnown(s->codecpar, format);
    s->time_base = timeBase;
    if (avio_open_dyn_buf(&trial.p->pb) < 0) return false;
    const int ret = avformat_write_header(trial.p, nullptr);
    uint8_t* buffer = nullptr;
    avio_close_dyn_buf(trial.p->pb, &buffer);
    av_free(buffer);
    trial.p->pb = nullptr;
    return ret >= 0;
}

// "audio stream 1 (flac)": a carried stream as messages name it, by its index in the input.
std::string streamText(const AVStream* st)
{
    const char* type = av_get_media_type_string(st->codecpar->codec_type);
    return std::string(type ? type : "data") + " stream " + std::to_string(st->index) + " (" +
           avcodec_get_name(st->codecpar->codec_id) + ")";
}

// The container as the user names it.
std::string containerText(const AVOutputFormat* f)
{
    return std::strcmp(f->name, "matroska") == 0 ? "mkv" : f->name;
}

int nearestSampleRate(const AVCodec* codec, int wanted)
{
    if (!codec->supported_samplerates) return wanted;
    int best = 0;
    for (const int* r = codec->supported_samplerates; *r; ++r)
        if (best == 0 || std::abs(*r - wanted) < std::abs(best - wanted)) best = *r;
    return best ? best : wanted;
}

// The input's layout when the encoder takes it, else one of the encoder's with as many channels, else
// its first.
void chooseLayout(const AVCodec* codec, const AVChannelLayout& input, AVChannelLayout* out)
{
    AVChannelLayout in{};
    if (input.order == AV_CHANNEL_ORDER_UNSPEC || input.nb_channels <= 0)
        av_channel_layout_default(&in, std::max(1, input.nb_channels));
    else
        av_channel_layout_copy(&in, &input);
    const AVChannelLayout* pick = &in;
    if (codec->ch_layouts) {
        const AVChannelLayout* same = nullptr;
        const AVChannelLayout* sameCount = nullptr;
        for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
            if (!same && av_channel_layout_compare(l, &in) == 0) same = l;
            if (!sameCount && l->nb_channels == in.nb_channels) sameCount = l;
        }
        pick = same ? same : sameCount ? sameCount : codec->ch_layouts;
    }
    av_channel_layout_copy(out, pick);
    av_channel_layout_uninit(&in);
}

}  // namespace

// One audio, subtitle or data stream of the input on its way into the output.
struct CarriedAudio {
    int input = -1;
    AVStream* out = nullptr;
    AVRational inBase{1, 1};
    std::string text;  // as messages name it
    bool subtitle = false;  // subtitles and data: copied, a packet that starts before the span cut to it
    // Copied audio is decoded beside, so that damage the decoder sees is an error, not copied on.
    CodecContext check;
    Frame checked;
    // Encoding when the container does not take the codec: decoder, resampler, samples waiting for a whole
    // encoder frame, and the output time of the next sample.
    bool encode = false;
    CodecContext decoder, encoder;
    Resampler resampler;
    SampleFifo fifo;
    int64_t nextSample = AV_NOPTS_VALUE;
};

struct Muxer::Impl {
    std::string name, file;
    bool streamed = false;
    FormatOutput out;
    AVStream* video = nullptr;
    AVRational videoBase{1, 25}, videoRate{25, 1};

    Carry carry;
    FormatInput in;
    std::vector<std::unique_ptr<CarriedAudio>> audio;
    std::vector<CarriedAudio*> byInput;  // input stream index -> its carrier, or null
    Packet pending;  // read but not yet due
    bool hasPending = false, inputDone = true;  // nothing to read until audio is carried
    bool begun = false, finished = false;

    [[noreturn]] void fail(const std::string& cause) const { throw FootageError(name, cause); }
    [[noreturn]] void failInput(const std::string& cause) const
    {
        throw FootageError(carry.inputName, cause);
    }

    void write(AVPacket* packet)
    {
        const int ret = av_interleaved_write_frame(out.p, packet);
        if (ret < 0) fail("cannot write: " + errorText(ret));
        if (out.p->pb && out.p->pb->error < 0) fail("cannot write: " + errorText(out.p->pb->error));
    }

    void openInput()
    {
        const AVInputFormat* format = nullptr;
        if (!carry.inputFormat.empty() && !(format = av_find_input_format(carry.inputFormat.c_str())))
            failInput("unknown container '" + carry.inputFormat + "'");
        int ret = avformat_open_input(&in.p, carry.input.c_str(), format, nullptr);
        if (ret < 0) failInput("cannot open again for its audio: " + errorText(ret));
        ret = avformat_find_stream_info(in.p, nullptr);
        if (ret < 0) failInput("cannot read the stream layout: " + errorText(ret));
        byInput.assign(in.p->nb_streams, nullptr);
    }

    void addAudio(unsigned index)
    {
        AVStream* source = in.p->streams[index];
        auto a = std::make_unique<CarriedAudio>();
        a->input = int(index);
        a->inBase = source->time_base;
        a->text = streamText(source);
        a->out = avformat_new_stream(out.p, nullptr);
        if (!a->out) fail("out of memory");
        const AVCodecParameters* par = source->codecpar;
        const std::string why = "cannot carry its " + a->text + " into " + containerText(out.p->oformat);
        const std::string wayOut = " (--no-audio leaves the audio out)";
        if (takesAsItIs(out.p->oformat, par, source->time_base)) {
            int ret = avcodec_parameters_copy(a->out->codecpar, par);
            if (ret < 0) fail("cannot set up an audio stream: " + errorText(ret));
            keepTagIfKnown(a->out->codecpar, out.p->oformat);
            a->out->time_base = source->time_base;
            if (const AVCodec* checker = avcodec_find_decoder(par->codec_id)) {
                a->check.p = avcodec_alloc_context3(checker);
                if (!a->check.p) fail("out of memory");
                a->check.p->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK;
                a->check.p->pkt_timebase = source->time_base;
                if (avcodec_parameters_to_context(a->check.p, par) < 0 ||
                    avcodec_open2(a->check.p, checker, nullptr) < 0)
                    avcodec_free_context(&a->check.p);
            }
        } else {
            const AVCodec* decoderCodec = avcodec_find_decoder(par->codec_id);
            const AVCodec* encoderCodec = audioEncoderFor(out.p->oformat);
            if (!decoderCodec) failInput(why + ": no decoder for it" + wayOut);
            if (!encoderCodec) failInput(why + ": no audio encoder for that container" + wayOut);
            a->encode = true;
            a->decoder.p = avcodec_alloc_context3(decoderCodec);
            a->encoder.p = avcodec_alloc_context3(encoderCodec);
            if (!a->decoder.p || !a->encoder.p) fail("out of memory");
            int ret = avcodec_parameters_to_context(a->decoder.p, par);
            if (ret < 0) failInput(why + ": " + errorText(ret) + wayOut);
            a->decoder.p->pkt_timebase = source->time_base;
            if ((ret = avcodec_open2(a->decoder.p, decoderCodec, nullptr)) < 0)
                failInput(why + ": cannot open its decoder: " + errorText(ret) + wayOut);
            AVCodecContext* e = a->encoder.p;
            e->sample_rate = nearestSampleRate(encoderCodec, a->decoder.p->sample_rate);
            e->sample_fmt =
                encoderCodec->sample_fmts ? encoderCodec->sample_fmts[0] : a->decoder.p->sample_fmt;
            chooseLayout(encoderCodec, a->decoder.p->ch_layout, &e->ch_layout);
            e->time_base = AVRational{1, e->sample_rate};
            if (out.p->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if ((ret = avcodec_open2(e, encoderCodec, nullptr)) < 0)
                failInput(why + ": cannot open the " + encoderCodec->name + " encoder: " + errorText(ret) +
                          wayOut);
            if ((ret = avcodec_parameters_from_context(a->out->codecpar, e)) < 0)
                fail("cannot set up an audio stream: " + errorText(ret));
            a->out->time_base = e->time_base;
            if (!takesAsItIs(out.p->oformat, a->out->codecpar, e->time_base))
                failInput(why + ": the container refuses it encoded as " + encoderCodec->name + " too" +
                          wayOut);
            ret = swr_alloc_set_opts2(&a->resampler.p, &e->ch_layout, e->sample_fmt, e->sample_rate,
                                      &a->decoder.p->ch_layout, a->decoder.p->sample_fmt,
                                      a->decoder.p->sample_rate, 0, nullptr);
            if (ret < 0 || (ret = swr_init(a->resampler.p)) < 0)
                fail("cannot convert the audio: " + errorText(ret));
            a->fifo.p = av_audio_fifo_alloc(e->sample_fmt, e->ch_layout.nb_channels, 4096);
            if (!a->fifo.p) fail("out of memory");
        }
        a->out->disposition = source->disposition;
        copyTags(source->metadata, &a->out->metadata);
        byInput[index] = a.get();
        audio.push_back(std::move(a));
    }

    // A subtitle or data stream: copied when the container takes it, else left out with a note. A timecode
    // track is not copied: the timecode tag (carryTags) makes the output's own.
    void addOther(unsigned index)
    {
        AVStream* source = in.p->streams[index];
        const AVCodecParameters* par = source->codecpar;
        if (par->codec_tag == MKTAG('t', 'm', 'c', 'd')) return;
        if (par->codec_id == AV_CODEC_ID_TIMED_ID3 || (source->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return;
        if (!takesAsItIs(out.p->oformat, par, source->time_base)) {
            if (carry.note) {
                std::string note = "its " + streamText(source) +
                                   " is left out: " + containerText(out.p->oformat) + " does not take it";
                if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
                    const std::string f = out.p->oformat->name;
                    note += f == "matroska" ? " (mkv takes SubRip, ASS and WebVTT subtitles)"
                            : f == "webm"   ? " (webm takes WebVTT subtitles)"
                            : isQuickTimeFamily(out.p->oformat) ? " (" + f + " takes mov_text subtitles)"
                                                                : "";
                }
                carry.note(FootageError::compose(carry.inputName, note, FootageError::noFrame));
            }
            return;
        }
        auto a = std::make_unique<CarriedAudio>();
        a->input = int(index);
        a->inBase = source->time_base;
        a->text = streamText(source);
        a->subtitle = true;
        a->out = avformat_new_stream(out.p, nullptr);
        if (!a->out) fail("out of memory");
        const int ret = avcodec_parameters_copy(a->out->codecpar, par);
        if (ret < 0) fail("cannot set up a " + a->text + ": " + errorText(ret));
        keepTagIfKnown(a->out->codecpar, out.p->oformat);
        a->out->time_base = source->time_base;
        a->out->disposition = source->disposition;
        copyTags(source->metadata, &a->out->metadata);
        byInput[index] = a.get();
        audio.push_back(std::move(a));
    }

    // The input's timecode at its first frame, from the container, the picture or a timecode track.
    std::string inputTimecode() const
    {
        if (const AVDictionaryEntry* e = av_dict_get(in.p->metadata, "timecode", nullptr, 0)) return e->value;
        for (unsigned i = 0; i < in.p->nb_streams; ++i)
            if (const AVDictionaryEntry* e = av_dict_get(in.p->streams[i]->metadata, "timecode", nullptr, 0))
                return e->value;
        return {};
    }

    void carryTags()
    {
        copyTags(in.p->metadata, &out.p->metadata);
        const int picture = av_find_best_stream(in.p, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (picture >= 0 && video) copyTags(in.p->streams[picture]->metadata, &video->metadata);
        std::string timecode = inputTimecode();
        if (!timecode.empty() && carry.framesIn > 0) {
            // The output starts later: its timecode is the one of its first frame.
            AVTimecode tc{};
            char text[AV_TIMECODE_STR_SIZE];
            if (av_timecode_init_from_string(&tc, videoRate, timecode.c_str(), nullptr) == 0)
                timecode = av_timecode_make_string(&tc, text, carry.framesIn);
        }
        if (!timecode.empty()) av_dict_set(&out.p->metadata, "timecode", timecode.c_str(), 0);
    }

    // --- carried audio, as the picture advances ---------------------------------------------------------
    double seconds(int64_t t, AVRational base) const { return double(t) * av_q2d(base); }

    // Writes the carried audio due before `until` (output seconds).
    void pumpAudio(double until)
    {
        while (!inputDone) {
            if (!hasPending) {
                const int ret = av_read_frame(in.p, pending.p);
                if (ret == AVERROR_EOF) {
                    inputDone = true;
                    break;
                }
                if (ret < 0) failInput("cannot read its audio: " + errorText(ret));
                CarriedAudio* a = unsigned(pending.p->stream_index) < byInput.size()
                                      ? byInput[size_t(pending.p->stream_index)]
                                      : nullptr;
                if (!a) {
                    // Stop reading well after the span: a cut near the start need not read the whole file.
                    const AVRational base = in.p->streams[pending.p->stream_index]->time_base;
                    if (pending.p->dts != AV_NOPTS_VALUE && seconds(pending.p->dts, base) > carry.end + 10)
                        inputDone = true;
                    av_packet_unref(pending.p);
                    continue;
                }
                hasPending = true;
            }
            CarriedAudio& a = *byInput[size_t(pending.p->stream_index)];
            const int64_t t = pending.p->dts != AV_NOPTS_VALUE ? pending.p->dts : pending.p->pts;
            if (t != AV_NOPTS_VALUE && seconds(t, a.inBase) - carry.zero >= until) return;
            hasPending = false;
            take(a, pending.p);
            av_packet_unref(pending.p);
        }
    }

    void take(CarriedAudio& a, AVPacket* p)
    {
        if (p->pts == AV_NOPTS_VALUE) return;
        const double start = seconds(p->pts, a.inBase), length = seconds(p->duration, a.inBase);
        if (start >= carry.end || start + std::max(length, 1e-9) <= carry.start) return;  // outside the span
        if (a.encode) return decode(a, p);
        if (a.check.p) checkAudio(a, p);
        const int64_t shift = int64_t(std::llround(carry.zero / av_q2d(a.inBase)));
        if (a.subtitle && p->pts < shift) {
            // Shown before the first frame and on into the span: from the first frame on.
            if (p->duration > 0) p->duration = std::max<int64_t>(p->duration - (shift - p->pts), 1);
            p->pts = p->dts = shift;
        }
        p->pts -= shift;
        if (p->dts != AV_NOPTS_VALUE) p->dts -= shift;
        av_packet_rescale_ts(p, a.inBase, a.out->time_base);
        p->stream_index = a.out->index;
        p->pos = -1;
        write(p);
    }

    // Decodes a copied packet beside: a decoder that finds the data damaged makes it an error.
    void checkAudio(CarriedAudio& a, const AVPacket* p)
    {
        int ret = avcodec_send_packet(a.check.p, p);
        while (ret >= 0) {
            ret = avcodec_receive_frame(a.check.p, a.checked.p);
            if (ret >= 0 && (a.checked.p->decode_error_flags || (a.checked.p->flags & AV_FRAME_FLAG_CORRUPT)))
                ret = AVERROR_INVALIDDATA;
            av_frame_unref(a.checked.p);
        }
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) damaged(a, p, ret);
    }

    [[noreturn]] void damaged(const CarriedAudio& a, const AVPacket* p, int error) const
    {
        char at[32] = "its end";
        if (p && p->pts != AV_NOPTS_VALUE) std::snprintf(at, sizeof at, "%.2f s", seconds(p->pts, a.inBase));
        failInput("its " + a.text + " is damaged at " + at + ": " + errorText(error) +
                  " (--no-audio leaves the audio out)");
    }

    void decode(CarriedAudio& a, const AVPacket* p)
    {
        int ret = avcodec_send_packet(a.decoder.p, p);
        if (ret < 0 && ret != AVERROR_EOF) damaged(a, p, ret);
        Frame frame;
        while ((ret = avcodec_receive_frame(a.decoder.p, frame.p)) >= 0) {
            resample(a, frame.p);
            av_frame_unref(frame.p);
        }
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) damaged(a, p, ret);
    }

    // Keeps the frame's samples inside the span (exactly) and queues them in the encoder's format.
    void resample(CarriedAudio& a, const AVFrame* f)
    {
        const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        const double rate = f->sample_rate;
        int from = 0, to = f->nb_samples;
        double first = 0;
        if (ts != AV_NOPTS_VALUE) {
            const double t0 = seconds(ts, a.inBase);
            from = int(std::clamp(std::ceil((carry.start - t0) * rate - 1e-6), 0.0, double(f->nb_samples)));
            to = int(std::clamp(std::floor((carry.end - t0) * rate + 0.5), 0.0, double(f->nb_samples)));
            first = t0 + from / rate;
        }
        if (from >= to) return;
        if (a.nextSample == AV_NOPTS_VALUE)
            a.nextSample = std::llround((first - carry.zero) * a.encoder.p->sample_rate);
        const uint8_t* planes[AV_NUM_DATA_POINTERS] = {};
        const int bytes = av_get_bytes_per_sample(AVSampleFormat(f->format));
        const bool planar = av_sample_fmt_is_planar(AVSampleFormat(f->format));
        const int planeCount = planar ? f->ch_layout.nb_channels : 1;
        for (int i = 0; i < planeCount && i < AV_NUM_DATA_POINTERS; ++i)
            planes[i] = f->extended_data[i] +
                        size_t(from) * size_t(bytes) * size_t(planar ? 1 : f->ch_layout.nb_channels);
        convert(a, planes, to - from);
        encode(a, false);
    }

    void convert(CarriedAudio& a, const uint8_t** planes, int count)
    {
        const int room = swr_get_out_samples(a.resampler.p, count);
        if (room <= 0) return;
        uint8_t** converted = nullptr;
        int ret = av_samples_alloc_array_and_samples(&converted, nullptr, a.encoder.p->ch_layout.nb_channels,
                                                     room, a.encoder.p->sample_fmt, 0);
        if (ret < 0) fail("out of memory");
        const int made = swr_convert(a.resampler.p, converted, room, planes, count);
        if (made > 0) ret = av_audio_fifo_write(a.fifo.p, reinterpret_cast<void**>(converted), made);
        av_freep(&converted[0]);
        av_freep(&converted);
        if (made < 0) fail("cannot convert the audio: " + errorText(made));
        if (ret < 0) fail("out of memory");
    }

    // Encodes whole encoder frames of the queued samples; `all` also the last, shorter one.
    void encode(CarriedAudio& a, bool all)
    {
        AVCodecContext* e = a.encoder.p;
        const int frameSize = e->frame_size > 0 ? e->frame_size : 1024;
        while (av_audio_fifo_size(a.fifo.p) >= frameSize || (all && av_audio_fifo_size(a.fifo.p) > 0)) {
            Frame frame;
            frame.p->nb_samples = std::min(frameSize, av_audio_fifo_size(a.fifo.p));
            frame.p->format = e->sample_fmt;
            frame.p->sample_rate = e->sample_rate;
            av_channel_layout_copy(&frame.p->ch_layout, &e->ch_layout);
            if (av_frame_get_buffer(frame.p, 0) < 0) fail("out of memory");
            av_audio_fifo_read(a.fifo.p, reinterpret_cast<void**>(frame.p->data), frame.p->nb_samples);
            frame.p->pts = a.nextSample;
            a.nextSample += frame.p->nb_samples;
            send(a, frame.p);
        }
    }

    void send(CarriedAudio& a, const AVFrame* frame)
    {
        int ret = avcodec_send_frame(a.encoder.p, frame);
        if (ret < 0 && ret != AVERROR_EOF) fail("cannot encode the audio: " + errorText(ret));
        Packet packet;
        while ((ret = avcodec_receive_packet(a.encoder.p, packet.p)) >= 0) {
            av_packet_rescale_ts(packet.p, a.encoder.p->time_base, a.out->time_base);
            packet.p->stream_index = a.out->index;
            write(packet.p);
        }
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) fail("cannot encode the audio: " + errorText(ret));
    }

    void drainAudio()
    {
        for (auto& a : audio) {
            if (!a->encode) continue;
            decode(*a, nullptr);
            convert(*a, nullptr, 0);
            encode(*a, true);
            send(*a, nullptr);
        }
    }
};

Muxer::Muxer(std::string name, std::string file, const std::string& container, bool streamed)
    : impl_(std::make_unique<Impl>())
{
    quietLibraries();
    impl_->name = std::move(name);
    impl_->file = std::move(file);
    impl_->streamed = streamed;
    const int ret =
        avformat_alloc_output_context2(&impl_->out.p, nullptr, container.c_str(), impl_->file.c_str());
    if (ret < 0 || !impl_->out.p)
        impl_->fail("cannot set up the " + container + " container: " + errorText(ret));
}

Muxer::~Muxer() = default;

bool Muxer::wantsGlobalHeader() const { return (impl_->out.p->oformat->flags & AVFMT_GLOBALHEADER) != 0; }

AVFormatContext* Muxer::context() { return impl_->out.p; }

void Muxer::addVideo(const AVCodecParameters& codec, AVRational timeBase, AVRational frameRate)
{
    Impl& m = *impl_;
    if (m.video || m.begun) throw std::logic_error("Muxer::addVideo: called twice or after begin()");
    m.video = avformat_new_stream(m.out.p, nullptr);
    if (!m.video) m.fail("out of memory");
    const int ret = avcodec_parameters_copy(m.video->codecpar, &codec);
    if (ret < 0) m.fail("cannot set up the picture's stream: " + errorText(ret));
    keepTagIfKnown(m.video->codecpar, m.out.p->oformat);
    m.video->time_base = timeBase;
    m.video->avg_frame_rate = frameRate;
    m.video->sample_aspect_ratio = codec.sample_aspect_ratio;
    m.videoBase = timeBase;
    m.videoRate = frameRate;
}

void Muxer::carry(const Carry& carry)
{
    Impl& m = *impl_;
    if (m.begun) throw std::logic_error("Muxer::carry: called after begin()");
    if (carry.input.empty() || (!carry.audio && !carry.tags && !carry.others)) return;
    m.carry = carry;
    if (m.carry.inputName.empty()) m.carry.inputName = carry.input;
    m.openInput();
    for (unsigned i = 0; i < m.in.p->nb_streams; ++i) {
        const AVMediaType type = m.in.p->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_AUDIO && carry.audio) m.addAudio(i);
        if ((type == AVMEDIA_TYPE_SUBTITLE || type == AVMEDIA_TYPE_DATA) && carry.others) m.addOther(i);
    }
    if (carry.tags) m.carryTags();
    // Start reading a little before the span rather than from the beginning of a long file.
    if (!m.audio.empty() && carry.start > -1e299) {
        const double from = std::max(0.0, carry.start - 2.0);
        if (from > 0)
            avformat_seek_file(m.in.p, -1, INT64_MIN, int64_t(from * AV_TIME_BASE),
                               int64_t(from * AV_TIME_BASE), 0);
    }
    m.inputDone = m.audio.empty();
}

void Muxer::begin()
{
    Impl& m = *impl_;
    if (!m.video) throw std::logic_error("Muxer::begin: no picture stream");
    int ret = 0;
    if (!(m.out.p->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&m.out.p->pb, m.file.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) m.fail("cannot create the file: " + errorText(ret));
    }
    Dictionary options;
    if (isQuickTimeFamily(m.out.p->oformat)) {
        // The colour description in the container too, so that readers need not guess it; tags such as
        // com.apple.quicktime.location.ISO6709 kept by their own names; a stream written in fragments.
        std::string flags = "+write_colr";
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(m.out.p->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
            if (std::strncmp(e->key, "com.", 4) == 0) {
                flags += "+use_metadata_tags";
                break;
            }
        if (m.streamed) flags += "+frag_keyframe+empty_moov+default_base_moof";
        av_dict_set(&options.p, "movflags", flags.c_str(), 0);
    }
    ret = avformat_write_header(m.out.p, &options.p);
    if (ret < 0) m.fail("cannot write the header: " + errorText(ret));
    m.begun = true;
}

void Muxer::writeVideo(AVPacket& packet)
{
    Impl& m = *impl_;
    const int64_t t = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (t != AV_NOPTS_VALUE) m.pumpAudio(m.seconds(t, m.videoBase));
    av_packet_rescale_ts(&packet, m.videoBase, m.video->time_base);
    packet.stream_index = m.video->index;
    packet.pos = -1;
    m.write(&packet);
}

void Muxer::finish()
{
    Impl& m = *impl_;
    if (m.finished) return;
    m.pumpAudio(1e300);
    m.drainAudio();
    int ret = av_write_trailer(m.out.p);
    if (ret < 0) m.fail("cannot finish the file: " + errorText(ret));
    if (m.out.p->pb) {
        if (m.out.p->pb->error < 0) m.fail("cannot write: " + errorText(m.out.p->pb->error));
        if (!(m.out.p->oformat->flags & AVFMT_NOFILE) && (ret = avio_closep(&m.out.p->pb)) < 0)
            m.fail("cannot close the file: " + errorText(ret));
    }
    m.finished = true;
}

void joinSegments(const std::vector<std::string>& segments, const std::string& name, const std::string& file,
                  const std::string& container, const Carry& carry, bool streamed)
{
    quietLibraries();
    if (segments.empty()) throw FootageError(name, "nothing to join");
    Muxer muxer(name, file, container, streamed);
    AVRational base{0, 1};
    const AVCodecParameters* first = nullptr;
    FormatInput firstInput;
    int64_t lastDts = INT64_MIN;  // in `base`: of the segment before
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::string& segment = segments[i];
        FormatInput own;
        FormatInput& in = i == 0 ? firstInput : own;
        int ret = avformat_open_input(&in.p, segment.c_str(), nullptr, nullptr);
        if (ret < 0) throw FootageError(segment, "cannot open: " + errorText(ret));
        // The first segment sets the output up (its rates and pixel format come from probing); the others
        // are only read for their packets.
        if ((ret = i == 0 ? avformat_find_stream_info(in.p, nullptr) : readStreamLayout(in.p)) < 0)
            throw FootageError(segment, "cannot read the stream layout: " + errorText(ret));
        const int index = av_find_best_stream(in.p, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index < 0) throw FootageError(segment, "holds no video stream");
        AVStream* st = in.p->streams[index];
        const AVCodecParameters* par = st->codecpar;
        if (i == 0) {
            first = par;
            base = st->time_base;
            CodecParameters copy;
            if (!copy.p || avcodec_parameters_copy(copy.p, par) < 0)
                throw FootageError(name, "out of memory");
            copy.p->sample_aspect_ratio = av_guess_sample_aspect_ratio(in.p, st, nullptr);
            const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
            muxer.addVideo(*copy.p, base, rate);
            muxer.carry(carry);
            muxer.begin();
        } else if (par->codec_id != first->codec_id || par->width != first->width ||
                   par->height != first->height ||
                   (par->format != AV_PIX_FMT_NONE && par->format != first->format)) {
            throw FootageError(segment, "does not match the first segment's codec, size or pixel format");
        }
        // Each segment carries the times its frames have in the whole render (a chunk is rendered with
        // the whole's time origin), so packets keep their times: frames of variable duration stay exactly
        // where a single render puts them, which following on from the segment before cannot promise.
        Packet packet;
        bool firstPacket = true;
        while ((ret = av_read_frame(in.p, packet.p)) >= 0) {
            if (packet.p->stream_index != index) {
                av_packet_unref(packet.p);
                continue;
            }
            av_packet_rescale_ts(packet.p, st->time_base, base);
            const int64_t dts = packet.p->dts != AV_NOPTS_VALUE ? packet.p->dts : packet.p->pts;
            if (firstPacket && dts != AV_NOPTS_VALUE && dts <= lastDts)
                throw FootageError(segment, "does not follow the segment before it in time (a segment of "
                                            "another render, or rendered without its time origin)");
            firstPacket = false;
            if (dts != AV_NOPTS_VALUE) lastDts = std::max(lastDts, dts);
            muxer.writeVideo(*packet.p);
            av_packet_unref(packet.p);
        }
        if (ret != AVERROR_EOF) throw FootageError(segment, "cannot read: " + errorText(ret));
    }
    muxer.finish();
}

std::string containerFor(const std::string& name)
{
    if (name == "mp4") return "mp4";
    if (name == "mov") return "mov";
    if (name == "mkv" || name == "matroska") return "matroska";
    if (name == "nut") return "nut";
    if (name == "webm") return "webm";
    return {};
}

}  // namespace Kiln::Footage
