// The renderer at its edges: numbers that would overflow, names that would garble, outputs that are not
// plain files, other renders writing the same output, signals, huge frames and huge presets. Each case
// runs the watchcam program on files made here and expects one plain line and nothing left behind.
#include "tests/cli/cliTestSupport.h"

using OIIO::TypeDesc;

namespace {

class WatchcamEdges : public CliTest::WatchcamTest {
protected:
  void SetUp() override {
    WatchcamTest::SetUp();
    CliTest::writePicture(path("in.png"), 8, 8, 3, std::vector<uint8_t>(192, 40), TypeDesc::UINT8);
  }
};

}  // namespace

TEST_F(WatchcamEdges, NumbersAndNamesGetPlainMessages) {
  struct Case {
    std::vector<std::string> args;  // after "render"; "@" stands for the scratch directory
    std::map<std::string, std::string> env;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"@/in.png", "@/o.%02d.png", "--frames", "0-2147483647"}, {}, 2,
       "--frames 0-2147483647: frame numbers go up to 999999999"},
      {{"@/in.png", "@/o.%09d.png", "--frames", "5-999999999"}, {}, 1,
       "--frames 5-999999999: at 25 fps the host's clock reaches frame 21474835 at most"},
      {{"@/in.png", "@/o.%02d.png", "--fps", "0.0001"}, {}, 2, "--fps 0.0001: expected a frame rate from 0.001"},
      {{"@/in.png", "@/o.%04d.png", "--fps", "1/1000000", "--frames", "0-3000"}, {}, 1,
       "--frames 0-3000: at 1/1000000 fps the host's clock reaches frame 2146 at most"},
      {{"@/in.png", "@/.png"}, {}, 1, ".png: no file name before the extension"},
      {{"@/in.png", "@/o.%02d.png", "--frames", "0-3"}, {{"PASSTHROUGH_FAIL_FRAME", "2"}}, 1,
       "in.png: frame 2: the effect refused the frame: not enough memory for this frame"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render"};
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? dir_ + a.substr(1) : a);
    SCOPED_TRACE(args[1] + " " + args[2]);
    const auto r = run(args, c.env);
    expectOneLineFailure(r, c.status, c.message);
    EXPECT_EQ(r.err.find("Kiln::"), std::string::npos) << r.err;
    EXPECT_EQ(listing(), std::vector<std::string>{"in.png"});
  }
}
