// "linkprobe --run NAME", --help and --version as processes without an X display: the
// exact report on standard output and the exit code of each diagnostic, over fixture
// roots, a pseudo-terminal as a COM port, ALSA's file plugin and the responder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "../diag/diag_helpers.h"
#include "../diag/sound_helpers.h"

namespace {

using diagtest::Child;
using diagtest::run_program;
using diagtest::TempRoot;

const char* kLinkprobe = LP_BINARY_DIR "/app/linkprobe";
const char* kResponder = LP_BINARY_DIR "/diag/responder/linkprobe-responder";
const std::string kFixtures = std::string(LP_SOURCE_DIR) + "/tests/fixtures";

const std::string kRescanHead =
    "Version       : 5.2.1 test\n"
    "Cores=4,Procs=8,Speed=2100,Mem=16318480\nCPU=Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz\n"
    "******************************\nCOMM PORTS found";
const std::string kStars = "********************************\n";
const std::string kRescanNoPorts = kRescanHead + "(NONE)\n" + kStars;

const std::string kAmpIntro =
    "These tests are just to confirm something is there!  Actual 'testing' must be\n"
    "performed with the Amplifier/Encoder Test in Qumex->Tools\n";

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok() && cwd_.ok());
    std::string cmd = "cp -R '" + kFixtures + "/root/.' '" + root_.path() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // COM ports: only what a test links here
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    setenv("QUMEX_SYSROOT", (kFixtures + "/sysroot-usb2cpu").c_str(), 1);
    // Nothing of this command line may need a display: with none, any attempt fails.
    unsetenv("DISPLAY");
  }
  void devs(const std::string& text) {
    ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN", text));
  }
  int run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kLinkprobe};
    argv.insert(argv.end(), args.begin(), args.end());
    out_.clear();
    return run_program(argv, cwd_.path(), &out_);
  }
  TempRoot root_, cwd_;
  std::string out_;
};

TEST_F(Cli, HelpVersionAndWrongCommandLines) {
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(out_.rfind("usage: linkprobe", 0), 0u) << out_;
  for (const char* name : {"rescan", "game-comm", "game-sound", "amplifier", "local-sound"})
    EXPECT_NE(out_.find(std::string("  ") + name + " "), std::string::npos) << name;

  // The window title's text: the build values, then the executable's time as ctime writes it.
  struct stat st;
  ASSERT_EQ(stat(kLinkprobe, &st), 0);
  char when[64];
  ASSERT_NE(ctime_r(&st.st_mtime, when), nullptr);
  std::string want = std::string("Qumex Linkprobe PB=") + LP_EXPECTED_PRIVATE_BUILD;
  if (std::string(LP_EXPECTED_SPECIAL_BUILD).size())
    want += std::string("    SB=") + LP_EXPECTED_SPECIAL_BUILD;
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_EQ(out_, want + "  " + when);

  // Usage errors print nothing on standard output.
  const std::vector<std::vector<std::string>> wrong = {
      {"--run"}, {"--run", "bogus"}, {"--run", "rescan", "extra"}, {"--help", "x"}, {"--version", "x"},
      {"--run", "Rescan"}};
  for (const auto& args : wrong) {
    SCOPED_TRACE(args.back());
    EXPECT_EQ(run(args), 2);
    EXPECT_EQ(out_, "");
  }
}

