// Local playback through ALSA's file plugin: the test's own ALSA configuration makes
// "default" a file PCM over the null device, so the samples that reach the device can
// be read back and compared with the WAVE data.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <string>

#include "diag/sound.h"
#include "platform/sound.h"
#include "tests/support/temp_root.h"

namespace {

int g_alerts = 0;
void count_alert() { ++g_alerts; }

TEST(LocalSound, SamplesReachTheDeviceAndFailuresAreTold) {
  TempRoot root;
  const std::string wav = root.path() + "/Games/reward.wav";
  root.mkdir("Games");
  ASSERT_TRUE(alsa_to_file(root.path() + "/asound.conf", root.path() + "/captured.raw"));
  plat_sound_set_alert(count_alert);
  local_sound_test();  // no reward.wav at all: the alert, no samples
  EXPECT_EQ(g_alerts, 1);
  EXPECT_EQ(root.read("captured.raw"), "");
  const struct { int format, channels, rate, frames; } cases[] = {
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, 3001},  // not a multiple of the chunk size
      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 22050, 700},
      {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 11025, 2500}};  // decoded to 16 bits on the way
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channels * 100000 + c.rate);
    root.remove("captured.raw");
    std::string want = write_wav(wav, c.format, c.channels, c.rate, c.frames);
    ASSERT_EQ(want.size(), static_cast<size_t>(c.frames) * c.channels * 2);
    local_sound_test();
    EXPECT_EQ(root.read("captured.raw"), want);
  }
  EXPECT_EQ(g_alerts, 1);
  // A default device that does not exist: the file is good, the device is not; no alert.
  ASSERT_TRUE(root.write("asound.conf", "pcm.!default { type hw card 97 }\n"));
  EXPECT_EQ(plat_play_wav(wav.c_str()), 2);
  EXPECT_EQ(g_alerts, 1);
  ASSERT_TRUE(root.write("Games/reward.wav", "RIFF not really a wave file"));
  EXPECT_EQ(plat_play_wav(wav.c_str()), 1);
  EXPECT_EQ(plat_play_wav(nullptr), 1);
  EXPECT_EQ(g_alerts, 3);
  plat_sound_set_alert(nullptr);
}

}  // namespace
