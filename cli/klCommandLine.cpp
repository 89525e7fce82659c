#include "cli/klCommandLine.h"

#include "cli/klFarmCommand.h"
#include "cli/klPreviewCommand.h"
#include "footage/klCompression.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace Kiln::Footage {

const std::vector<CommandSpec>& commandTable()
{
    static const std::vector<CommandSpec> table = {
        {CommandRender, "render", "INPUT OUTPUT", "Render INPUT through the effect into OUTPUT",
         "INPUT and OUTPUT are each a still (png, tif, tiff, exr, dpx, jpg, jpeg), an image sequence\n"
         "(shot.%04d.exr or shot.####.exr; an input sequence is the frames found on disk) or a video\n"
         "(mp4: H.264 8-bit; mov: ProRes 4444; mkv, nut: FFV1, lossless, 16-bit above 8-bit renders;\n"
         "webm: VP9 with Opus; --codec chooses another). An input video is read by its content (ts, m2ts,\n"
         "mts, avi, ...). A video output keeps the input's audio, subtitles, timing, pixel aspect and tags.\n"
         "- is standard input or output (with --format); FIFOs work too.\n"
         "OUTPUT is written under a temporary name and appears only when complete."},
        {CommandControls, "controls", "", "List the effect's controls",
         "Lists number, label, script name, type, default, slider and valid range, a description and\n"
         "the choices of every control, in the units the user sees (percent sliders also take 30%). --set "
         "and --preset take values in those units;\n"
         "with --write-preset the values are written as a preset file instead of the list."},
        {CommandAbout, "about", "", "Show the effect's About box",
         "Opens the About box in a window on the display ($DISPLAY); with --png FILE draws the same\n"
         "box into a PNG picture instead, without a display."},
        farmCommandSpec(),
        previewCommandSpec(),
    };
    return table;
}

