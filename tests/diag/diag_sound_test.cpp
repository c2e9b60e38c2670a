// Local playback through ALSA's file plugin: the test's own ALSA configuration makes
// "default" a file PCM over the null device, so the samples that reach the device can
// be read back and compared with the WAVE data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "diag/sound.h"
#include "diag_helpers.h"
#include "platform/sound.h"
#include "sound_helpers.h"

namespace {

int g_alerts = 0;
void count_alert() { ++g_alerts; }

class LocalSound : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    dir_ = root_.path();
    setenv("QUMEX_ROOT", dir_.c_str(), 1);
    capture_ = dir_ + "/captured.raw";
    ASSERT_TRUE(root_.write("Games/.keep", ""));
    ASSERT_TRUE(diagtest::alsa_to_file(dir_ + "/asound.conf", capture_));
    g_alerts = 0;
    plat_sound_set_alert(count_alert);
  }
  void TearDown() override { plat_sound_set_alert(nullptr); }
  std::string captured() const { return root_.read("captured.raw"); }
  diagtest::TempRoot root_;
  std::string dir_, capture_;
};

TEST_F(LocalSound, RewardSoundReachesTheDeviceSampleForSample) {
  struct Case {
    int format, channels, rate, frames;
  } cases[] = {
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, 3001},  // not a multiple of the chunk size
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 22050, 700},
      {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 11025, 2500},  // decoded to 16 bits on the way
  };
  std::string wav = dir_ + "/Games/reward.wav";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channels * 100000 + c.rate);
    unlink(capture_.c_str());
    std::string want = diagtest::write_wav(wav, c.format, c.channels, c.rate, c.frames);
    ASSERT_EQ(want.size(), static_cast<size_t>(c.frames) * c.channels * 2);
    local_sound_test();
    EXPECT_EQ(captured(), want);
    EXPECT_EQ(g_alerts, 0);
  }
}

TEST_F(LocalSound, MissingOrBrokenFileGivesTheAlertAndNoSamples) {
  local_sound_test();  // no reward.wav at all
  EXPECT_EQ(g_alerts, 1);
  EXPECT_TRUE(captured().empty());

  ASSERT_TRUE(root_.write("Games/reward.wav", "RIFF not really a wave file"));
  std::string wav = dir_ + "/Games/reward.wav";
  EXPECT_EQ(plat_play_wav(wav.c_str()), 1);
  EXPECT_EQ(g_alerts, 2);
  EXPECT_TRUE(captured().empty());

  EXPECT_EQ(plat_play_wav(nullptr), 1);
  EXPECT_EQ(g_alerts, 3);
}

TEST_F(LocalSound, DeviceRefusalIsReportedWithoutAlert) {
  std::string wav = dir_ + "/Games/reward.wav";
  ASSERT_EQ(diagtest::write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100).size(), 200u);
  // A default device that does not exist: the file is good, the device is not.
  ASSERT_TRUE(root_.write("asound.conf", "pcm.!default { type hw card 97 }\n"));
  EXPECT_EQ(plat_play_wav(wav.c_str()), 2);
  EXPECT_EQ(g_alerts, 0);
}

}  // namespace
