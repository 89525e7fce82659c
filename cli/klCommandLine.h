/*
 * The command line of `watchcam`: one table of subcommands, one table of options (each row says which
 * subcommands take it), and the conversion of what was typed into the settings of a command. Option
 * values arrive as text; every value is checked here and a bad one is a UsageError naming the option.
 *
 * Exit status: 0 done, 1 failed, 2 usage error, 128 + signal when interrupted (130 for Ctrl-C).
 */
#ifndef KL_COMMAND_LINE_H
#define KL_COMMAND_LINE_H

#include "footage/klFootageError.h"
#include "render/klRenderJob.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Footage {

enum ExitStatus { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

enum Command : unsigned {
    CommandRender = 1u << 0,
    CommandControls = 1u << 1,
    CommandAbout = 1u << 2,
    CommandFarm = 1u << 3,
    CommandPreview = 1u << 4
};

struct CommandSpec {
    Command id;
    const char* name;
    const char* positionals;  // shown in the usage line
    const char* summary;  // one line in the list of commands
    const char* details;  // below the command's options in its help
};

struct OptionSpec {
    unsigned commands;  // the subcommands that take it
    const char* name;  // "--depth"
    const char* value;  // what the value looks like ("8|16|float"); nullptr for a switch
    const char* help;
    bool repeatable = false;  // may be given more than once; every value is kept, in order
};

const std::vector<CommandSpec>& commandTable();
const std::vector<OptionSpec>& optionTable();

// What the user typed for one subcommand.
struct ParsedArgs {
    Command command = CommandRender;
    std::vector<std::string> positionals;
    std::map<std::string, std::string> values;  // option name -> value text
    std::map<std::string, std::vector<std::string>> lists;  // repeatable option name -> values, in order
    std::set<std::string> switches;  // switches given
};

// The largest frame number: sequence file names hold at most nine digits.
inline constexpr int kMaxFrameNumber = 999999999;

// The value parsers, each naming `option` in its error.
Depth parseDepth(const std::string& option, const std::string& text);
std::pair<int, int> parseFrameRange(const std::string& option, const std::string& text);  // "A-B" or "A"
std::pair<int, int> parseSize(const std::string& option, const std::string& text);  // "WxH"
FrameRate parseFrameRate(const std::string& option, const std::string& text);  // "25", "29.97", "30000/1001"
double parseScale(const std::string& option, const std::string& text);  // 0 < s <= 1
int64_t parseBitrate(const std::string& option, const std::string& text);  // "8M", "2500k", "900000"
int parseCount(const std::string& option, const std::string& text, int low, int high);
uint64_t parseMemorySize(const std::string& option, const std::string& text);  // "512M", "4G", "1.5G"
bool parseChoice(const std::string& option, const std::string& text, const char* yes, const char* no);

RenderOptions renderOptionsFrom(const ParsedArgs& args);

}  // namespace Kiln::Footage

#endif