const std::vector<OptionSpec>& optionTable()
{
    static const std::vector<OptionSpec> table = withPreviewOptions(withFarmOptions({
        {CommandRender, "--demo", nullptr,
         "Render the built-in demo clip instead of INPUT (give OUTPUT only)"},
        {CommandRender, "--demo-size", "WxH", "Size of the demo clip (default 1280x720)"},
        {CommandRender, "--demo-frames", "N", "Length of the demo clip in frames (default 75)"},
        {CommandRender, "--depth", "8|16|float", "Bits per channel to render at (default: the input's)"},
        {CommandRender, "--frames", "A-B", "Render frames A to B, numbered as in the input (default: all)"},
        {CommandRender, "--time-origin", "N",
         "Time a video OUTPUT as a render starting at frame N would (default: the first rendered frame);\n"
         "the farm gives it to chunks so that joined they carry a single render's times"},
        {CommandRender, "--stale-before", "SECONDS",
         "Temporary files of a sequence's other frames count as left by ended renders only when older than\n"
         "this time (seconds since 1970; default: the render's start); the farm gives its submission's"},
        {CommandRender, "--fps", "F",
         "Frame rate of a still or sequence input (default 25; videos keep theirs)"},
        {CommandRender, "--scale", "S", "Render scale above 0 and at most 1; scales the output (default 1)"},
        {CommandRender, "--quality", "low|high", "Render quality (default high)"},
        {CommandRender, "--threads", "N",
         "Processors the effect may use (sets KILN_MAX_PROCESSORS); the decoder and\n"
         "encoder keep to N threads too"},
        {CommandRender, "--render-path", "smart|legacy", "How the host calls the effect (default smart)"},
        {CommandRender, "--quiet", nullptr, "No progress bar and no summary line at the end"},
        {CommandRender, "--max-memory", "SIZE",
         "Memory the whole render may take, such as 8G (default: what the machine has available): a render\n"
         "estimated to need more is refused before the first frame, and one that holds more stops"},
        {CommandRender, "--no-audio", nullptr,
         "Leave the input's audio out of a video OUTPUT (default: carried)"},
        {CommandRender, "--codec", "NAME",
         "Video codec of OUTPUT: h264 or hevc (mp4, mov, mkv); prores-proxy, prores-lt, prores, prores-hq,\n"
         "prores-4444, prores-4444xq (mov, mkv); ffv1 (mkv); vp9 (webm, mkv). Default: h264 (mp4),\n"
         "prores-4444 (mov), ffv1 (mkv), vp9 (webm)"},
        {CommandRender, "--crf", "N",
         "Constant quality of h264/hevc/vp9, 0 (lossless) to 51, lower is better (default 18/20/31)"},
        {CommandRender, "--bitrate", "RATE",
         "Average bitrate of h264/hevc/vp9 instead of constant quality: 8M, 2500k"},
        {CommandRender, "--pixel-format", "FMT",
         "Pixel format (bit depth, chroma) of OUTPUT as FFmpeg names it: yuv422p10le, yuv444p, ..."},
        {CommandRender, "--compression", "NAME",
         "Compression of picture-file OUTPUTs. EXR: zip (default), none, rle, zips, piz (lossless);\n"
         "pxr24, b44, b44a, dwaa, dwab (lossy). TIFF: zip (default), none, lzw, packbits. PNG: zip\n"
         "(default, deflate level 6), none (level 0). Other outputs take none"},
        {CommandRender, "--format", "NAME",
         "Container of OUTPUT when it is - (standard output) or a FIFO: mp4, mov, mkv (matroska), nut or "
         "webm.\n"
         "INPUT may be - (standard input) or a FIFO too; its container is recognised"},
        {CommandAbout, "--png", "FILE", "Draw the About box into FILE (a PNG picture) instead of a window"},
        {CommandAbout | CommandRender | CommandControls, "--overwrite", nullptr,
         "Replace OUTPUT (or the --png or --write-preset FILE) if it is there and a regular file"},
        {CommandRender | CommandControls, "--preset", "FILE",
         "Control values from a preset file (a paramset document; see controls --write-preset)"},
        {CommandRender | CommandControls, "--set", "NAME=VALUE",
         "Set a control in the units it shows: contrast=30, \"TV Type=Tint\", tintColour=#ff8000,\n"
         "\"Lens Effect=off\"; FRAME:VALUE,... animates it (playSpeed=0:100,48:0). Repeatable;\n"
         "overrides --preset",
         true},
        {CommandControls, "--write-preset", "FILE",
         "Write the control values (defaults, or after --preset and --set) as a preset file; - for stdout.\n"
         "An existing FILE is replaced only with --overwrite"},
        {CommandRender | CommandControls | CommandAbout, "--module", "PATH",
         "The effect module (default: $WATCHCAM_MODULE, else the one beside watchcam)"},
    }));
    return table;
}

