#include "cli/farm/klFarmJoin.h"

#include "cli/klOutputFiles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <unistd.h>

namespace Kiln::Footage::Farm {

namespace {

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// ---- interruptions: a scancel or a time limit sends SIGTERM; the join stops and leaves no output ----
volatile std::sig_atomic_t g_signal = 0;

extern "C" void noteSignal(int s) { g_signal = s; }

class SignalGuard {
public:
  SignalGuard() {
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~SignalGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  void check(const std::string& file, long frame) const {
    if (g_signal) throw Interrupted(file, frame, int(g_signal));
  }

private:
  struct sigaction oldInt_ {}, oldTerm_ {};
};

// ---- why a chunk failed -----------------------------------------------------------------------------
std::string lastLine(const std::string& file) {
  std::ifstream in(file);
  if (!in) return {};
  std::string line, last;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    // A progress bar or a cleared line leaves carriage returns: the text after the last one shows.
    const size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line.erase(0, cr + 1);
    if (!line.empty()) last = line;
  }
  if (last.rfind("watchcam: ", 0) == 0) last.erase(0, 10);
  return last;
}

// ---- video segments -------------------------------------------------------------------------------
struct Input {
  AVFormatContext* p = nullptr;
  ~Input() { avformat_close_input(&p); }
};
struct Output {
  AVFormatContext* p = nullptr;
  ~Output() {
    if (p) {
      if (p->pb) avio_closep(&p->pb);
      avformat_free_context(p);
    }
  }
};
struct Packet {
  AVPacket* p = av_packet_alloc();
  ~Packet() { av_packet_free(&p); }
};

bool sameStream(const AVCodecParameters* a, const AVCodecParameters* b) {
  return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height && a->format == b->format &&
         a->extradata_size == b->extradata_size &&
         (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata, size_t(a->extradata_size)) == 0);
}

class SegmentJoiner {
public:
  SegmentJoiner(const FarmPlan& plan, const JoinSettings& settings, std::string file, const SignalGuard& signals)
      : plan_(plan), name_(plan.output().path), file_(std::move(file)), signals_(signals),
        frame_{settings.rate.den, settings.rate.num} {}

