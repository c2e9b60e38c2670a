// Pseudo-terminal ports for tests and benchmarks (library lp_plat_pty_root; no installed
// program links it): a temporary installation root whose dev/COMn entries are links to
// pseudo-terminal slaves, so the serial driver reaches real ttys through the kernel while
// the caller keeps the master side. The root is QUMEX_ROOT while the object lives.
#pragma once

class PtyRoot {
 public:
  PtyRoot();
  ~PtyRoot();
  PtyRoot(const PtyRoot&) = delete;
  PtyRoot& operator=(const PtyRoot&) = delete;

  // Makes a pseudo-terminal, links <root>/dev/COM<com> to its slave and returns the
  // master (non-blocking), or -1.
  int add_com(int com);

  // Closes a master early: the slave side sees a hang-up, as when an adapter is unplugged.
  void hang_up(int master);

 private:
  char root_[32] = "/tmp/lp_serial_XXXXXX";
  char dev_[64] = "";
  bool ok_ = false;
  int masters_[8] = {};
  char links_[8][128] = {};
  int count_ = 0;
};

// Reads up to n bytes from a non-blocking descriptor, waiting up to timeout_ms for each
// chunk. Returns the bytes read.
int plat_read_full(int fd, void* buf, int n, int timeout_ms = 5000);
