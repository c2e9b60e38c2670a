// "linkprobe --run NAME", --help and --version as processes without an X display: the
// exact report on standard output and the exit code of each diagnostic, over fixture
// roots, ALSA's file plugin and the responder; the progress line on a terminal only.
#include <gtest/gtest.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

const char* kLinkprobe = LP_BINARY_DIR "/app/linkprobe";
const char* kResponder = LP_BINARY_DIR "/diag/responder/linkprobe-responder";
const char* kNoGame = "FAILURE to connect to game machine\nIs the game menu really running?\n"
                      "Was there an Windows firewall blockage?\n";

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The game link test accepts only port 5510: a network namespace of our own keeps it ours.
    if (!private_network()) std::fprintf(stderr, "note: shared network namespace\n");
  }
  void SetUp() override {
    root_.as_root();
    root_.copy_from("root");
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // COM ports: none
    setenv("QUMEX_SYSROOT", LP_SOURCE_DIR "/tests/fixtures/sysroot-usb2cpu", 1);
    unsetenv("DISPLAY");  // nothing of this command line may need a display
  }
  int run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kLinkprobe};
    argv.insert(argv.end(), args.begin(), args.end());
    out_.clear();
    return run_program(argv, cwd_.path(), &out_);
  }
  TempRoot cwd_, root_;
  std::string out_;
};

TEST_F(Cli, HelpVersionAndWrongCommandLines) {
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(out_.rfind("usage: linkprobe", 0), 0u) << out_;
  for (const char* name : {"rescan", "game-comm", "game-sound", "amplifier", "local-sound"})
    EXPECT_NE(out_.find(std::string("  ") + name + " "), std::string::npos) << name;
  // The window title's text: the build values, then the executable's time as ctime writes it.
  struct stat st;
  char when[64];
  ASSERT_EQ(stat(kLinkprobe, &st), 0);
  ASSERT_NE(ctime_r(&st.st_mtime, when), nullptr);
  std::string want = std::string("Qumex Linkprobe PB=") + LP_EXPECTED_PRIVATE_BUILD;
  if (std::string(LP_EXPECTED_SPECIAL_BUILD).size()) want += std::string("    SB=") + LP_EXPECTED_SPECIAL_BUILD;
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_EQ(out_, want + "  " + when);
  // Usage errors print nothing on standard output.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--run"}, {"--run", "bogus"}, {"--run", "rescan", "extra"}, {"--help", "x"}, {"--version", "x"},
           {"--run", "Rescan"}}) {
    EXPECT_EQ(run(args), 2) << args.back();
    EXPECT_EQ(out_, "") << args.back();
  }
}

