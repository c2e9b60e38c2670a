#include "platform/sound.h"

#include <alsa/asoundlib.h>
#include <sndfile.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<plat_alert_fn> g_alert{nullptr};

void play_alert() {
  plat_alert_fn fn = g_alert.load();
  if (fn) fn();
}

constexpr int kChunkFrames = 1024;
constexpr int kMaxChannels = 8;

// Writes all frames of the file to the device; 0 or 2.
int pump(SNDFILE* sf, snd_pcm_t* pcm, int channels) {
  short buf[kChunkFrames * kMaxChannels];
  for (;;) {
    sf_count_t got = sf_readf_short(sf, buf, kChunkFrames);
    if (got <= 0) return 0;
    sf_count_t done = 0;
    while (done < got) {
      snd_pcm_sframes_t w =
          snd_pcm_writei(pcm, buf + done * channels, static_cast<snd_pcm_uframes_t>(got - done));
      if (w < 0) {
        // An underrun or a suspended device is recoverable; anything else ends the sound.
        if (snd_pcm_recover(pcm, static_cast<int>(w), 1) < 0) return 2;
        continue;
      }
      done += w;
    }
  }
}

void quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void plat_sound_set_alert(plat_alert_fn fn) { g_alert.store(fn); }

int plat_play_wav(const char* path) {
  SF_INFO info{};
  SNDFILE* sf = path ? sf_open(path, SFM_READ, &info) : nullptr;
  if (!sf) {
    play_alert();
    return 1;
  }
  if (info.channels < 1 || info.channels > kMaxChannels || info.samplerate <= 0) {
    sf_close(sf);
    play_alert();
    return 1;
  }
  snd_pcm_t* pcm = nullptr;
  int rc = 2;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) == 0) {
    // Samples go out as signed 16-bit whatever the file holds; ALSA's plug layer
    // converts further when the device wants another format or rate.
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                           static_cast<unsigned>(info.channels),
                           static_cast<unsigned>(info.samplerate), 1, 500000) == 0) {
      rc = pump(sf, pcm, info.channels);
      if (rc == 0) snd_pcm_drain(pcm);
    }
    snd_pcm_close(pcm);
  }
  sf_close(sf);
  // The configuration tree ALSA caches on first use is released again: playback is
  // rare, and an edited configuration is then seen at the next sound.
  snd_config_update_free_global();
  return rc;
}

int plat_sound_output(char* name, int size) {
  if (!name || size <= 0) return 1;
  snd_pcm_t* pcm = nullptr;
  // ALSA's own complaints would go to standard error: the answer says it instead.
  snd_lib_error_set_handler(quiet);
  // Without waiting: a device that another program plays on answers busy at once.
  int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  snd_lib_error_set_handler(nullptr);
  if (err < 0) {
    std::snprintf(name, static_cast<size_t>(size), "%s", snd_strerror(err));
    snd_config_update_free_global();
    return err == -EBUSY ? 2 : 1;
  }
  std::snprintf(name, static_cast<size_t>(size), "default");
  snd_pcm_info_t* info = nullptr;
  char* card_name = nullptr;
  if (snd_pcm_info_malloc(&info) == 0) {
    if (snd_pcm_info(pcm, info) == 0 && snd_pcm_info_get_card(info) >= 0 &&
        snd_card_get_name(snd_pcm_info_get_card(info), &card_name) == 0 && card_name) {
      std::snprintf(name, static_cast<size_t>(size), "default (%s)", card_name);
      std::free(card_name);
    }
    snd_pcm_info_free(info);
  }
  snd_pcm_close(pcm);
  snd_config_update_free_global();
  return 0;
}
