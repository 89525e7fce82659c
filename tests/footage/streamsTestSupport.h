// Shared by the footage tests that make inputs with the ffmpeg program, render them through watchcam with
// the pass-through module and ask ffprobe what the outputs hold.
#ifndef KL_STREAMS_TEST_SUPPORT_H
#define KL_STREAMS_TEST_SUPPORT_H

#include "tests/rendererTestSupport.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace StreamsTest {

inline std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a program; its standard output, or "" with a failure when it does not exit 0.
inline std::string capture(const std::vector<std::string>& argv)
{
    std::string line;
    for (const std::string& a : argv) line += quoted(a) + " ";
    FILE* pipe = popen((line + "2>&1").c_str(), "r");
    if (!pipe) return {};
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0) {
        ADD_FAILURE() << line << "\n" << out;
        return {};
    }
    return out;
}

class Streams : public RendererTest::ScratchTest {
protected:
    // Makes `name` with ffmpeg from `args` (inputs and codecs); small tones and test pictures.
    void make(const std::string& name, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"ffmpeg", "-v", "error", "-nostdin", "-y"});
        args.push_back(path(name));
        capture(args);
    }
    RendererTest::RunResult render(std::vector<std::string> args)
    {
        args.insert(args.begin(), "render");
        args.insert(args.end(),
                    {"--module", RendererTest::passthroughModule(), "--quiet"});  // notes and errors only
        return RendererTest::runWatchcam(args, dir_);
    }
    // ffprobe's answer for `entries` ("stream=codec_name,duration"), one line per section, as key=value|...
    std::vector<std::string> probe(const std::string& name, const std::string& entries,
                                   const std::string& streams = "")
    {
        std::vector<std::string> args = {"ffprobe", "-v",  "error",      "-show_entries",
                                         entries,   "-of", "compact=p=0"};
        if (!streams.empty()) args.insert(args.end(), {"-select_streams", streams});
        args.push_back(path(name));
        std::vector<std::string> lines;
        std::istringstream in(capture(args));
        for (std::string l; std::getline(in, l);)
            if (!l.empty()) lines.push_back(l);
        return lines;
    }
    // One value of a probe line "a=1|b=2".
    static std::string field(const std::string& line, const std::string& key)
    {
        const std::string tagged = "|" + line + "|";
        const size_t at = tagged.find("|" + key + "=");
        if (at == std::string::npos) return {};
        const size_t from = at + key.size() + 2;
        return tagged.substr(from, tagged.find('|', from) - from);
    }
};

inline const std::vector<std::string> kTone48k = {"-f", "lavfi", "-i",
                                                  "sine=frequency=440:sample_rate=48000:duration=2"};
inline const std::vector<std::string> kPicture = {"-f", "lavfi", "-i",
                                                  "testsrc=size=32x24:rate=25:duration=2"};

inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace StreamsTest

#endif