namespace {

[[noreturn]] void bad(const std::string& option, const std::string& text, const std::string& expected)
{
    throw UsageError(option + " " + text + ": " + expected);
}

bool toInt(const std::string& text, int& value)
{
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

bool toDouble(const std::string& text, double& value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

const std::string* find(const ParsedArgs& args, const char* name)
{
    const auto it = args.values.find(name);
    return it == args.values.end() ? nullptr : &it->second;
}

}  // namespace

Depth parseDepth(const std::string& option, const std::string& text)
{
    if (text == "8") return Depth::Eight;
    if (text == "16") return Depth::Sixteen;
    if (text == "float") return Depth::Float;
    bad(option, text, "expected 8, 16 or float");
}

std::pair<int, int> parseFrameRange(const std::string& option, const std::string& text)
{
    const size_t dash = text.find('-', 1);
    int a = 0, b = 0;
    if (dash == std::string::npos) {
        if (!toInt(text, a)) bad(option, text, "expected a frame range A-B or one frame number");
        b = a;
    } else if (!toInt(text.substr(0, dash), a) || !toInt(text.substr(dash + 1), b)) {
        bad(option, text, "expected a frame range A-B or one frame number");
    }
    if (a < 0 || b < 0) bad(option, text, "frame numbers are never negative");
    if (a > kMaxFrameNumber || b > kMaxFrameNumber)
        bad(option, text, "frame numbers go up to " + std::to_string(kMaxFrameNumber));
    if (a > b) bad(option, text, "the first frame comes after the last");
    return {a, b};
}

std::pair<int, int> parseSize(const std::string& option, const std::string& text)
{
    const size_t x = text.find('x');
    int w = 0, h = 0;
    if (x == std::string::npos || !toInt(text.substr(0, x), w) || !toInt(text.substr(x + 1), h))
        bad(option, text, "expected WIDTHxHEIGHT such as 1280x720");
    if (w < 16 || h < 16 || w > 16384 || h > 16384) bad(option, text, "each side must be 16 to 16384 pixels");
    return {w, h};
}

FrameRate parseFrameRate(const std::string& option, const std::string& text)
{
    // A decimal rate is kept to 1/1000 of a frame, so 0.001 is the slowest it can say; a fraction says more.
    const char* expected = "expected a frame rate from 0.001 to 1000, such as 25, 29.97 or 30000/1001";
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        int num = 0, den = 0;
        if (!toInt(text.substr(0, slash), num) || !toInt(text.substr(slash + 1), den) || num <= 0 ||
            den <= 0 || double(num) / den > 1000 || num > 1000000 || den > 1000000)
            bad(option, text, expected);
        return FrameRate{num, den};
    }
    double fps = 0;
    if (!toDouble(text, fps) || fps < 0.001 || fps > 1000) bad(option, text, expected);
    return FrameRate::fromDouble(fps);
}

int64_t parseBitrate(const std::string& option, const std::string& text)
{
    double v = 0;
    std::string number = text;
    double unit = 1;
    if (!number.empty() && (number.back() == 'k' || number.back() == 'K'))
        unit = 1e3;
    else if (!number.empty() && (number.back() == 'm' || number.back() == 'M'))
        unit = 1e6;
    if (unit != 1) number.pop_back();
    if (!toDouble(number, v) || v * unit < 1000 || v * unit > 4e9)
        bad(option, text, "expected bits per second from 1k to 4000M, such as 8M or 2500k");
    return int64_t(std::llround(v * unit));
}

double parseScale(const std::string& option, const std::string& text)
{
    double s = 0;
    if (!toDouble(text, s) || !(s > 0) || s > 1)
        bad(option, text, "expected a scale above 0 and at most 1, such as 0.5");
    return s;
}

uint64_t parseMemorySize(const std::string& option, const std::string& text)
{
    std::string number = text;
    double unit = 1;
    if (!number.empty() && (number.back() == 'B' || number.back() == 'b')) number.pop_back();
    if (!number.empty()) {
        const char u = char(std::toupper(static_cast<unsigned char>(number.back())));
        const char* units = "KMGT";
        if (const char* at = std::strchr(units, u); at && u != '\0') {
            unit = std::ldexp(1.0, 10 * int(at - units + 1));
            number.pop_back();
        }
    }
    double v = 0;
    if (!toDouble(number, v) || v * unit < 1 || v * unit > 0x1p60)
        bad(option, text, "expected a size such as 512M or 4G (K, M, G and T count 1024s)");
    return uint64_t(v * unit);
}

int parseCount(const std::string& option, const std::string& text, int low, int high)
{
    int n = 0;
    if (!toInt(text, n) || n < low || n > high)
        bad(option, text,
            "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return n;
}

bool parseChoice(const std::string& option, const std::string& text, const char* yes, const char* no)
{
    if (text == yes) return true;
    if (text == no) return false;
    bad(option, text, std::string("expected ") + yes + " or " + no);
}

RenderOptions renderOptionsFrom(const ParsedArgs& args)
{
    RenderOptions o;
    o.demo = args.switches.count("--demo") != 0;
    const size_t wanted = o.demo ? 1 : 2;
    if (args.positionals.size() != wanted)
        throw UsageError(o.demo ? "render --demo takes one file name, OUTPUT"
                                : "render takes two file names, INPUT and OUTPUT (or --demo and OUTPUT)");
    if (!o.demo) o.input = args.positionals[0];
    o.output = args.positionals.back();

    if (const std::string* v = find(args, "--demo-size")) {
        if (!o.demo) throw UsageError("--demo-size goes with --demo");
        std::tie(o.demoWidth, o.demoHeight) = parseSize("--demo-size", *v);
    }
    if (const std::string* v = find(args, "--demo-frames")) {
        if (!o.demo) throw UsageError("--demo-frames goes with --demo");
        o.demoFrames = parseCount("--demo-frames", *v, 1, 100000);
    }
    if (const std::string* v = find(args, "--depth")) o.depth = parseDepth("--depth", *v);
    if (const std::string* v = find(args, "--frames")) o.frames = parseFrameRange("--frames", *v);
    if (const std::string* v = find(args, "--stale-before")) {
        int64_t seconds = 0;
        const auto [ptr, ec] = std::from_chars(v->data(), v->data() + v->size(), seconds);
        if (v->empty() || ec != std::errc() || ptr != v->data() + v->size() || seconds < 0)
            bad("--stale-before", *v, "expected seconds since 1970");
        o.staleBefore = seconds;
    }
    if (const std::string* v = find(args, "--time-origin"))
        o.timeOrigin = parseCount("--time-origin", *v, 0, kMaxFrameNumber);
    if (const std::string* v = find(args, "--fps")) o.rate = parseFrameRate("--fps", *v);
    if (const std::string* v = find(args, "--scale")) o.scale = parseScale("--scale", *v);
    if (const std::string* v = find(args, "--quality"))
        o.highQuality = parseChoice("--quality", *v, "high", "low");
    if (const std::string* v = find(args, "--threads")) o.threads = parseCount("--threads", *v, 1, 1024);
    if (const std::string* v = find(args, "--render-path"))
        o.smartPath = parseChoice("--render-path", *v, "smart", "legacy");
    if (const std::string* v = find(args, "--module")) o.modulePath = *v;
    if (const std::string* v = find(args, "--max-memory")) o.maxMemory = parseMemorySize("--max-memory", *v);
    o.audio = args.switches.count("--no-audio") == 0;
    if (const std::string* v = find(args, "--codec")) o.encoder.codec = *v;
    if (const std::string* v = find(args, "--crf")) o.encoder.crf = parseCount("--crf", *v, 0, 51);
    if (const std::string* v = find(args, "--bitrate")) o.encoder.bitrate = parseBitrate("--bitrate", *v);
    if (const std::string* v = find(args, "--pixel-format")) o.encoder.pixelFormat = *v;
    if (const std::string* v = find(args, "--format")) {
        if (*v != "mp4" && *v != "mov" && *v != "mkv" && *v != "matroska" && *v != "nut" && *v != "webm")
            bad("--format", *v, "expected mp4, mov, mkv (or matroska), nut or webm");
        o.format = *v;
    }
    if (o.output == "-" && o.format.empty())
        throw UsageError("writing to - (standard output) needs --format: mp4, mov, mkv, nut or webm");
    if (o.encoder.crf >= 0 && o.encoder.bitrate > 0)
        throw UsageError("--crf and --bitrate exclude each other");
    if (const std::string* v = find(args, "--compression")) {
        // Refused here, before any footage is opened, when the output's name already says its format.
        std::string ext = o.output == "-" ? o.format : o.output.substr(o.output.find_last_of("/") + 1);
        ext = ext.find('.') == std::string::npos && o.output != "-" ? ""
                                                                    : ext.substr(ext.find_last_of('.') + 1);
        for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (const std::string why = compressionRefusal(ext, *v); !why.empty()) throw UsageError(why);
        o.compression = *v;
    }
    o.overwrite = args.switches.count("--overwrite") != 0;
    return o;
}

}  // namespace Kiln::Footage