  void add(const Chunk& chunk) {
    const std::string segment = plan_.chunkTarget(chunk.number).path;
    const std::string where = "chunk " + std::to_string(chunk.number) + " (" + segment + ")";
    Input in;
    int ret = avformat_open_input(&in.p, segment.c_str(), nullptr, nullptr);
    if (ret < 0) throw FootageError(name_, where + ": cannot open: " + avError(ret));
    ret = avformat_find_stream_info(in.p, nullptr);
    if (ret < 0) throw FootageError(name_, where + ": cannot read the stream layout: " + avError(ret));
    const int stream = av_find_best_stream(in.p, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) throw FootageError(name_, where + ": holds no video");
    const AVStream* st = in.p->streams[stream];
    if (!out_.p) open(st);
    else if (!sameStream(out_.p->streams[0]->codecpar, st->codecpar))
      throw FootageError(name_, where + ": encoded with other settings than chunk 1, so the two cannot be joined "
                                        "without encoding again (is every node running the same build?)");

    const int64_t offset = chunk.first - plan_.first();  // the segment's first frame in the output
    const AVRational outBase = out_.p->streams[0]->time_base;
    const auto toOutput = [&](int64_t t, int64_t start) {
      const int64_t frames = av_rescale_q_rnd(t - start, st->time_base, frame_, AV_ROUND_NEAR_INF);
      return av_rescale_q_rnd(offset + frames, frame_, outBase, AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    };
    Packet packet;
    int64_t start = AV_NOPTS_VALUE;
    int count = 0;
    while ((ret = av_read_frame(in.p, packet.p)) >= 0) {
      signals_.check(name_, chunk.first + count);
      if (packet.p->stream_index != stream) {
        av_packet_unref(packet.p);
        continue;
      }
      if (start == AV_NOPTS_VALUE) {
        if (!(packet.p->flags & AV_PKT_FLAG_KEY))
          throw FootageError(name_, where + ": does not start on a key frame");
        start = packet.p->pts;
        if (start == AV_NOPTS_VALUE) throw FootageError(name_, where + ": its first picture has no time");
      }
      if (packet.p->pts == AV_NOPTS_VALUE || packet.p->pts < start)
        throw FootageError(name_, where + ": pictures before its first key frame");
      const int64_t dts = packet.p->dts == AV_NOPTS_VALUE ? packet.p->pts : packet.p->dts;
      const int64_t frames = av_rescale_q_rnd(packet.p->duration, st->time_base, frame_, AV_ROUND_NEAR_INF);
      packet.p->pts = toOutput(packet.p->pts, start);
      packet.p->dts = toOutput(dts, start);
      packet.p->duration = av_rescale_q(frames, frame_, outBase);
      packet.p->stream_index = 0;
      packet.p->pos = -1;
      ret = av_interleaved_write_frame(out_.p, packet.p);
      if (ret < 0) throw FootageError(name_, "cannot write: " + avError(ret), chunk.first + count);
      if (out_.p->pb->error < 0) throw FootageError(name_, "cannot write: " + avError(out_.p->pb->error), chunk.first + count);
      ++count;
    }
    if (ret != AVERROR_EOF) throw FootageError(name_, where + ": cannot read: " + avError(ret));
    const int expected = chunk.last - chunk.first + 1;
    if (count != expected)
      throw FootageError(name_, where + ": holds " + std::to_string(count) + " pictures, not " + std::to_string(expected));
  }

  void finish() {
    int ret = av_write_trailer(out_.p);
    if (ret < 0) throw FootageError(name_, "cannot finish the file: " + avError(ret));
    if (out_.p->pb->error < 0) throw FootageError(name_, "cannot write: " + avError(out_.p->pb->error));
    ret = avio_closep(&out_.p->pb);
    if (ret < 0) throw FootageError(name_, "cannot close the file: " + avError(ret));
  }

private:
  void open(const AVStream* st) {
    int ret = avformat_alloc_output_context2(&out_.p, nullptr, nullptr, name_.c_str());
    if (ret < 0 || !out_.p) throw FootageError(name_, "cannot set up the container: " + avError(ret));
    AVStream* ost = avformat_new_stream(out_.p, nullptr);
    if (!ost) throw FootageError(name_, "out of memory");
    ret = avcodec_parameters_copy(ost->codecpar, st->codecpar);
    if (ret < 0) throw FootageError(name_, "cannot set up the stream: " + avError(ret));
    // The segments are in the output's own container: their codec tag (which tells ProRes 4444 from
    // 422, say) stands as it is.
    // As the encoder's own stream is set up, so the container picks the same time scale.
    ost->time_base = frame_;
    ost->avg_frame_rate = av_inv_q(frame_);
    const AVRational aspect = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : st->codecpar->sample_aspect_ratio;
    ost->sample_aspect_ratio = ost->codecpar->sample_aspect_ratio = aspect;
    ret = avio_open(&out_.p->pb, file_.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) throw FootageError(name_, "cannot create the file: " + avError(ret));
    AVDictionary* muxing = nullptr;
    if (plan_.output().extension != "mkv") av_dict_set(&muxing, "movflags", "+write_colr", 0);
    ret = avformat_write_header(out_.p, &muxing);
    av_dict_free(&muxing);
    if (ret < 0) throw FootageError(name_, "cannot write the header: " + avError(ret));
  }

  const FarmPlan& plan_;
  std::string name_, file_;
  const SignalGuard& signals_;
  AVRational frame_;  // one frame
  Output out_;
};

void joinVideo(const FarmPlan& plan, const JoinSettings& settings, const SignalGuard& signals) {
  av_log_set_level(AV_LOG_QUIET);
  OutputFiles files(plan.output(), long(getpid()));
  try {
    SegmentJoiner joiner(plan, settings, files.temporaryFor(plan.first()), signals);
    for (const Chunk& c : plan.chunks()) joiner.add(c);
    joiner.finish();
    files.commit();
  } catch (...) {
    files.discard();
    throw;
  }
}

// ---- sequences ------------------------------------------------------------------------------------
void joinSequence(const FarmPlan& plan, const SignalGuard& signals) {
  std::vector<std::pair<std::string, std::string>> moved;  // from, to
  try {
    for (const Chunk& c : plan.chunks())
      for (int n = c.first; n <= c.last; ++n) {
        signals.check(plan.output().path, n);
        const std::string from = plan.chunkFile(c, n), to = plan.output().frameFile(n);
        if (std::rename(from.c_str(), to.c_str()) != 0)
          throw FootageError(to, "cannot move the rendered frame " + from + " here: " + std::strerror(errno), n);
        moved.emplace_back(from, to);
      }
  } catch (...) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) std::rename(it->second.c_str(), it->first.c_str());
    throw;
  }
}

}  // namespace

std::vector<std::string> failedChunks(const FarmPlan& plan) {
  std::vector<std::string> lines;
  const std::string of = " of " + std::to_string(plan.chunks().size());
  for (const Chunk& c : plan.missingChunks()) {
    const std::string log = plan.chunkLog(c.number);
    std::string why;
    if (!std::filesystem::exists(log)) why = "it never ran (no log)";
    else if ((why = lastLine(log)).empty()) why = "it ended without a message";
    lines.push_back("chunk " + std::to_string(c.number) + of + " (frames " + std::to_string(c.first) + "-" +
                    std::to_string(c.last) + ") failed: " + why + " (log " + log + ")");
  }
  return lines;
}

void joinChunks(const FarmPlan& plan, const JoinSettings& settings, std::ostream& report) {
  const std::vector<std::string> failed = failedChunks(plan);
  if (!failed.empty()) {
    for (const std::string& line : failed) report << "watchcam: " << plan.output().path << ": " << line << "\n";
    report.flush();
    throw FootageError(plan.output().path, "not joined: " + std::to_string(failed.size()) + " of " +
                                               std::to_string(plan.chunks().size()) +
                                               " chunks failed; the same farm command again renders only those");
  }
  const SignalGuard signals;
  if (plan.output().kind == Kind::Video) joinVideo(plan, settings, signals);
  else joinSequence(plan, signals);
  std::error_code ec;
  std::filesystem::remove_all(plan.workFolder(), ec);
  if (ec)
    report << "watchcam: " << plan.workFolder() << ": the work folder could not be removed: " << ec.message() << "\n";
}

}  // namespace Kiln::Footage::Farm
