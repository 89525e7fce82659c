#include "farm/klFarmJoin.h"

#include "footage/klOutputFiles.h"
#include "footage/video/klFFmpeg.h"
#include "footage/video/klMuxer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Footage::Farm {

namespace {

// ---- interruptions: a scancel or a time limit sends SIGTERM ----------------------------------------
// While a video is joined the handler removes its temporary file and ends the process (the join runs
// inside the muxer); while a sequence's frames move, it only notes the signal so that they move back.
volatile std::sig_atomic_t g_signal = 0;
char g_temporary[4096] = {};

extern "C" void onSignal(int s)
{
    if (g_temporary[0]) {
        unlink(g_temporary);
        _exit(128 + s);
    }
    g_signal = s;
}

class SignalGuard {
public:
    explicit SignalGuard(const std::string& temporary = {})
    {
        g_signal = 0;
        if (temporary.size() < sizeof g_temporary)
            std::memcpy(g_temporary, temporary.c_str(), temporary.size() + 1);
        struct sigaction action { };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~SignalGuard()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        g_temporary[0] = 0;
    }
    void check(const std::string& file, long frame) const
    {
        if (g_signal) throw Interrupted(file, frame, int(g_signal));
    }

private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

// ---- why a chunk failed -----------------------------------------------------------------------------
std::string lastLine(const std::string& file)
{
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
// What the join takes on trust otherwise: each segment starts on a key frame, is coded exactly as the
// first (same codec headers: a node with another build would differ) and, where the container counts
// them, holds its chunk's pictures. Reads the headers and the first picture only.
class SegmentCheck {
public:
    SegmentCheck(const FarmPlan& plan) : plan_(plan) { }

    void check(const Chunk& chunk)
    {
        const std::string segment = plan_.chunkTarget(chunk.number).path;
        const std::string where = "chunk " + std::to_string(chunk.number) + " (" + segment + ")";
        const std::string& name = plan_.output().path;
        FF::FormatInput in;
        int ret = avformat_open_input(&in.p, segment.c_str(), nullptr, nullptr);
        if (ret < 0) throw FootageError(name, where + ": cannot open: " + FF::errorText(ret));
        if ((ret = FF::readStreamLayout(in.p)) < 0)
            throw FootageError(name, where + ": cannot read the stream layout: " + FF::errorText(ret));
        const int stream = av_find_best_stream(in.p, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream < 0) throw FootageError(name, where + ": holds no video");
        const AVStream* st = in.p->streams[stream];
        const AVCodecParameters* par = st->codecpar;
        const std::vector<uint8_t> headers(par->extradata, par->extradata + par->extradata_size);
        if (chunk.number == plan_.chunks().front().number) {
            codec_ = par->codec_id;
            headers_ = headers;
        } else if (par->codec_id != codec_ || headers != headers_) {
            throw FootageError(
                name, where + ": encoded with other settings than chunk 1, so the two cannot be joined "
                              "without encoding again (is every node running the same build?)");
        }
        const int64_t pictures = chunk.last - chunk.first + 1;
        if (st->nb_frames > 0 && st->nb_frames != pictures)
            throw FootageError(name, where + ": holds " + std::to_string(st->nb_frames) + " pictures, not " +
                                         std::to_string(pictures));
        FF::Packet packet;
        while ((ret = av_read_frame(in.p, packet.p)) >= 0 && packet.p->stream_index != stream)
            av_packet_unref(packet.p);
        if (ret < 0) throw FootageError(name, where + ": holds no pictures");
        if (!(packet.p->flags & AV_PKT_FLAG_KEY))
            throw FootageError(name, where + ": does not start on a key frame");
    }

private:
    const FarmPlan& plan_;
    AVCodecID codec_ = AV_CODEC_ID_NONE;
    std::vector<uint8_t> headers_;
};

void joinVideo(const FarmPlan& plan, const JoinSettings& settings, OutputFiles& files)
{
    FF::quietLibraries();
    SegmentCheck checks(plan);
    std::vector<std::string> segments;
    for (const Chunk& c : plan.chunks()) {
        checks.check(c);
        segments.push_back(plan.chunkTarget(c.number).path);
    }
    try {
        const std::string temporary = files.temporaryFor(plan.first());
        const SignalGuard signals(temporary);
        joinSegments(segments, plan.output().path, temporary, containerFor(plan.output().extension),
                     settings.carry);
        files.commit();
    } catch (...) {
        files.discard();
        throw;
    }
}

// ---- sequences ------------------------------------------------------------------------------------
void joinSequence(const FarmPlan& plan, const SignalGuard& signals, OutputFiles& files)
{
    std::vector<std::pair<std::string, std::string>> moved;  // from, to
    try {
        for (const Chunk& c : plan.chunks())
            for (int n = c.first; n <= c.last; ++n) {
                signals.check(plan.output().path, n);
                const std::string from = plan.chunkFile(c, n), to = plan.output().frameFile(n);
                if (std::rename(from.c_str(), to.c_str()) != 0)
                    throw FootageError(
                        to, "cannot move the rendered frame " + from + " here: " + std::strerror(errno), n);
                moved.emplace_back(from, to);
            }
    } catch (...) {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            std::rename(it->second.c_str(), it->first.c_str());
        throw;
    }
    files.commit();  // nothing of its own to rename: gives up the claim
}

// The number of pictures in a video file, from its packets (no decoding); -1 when it cannot be read.
long countPictures(const std::string& file)
{
    FF::FormatInput in;
    if (avformat_open_input(&in.p, file.c_str(), nullptr, nullptr) < 0) return -1;
    if (FF::readStreamLayout(in.p) < 0) return -1;
    const int stream = av_find_best_stream(in.p, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return -1;
    FF::Packet packet;
    long count = 0;
    int ret = 0;
    while ((ret = av_read_frame(in.p, packet.p)) >= 0) {
        if (packet.p->stream_index == stream) ++count;
        av_packet_unref(packet.p);
    }
    return ret == AVERROR_EOF ? count : -1;
}

long fileSize(const std::string& file)
{
    struct stat s { };
    if (stat(file.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) return -1;
    return long(s.st_size);
}

}  // namespace

std::string chunkProblem(const FarmPlan& plan, const Chunk& chunk)
{
    const FootagePath target = plan.chunkTarget(chunk.number);
    const long pictures = long(chunk.last) - chunk.first + 1;
    if (target.kind == Kind::Video) {
        const long size = fileSize(target.path);
        if (size < 0) return "missing";
        if (size == 0) return "its segment is empty";
        FF::quietLibraries();
        const long count = countPictures(target.path);
        if (count < 0) return "its segment cannot be read";
        if (count != pictures)
            return "its segment holds " + std::to_string(count) + " of its " + std::to_string(pictures) +
                   " pictures";
        return {};
    }
    long missing = 0, empty = 0;
    for (int n = chunk.first; n <= chunk.last; ++n) {
        const long size = fileSize(target.frameFile(n));
        missing += size < 0;
        empty += size == 0;
    }
    if (missing == pictures) return "missing";
    if (missing + empty == 0) return {};
    return std::to_string(missing) + " of its frames missing, " + std::to_string(empty) + " empty";
}

std::vector<Chunk> chunksToRender(const FarmPlan& plan)
{
    std::vector<Chunk> todo;
    for (const Chunk& c : plan.chunks())
        if (!chunkProblem(plan, c).empty()) todo.push_back(c);
    return todo;
}

std::vector<std::string> failedChunks(const FarmPlan& plan)
{
    std::vector<std::string> lines;
    const std::string of = " of " + std::to_string(plan.chunks().size());
    for (const Chunk& c : plan.chunks()) {
        const std::string problem = chunkProblem(plan, c);
        if (problem.empty()) continue;
        const std::string log = plan.chunkLog(c.number);
        std::string why;
        if (problem != "missing")
            why = problem;
        else if (!std::filesystem::exists(log))
            why = "it never ran (no log)";
        else if ((why = lastLine(log)).empty())
            why = "it ended without a message";
        lines.push_back("chunk " + std::to_string(c.number) + of + " (frames " + std::to_string(c.first) +
                        "-" + std::to_string(c.last) + ") failed: " + why + " (log " + log + ")");
    }
    return lines;
}

void joinChunks(const FarmPlan& plan, const JoinSettings& settings, std::ostream& report)
{
    const std::vector<std::string> failed = failedChunks(plan);
    if (!failed.empty()) {
        for (const std::string& line : failed)
            report << "watchcam: " << plan.output().path << ": " << line << "\n";
        report.flush();
        throw FootageError(plan.output().path,
                           "not joined: " + std::to_string(failed.size()) + " of " +
                               std::to_string(plan.chunks().size()) +
                               " chunks failed; the same farm command again renders only those");
    }
    // Claimed as a render claims it, then checked again: another render or join may have written it since.
    OutputFiles files(plan.output(), long(getpid()));
    files.claim(plan.first(), plan.last());
    files.check(settings.inputFiles, plan.first(), plan.last(), settings.overwrite);
    if (plan.output().kind == Kind::Video)
        joinVideo(plan, settings, files);
    else
        joinSequence(plan, SignalGuard(), files);
    std::error_code ec;
    std::filesystem::remove_all(plan.workFolder(), ec);
    if (ec)
        report << "watchcam: " << plan.workFolder()
               << ": the work folder could not be removed: " << ec.message() << "\n";
}

}  // namespace Kiln::Footage::Farm