TEST_F(Cli, StartupTestAnywhereWinsOverRun) {
  devs("Input_Source=TTUSB\n");
  setenv("QUMEX_SYSROOT", cwd_.path().c_str(), 1);  // no USB device at all
  EXPECT_EQ(run({"--run", "rescan", "STARTUPTEST"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(cwd_.read("ampstatus.txt"),
            "\nExamining TTUSB\nChecking other amplifiers\nUnhandled device : TTUSB\n\nDone\n");
}

TEST_F(Cli, RescanReportsVersionFiguresAndPorts) {
  EXPECT_EQ(run({"--run", "rescan"}), 0);
  EXPECT_EQ(out_, kRescanNoPorts);
}

TEST_F(Cli, AmplifierFoundAndNotFound) {
  devs("Input_Source=J202\n");
  EXPECT_EQ(run({"--run", "amplifier"}), 0);
  EXPECT_EQ(out_, kAmpIntro + "\nExamining J202\n\nDone\n");

  // No Wiz among the fixture's devices: its port check, then the others that are there.
  devs("Input_Source=Wiz\nProComp=COM4\n");
  EXPECT_EQ(run({"--run", "amplifier"}), 1);
  EXPECT_EQ(out_, kAmpIntro +
                      "\nExamining Wiz\nUnable to locate *-Wiz device\nCOM4 specified is not a valid com port\n"
                      "Checking other amplifiers\nJ&J amplifier found\nAtlantis/Discovery found\n"
                      "esiPro/A400/A200 found\nPCAN-USB Q20 device found\n\nDone\n");
  // Unlike STARTUPTEST, --run leaves no ampstatus.txt behind in the current folder.
  EXPECT_FALSE(cwd_.exists("ampstatus.txt"));
}

TEST_F(Cli, OneComputerIsNoPass) {
  // One computer: nothing to test, and that is no pass.
  devs("EthernetAddress=127.0.0.1\n");
  for (const char* name : {"game-comm", "game-sound"}) {
    EXPECT_EQ(run({"--run", name}), 1) << name;
    EXPECT_EQ(out_, kRescanNoPorts + "\n\nGame communications use internal localhost\n") << name;
  }
}

// The game link test accepts only port 5510: a network namespace of our own keeps it ours.
class CliGameLink : public Cli {
 protected:
  static void SetUpTestSuite() {
    if (!diagtest::private_network()) std::fprintf(stderr, "note: shared network namespace\n");
  }
  void SetUp() override {
    Cli::SetUp();
    devs("DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=127.0.0.1\n");
  }
  void start_responder() {
    ASSERT_TRUE(responder_.start({kResponder, "--port", "5510"}));
    ASSERT_TRUE(responder_.wait_for("listening on port 5510\n", 10000)) << responder_.output();
  }
  Child responder_;
};

TEST_F(CliGameLink, EchoAndSoundCommandAnswered) {
  start_responder();
  EXPECT_EQ(run({"--run", "game-comm"}), 0);
  EXPECT_EQ(out_, kRescanNoPorts + "Ethernet game communication seems to be working\n");
  EXPECT_TRUE(responder_.wait_for("type 224 command 4 length 8", 5000)) << responder_.output();

  EXPECT_EQ(run({"--run", "game-sound"}), 0);
  EXPECT_EQ(out_, kRescanNoPorts + "\nReward sound command sent");
  EXPECT_TRUE(responder_.wait_for("type 224 command 9 length 8", 5000)) << responder_.output();
}

TEST_F(CliGameLink, NoGameComputer) {
  for (const char* name : {"game-comm", "game-sound"}) {
    EXPECT_EQ(run({"--run", name}), 1) << name;
    EXPECT_EQ(out_, kRescanNoPorts + "FAILURE to connect to game machine\nIs the game menu really running?\n"
                                     "Was there an Windows firewall blockage?\n") << name;
  }
}

TEST_F(Cli, LocalSoundPlaysTheRewardFile) {
  // ALSA's default device is a file here, so the samples that reached it can be read.
  ASSERT_TRUE(diagtest::alsa_to_file(cwd_.path() + "/asound.conf", cwd_.path() + "/captured.raw"));
  ASSERT_TRUE(root_.write("Games/.keep", ""));
  const std::string wav = root_.path() + "/Games/reward.wav";
  const std::string samples = diagtest::write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 800);
  ASSERT_EQ(samples.size(), 1600u);

  EXPECT_EQ(run({"--run", "local-sound"}), 0);
  EXPECT_EQ(out_, "");  // the window reports nothing for this test either
  EXPECT_EQ(cwd_.read("captured.raw"), samples);

  // Not a sound file: the alert instead, and no pass.
  ASSERT_TRUE(root_.write("Games/reward.wav", "not a wave file\n"));
  EXPECT_EQ(run({"--run", "local-sound"}), 1);
  EXPECT_EQ(out_, "");

  // A device that cannot be opened.
  ASSERT_EQ(diagtest::write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 800), samples);
  ASSERT_TRUE(cwd_.write("asound.conf", "pcm.!default {\n type hw\n card 77\n}\n"));
  EXPECT_EQ(run({"--run", "local-sound"}), 1);
  unsetenv("ALSA_CONFIG_PATH");
}

}  // namespace
