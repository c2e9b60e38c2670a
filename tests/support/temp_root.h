// A temporary installation root for one test: made fresh, pointed to by QUMEX_ROOT,
// removed afterwards.
#pragma once
#include <string>

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  bool ok() const { return !path_.empty(); }
  // Writes bytes to <root>/rel, making the folders on the way; false if it could not.
  bool write(const std::string& rel, const std::string& bytes) const;
  // Makes <root>/rel a symbolic link to target, making the folders on the way.
  bool symlink_to(const std::string& rel, const std::string& target) const;
  std::string read(const std::string& rel) const;  // "" if missing
  bool exists(const std::string& rel) const;
  void mkdir(const std::string& rel) const;
  void remove(const std::string& rel) const;
  // Copies the tree at src (a fixture folder) into the root.
  void copy_from(const std::string& src) const;

 private:
  std::string path_;
};
