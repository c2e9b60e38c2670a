// Local playback through ALSA's file plugin: the test's own ALSA configuration makes
// "default" a file PCM over the null device, so the samples that reach the device can
// be read back and compared with the WAVE data.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diag/sound.h"
#include "platform/sound.h"

namespace {

int g_alerts = 0;
void count_alert() { ++g_alerts; }

std::vector<unsigned char> read_file(const std::string& path) {
  std::vector<unsigned char> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  unsigned char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

// Writes a WAVE file of the given format with a recognisable sample pattern.
void write_wav(const std::string& path, int format, int channels, int rate, int frames) {
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = format;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
  std::vector<short> s(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 7919) % 60000 - 30000);
  ASSERT_EQ(sf_writef_short(sf, s.data(), frames), frames);
  sf_close(sf);
}

// The samples the player is expected to send: the file decoded to 16-bit, little-endian.
std::vector<unsigned char> expected_bytes(const std::string& path) {
  SF_INFO info{};
  SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<unsigned char> out;
  if (!sf) return out;
  std::vector<short> s(static_cast<size_t>(info.frames) * info.channels);
  sf_count_t got = sf_readf_short(sf, s.data(), info.frames);
  sf_close(sf);
  for (sf_count_t i = 0; i < got * info.channels; ++i) {
    unsigned short v = static_cast<unsigned short>(s[static_cast<size_t>(i)]);
    out.push_back(static_cast<unsigned char>(v & 0xff));
    out.push_back(static_cast<unsigned char>(v >> 8));
  }
  return out;
}

class LocalSound : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/lp_sound_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(mkdir((dir_ + "/Games").c_str(), 0755), 0);
    capture_ = dir_ + "/captured.raw";
    std::string conf = dir_ + "/asound.conf";
    FILE* f = std::fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "pcm.!default {\n type file\n slave { pcm { type null } }\n"
                 " file \"%s\"\n format \"raw\"\n}\n",
                 capture_.c_str());
    std::fclose(f);
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    setenv("QUMEX_ROOT", dir_.c_str(), 1);
    g_alerts = 0;
    plat_sound_set_alert(count_alert);
  }
  void TearDown() override {
    plat_sound_set_alert(nullptr);
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
  }
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
    write_wav(wav, c.format, c.channels, c.rate, c.frames);
    std::vector<unsigned char> want = expected_bytes(wav);
    ASSERT_EQ(want.size(), static_cast<size_t>(c.frames) * c.channels * 2);
    local_sound_test();
    EXPECT_EQ(read_file(capture_), want);
    EXPECT_EQ(g_alerts, 0);
  }
}

TEST_F(LocalSound, MissingOrBrokenFileGivesTheAlertAndNoSamples) {
  local_sound_test();  // no reward.wav at all
  EXPECT_EQ(g_alerts, 1);
  EXPECT_TRUE(read_file(capture_).empty());

  std::string wav = dir_ + "/Games/reward.wav";
  FILE* f = std::fopen(wav.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("RIFF not really a wave file", f);
  std::fclose(f);
  EXPECT_EQ(plat_play_wav(wav.c_str()), 1);
  EXPECT_EQ(g_alerts, 2);
  EXPECT_TRUE(read_file(capture_).empty());

  EXPECT_EQ(plat_play_wav(nullptr), 1);
  EXPECT_EQ(g_alerts, 3);
}

TEST_F(LocalSound, DeviceRefusalIsReportedWithoutAlert) {
  std::string wav = dir_ + "/Games/reward.wav";
  write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 100);
  // A default device that does not exist: the file is good, the device is not.
  std::string conf = dir_ + "/asound.conf";
  FILE* f = std::fopen(conf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("pcm.!default { type hw card 97 }\n", f);
  std::fclose(f);
  EXPECT_EQ(plat_play_wav(wav.c_str()), 2);
  EXPECT_EQ(g_alerts, 0);
}

}  // namespace
