// Sound files for the sound tests: a WAVE file of known samples, and ALSA's default device
// turned into a file.
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"

std::string write_wav(const std::string& path, int format, int channels, int rate, int frames) {
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = format;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!sf) return "";
  std::vector<short> s(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 7919) % 60000 - 30000);
  bool good = sf_writef_short(sf, s.data(), frames) == frames;
  sf_close(sf);
  SF_INFO back{};
  sf = good ? sf_open(path.c_str(), SFM_READ, &back) : nullptr;
  if (!sf) return "";
  sf_count_t got = sf_readf_short(sf, s.data(), frames);
  sf_close(sf);
  std::string out;
  for (sf_count_t i = 0; i < got * channels; ++i) {
    unsigned short v = static_cast<unsigned short>(s[static_cast<size_t>(i)]);
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
  }
  return out;
}

bool alsa_to_file(const std::string& conf, const std::string& capture) {
  FILE* f = std::fopen(conf.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "pcm.!default {\n type file\n slave { pcm { type null } }\n file \"%s\"\n format \"raw\"\n}\n",
               capture.c_str());
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  return std::fclose(f) == 0;
}
