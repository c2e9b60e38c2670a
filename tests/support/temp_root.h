// A temporary folder for one test, removed afterwards: an installation root (made as
// QUMEX_ROOT), a system root (QUMEX_SYSROOT) or a working folder.
#pragma once
#include <string>

class TempRoot {
 public:
  TempRoot();  // points QUMEX_ROOT here
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  void as_sysroot() const;  // QUMEX_SYSROOT points here
  // Writes bytes to <root>/rel, making the folders on the way; false if it could not.
  bool write(const std::string& rel, const std::string& bytes) const;
  // The device settings file of an installation root.
  bool devs(const std::string& text) const { return write("PREFERENCES/SETTINGS/DEVS.NIN", text); }
  // Makes <root>/rel a symbolic link to target, making the folders on the way.
  bool symlink_to(const std::string& rel, const std::string& target) const;
  std::string read(const std::string& rel) const;  // "" if missing; an absolute path is read as is
  bool exists(const std::string& rel) const;
  void mkdir(const std::string& rel) const;
  void remove(const std::string& rel) const;
  // Copies the tree at src (a fixture folder under tests/fixtures/ when relative).
  void copy_from(const std::string& src) const;

 private:
  std::string path_;
};

// A WAVE file with a recognisable pattern; returns the samples a player must send (the
// file decoded to 16-bit little-endian), "" if it could not be written.
std::string write_wav(const std::string& path, int format, int channels, int rate, int frames);
// Makes ALSA's "default" a file PCM over the null device writing raw samples to capture;
// the configuration goes to conf, named by ALSA_CONFIG_PATH.
bool alsa_to_file(const std::string& conf, const std::string& capture);