TEST_F(Cli, RescanAmplifierAndStartupTest) {
  EXPECT_EQ(run({"--run", "rescan"}), 0);
  EXPECT_TRUE(golden_match("rescan_no_ports.txt", out_));
  ASSERT_TRUE(root_.devs("Input_Source=J202\n"));
  EXPECT_EQ(run({"--run", "amplifier"}), 0);
  EXPECT_EQ(out_.substr(out_.find("\nExamining")), "\nExamining J202\n\nDone\n");
  // No Wiz among the fixture's devices: its port check, then the others that are there.
  ASSERT_TRUE(root_.devs("Input_Source=Wiz\nProComp=COM4\n"));
  EXPECT_EQ(run({"--run", "amplifier"}), 1);
  EXPECT_TRUE(golden_match("amplifier_wiz_missing.txt", out_));
  EXPECT_FALSE(cwd_.exists("ampstatus.txt"));  // unlike STARTUPTEST
  // STARTUPTEST anywhere wins over --run.
  ASSERT_TRUE(root_.devs("Input_Source=TTUSB\n"));
  cwd_.as_sysroot();  // no USB device at all
  EXPECT_EQ(run({"--run", "rescan", "STARTUPTEST"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(cwd_.read("ampstatus.txt"), "\nExamining TTUSB\nChecking other amplifiers\nUnhandled device : TTUSB\n\nDone\n");
}

TEST_F(Cli, GameLink) {
  // One computer: nothing to test, and that is no pass.
  ASSERT_TRUE(root_.devs("EthernetAddress=127.0.0.1\n"));
  std::string rescan = (run({"--run", "rescan"}), out_);
  for (const char* name : {"game-comm", "game-sound"}) {
    EXPECT_EQ(run({"--run", name}), 1) << name;
    EXPECT_EQ(out_, rescan + "\n\nGame communications use internal localhost\n") << name;
  }
  ASSERT_TRUE(root_.devs("DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=127.0.0.1\n"));
  for (const char* name : {"game-comm", "game-sound"}) {
    EXPECT_EQ(run({"--run", name}), 1) << name;
    EXPECT_EQ(out_, rescan + kNoGame) << name;
  }
  Child responder;
  ASSERT_TRUE(responder.start({kResponder, "--port", "5510"}));
  ASSERT_NE(responder.wait_for("listening on port 5510\n", 0, 10000), std::string::npos) << responder.output();
  EXPECT_EQ(run({"--run", "game-comm"}), 0);
  EXPECT_EQ(out_, rescan + "Ethernet game communication seems to be working\n");
  EXPECT_NE(responder.wait_for("type 224 command 4 length 8", 0, 5000), std::string::npos) << responder.output();
  EXPECT_EQ(run({"--run", "game-sound"}), 0);
  EXPECT_EQ(out_, rescan + "\nReward sound command sent");
  EXPECT_NE(responder.wait_for("type 224 command 9 length 8", 0, 5000), std::string::npos) << responder.output();
}

TEST_F(Cli, LocalSoundPlaysTheRewardFile) {
  // ALSA's default device is a file here, so the samples that reached it can be read.
  ASSERT_TRUE(alsa_to_file(cwd_.path() + "/asound.conf", cwd_.path() + "/captured.raw"));
  root_.mkdir("Games");
  const std::string wav = root_.path() + "/Games/reward.wav";
  const std::string samples = write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 800);
  ASSERT_EQ(samples.size(), 1600u);
  EXPECT_EQ(run({"--run", "local-sound"}), 0);
  EXPECT_EQ(out_, "");  // the window reports nothing for this test either
  EXPECT_EQ(cwd_.read("captured.raw"), samples);
  ASSERT_TRUE(root_.write("Games/reward.wav", "not a wave file\n"));  // the alert, no pass
  EXPECT_EQ(run({"--run", "local-sound"}), 1);
  EXPECT_EQ(out_, "");
  ASSERT_EQ(write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 800), samples);
  ASSERT_TRUE(cwd_.write("asound.conf", "pcm.!default {\n type hw\n card 77\n}\n"));  // no such device
  EXPECT_EQ(run({"--run", "local-sound"}), 1);
  unsetenv("ALSA_CONFIG_PATH");
}

// A progress line goes to standard error only when that is a terminal; standard output
// is the exact report either way.
TEST_F(Cli, ProgressOnlyOnATerminal) {
  Child piped;
  ASSERT_TRUE(piped.start({"sh", "-c", std::string(kLinkprobe) + " --run rescan 2>&1"}));
  EXPECT_EQ(piped.finish(), 0);
  EXPECT_TRUE(golden_match("rescan_no_ports.txt", piped.output()));
  Pty tty;
  ASSERT_FALSE(tty.name.empty());
  Child on_tty;
  ASSERT_TRUE(on_tty.start({"sh", "-c", std::string(kLinkprobe) + " --run rescan 2>" + tty.name}));
  EXPECT_EQ(on_tty.finish(), 0);
  EXPECT_EQ(on_tty.output(), piped.output());
  char buf[512];
  pollfd p{tty.master, POLLIN, 0};
  ssize_t n = poll(&p, 1, 0) > 0 ? read(tty.master, buf, sizeof buf) : 0;
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "linkprobe: running rescan, please wait...\r\n");
}

}  // namespace
