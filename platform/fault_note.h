// Failures that leave a result incomplete without stopping it: a file that exists but
// could not be read whole, one that could not be written whole (and was removed), or
// memory that could not be had. The code that meets one
// notes it here and goes on as it always did; a program's front end names the notes on
// standard error and lets its exit code say that the result may be wrong.
#pragma once
#include <atomic>
#include <cerrno>
#include <cstdio>

constexpr int FAULT_NOTES = 8;  // the first ones are kept: they name the trouble

struct FaultNote {
  char path[256];  // empty: memory could not be had
  int err;         // the system's error number
  bool write;      // a file being written (and removed)
};

inline FaultNote fault_notes[FAULT_NOTES];
inline std::atomic<int> fault_note_count{0};

// A file that is not there is no fault: the reports have their own words for it.
inline bool fault_is_absence(int err) { return err == ENOENT || err == ENOTDIR; }

// path null: out of memory.
inline void fault_note(const char* path, int err, bool write = false) {
  int i = fault_note_count.fetch_add(1);
  if (i >= FAULT_NOTES) return;
  std::snprintf(fault_notes[i].path, sizeof fault_notes[i].path, "%.255s", path ? path : "");
  fault_notes[i].err = path ? err : ENOMEM;
  fault_notes[i].write = write;
}

// Notes a failed read of path unless the error only says the file is not there.
// Returns true when it noted one.
inline bool fault_note_read(const char* path, int err) {
  if (fault_is_absence(err)) return false;
  fault_note(path, err ? err : EIO);
  return true;
}
