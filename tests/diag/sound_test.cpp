// Local playback failures: the alert sounds when the file cannot be played, not when the
// device fails. The samples themselves are checked through "linkprobe --run local-sound".
#include <gtest/gtest.h>
#include <sndfile.h>

#include "diag/sound.h"
#include "platform/sound.h"
#include "tests/support/temp_root.h"

namespace {

int g_alerts = 0;
void count_alert() { ++g_alerts; }

TEST(LocalSound, AlertOnlyWhenTheFileFails) {
  TempRoot root;
  const std::string wav = root.path() + "/Games/reward.wav";
  ASSERT_TRUE(alsa_to_file(root.path() + "/asound.conf", root.path() + "/captured.raw"));
  plat_sound_set_alert(count_alert);
  local_sound_test();  // no reward.wav at all: the alert, no samples
  EXPECT_EQ(g_alerts, 1);
  EXPECT_EQ(root.read("captured.raw"), "");
  root.mkdir("Games");
  const std::string want = write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 300);
  local_sound_test();
  EXPECT_EQ(root.read("captured.raw"), want);
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
