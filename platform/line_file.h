// A text file written a line at a time from the game thread, for a recording or a trace.
// Lines are kept in memory and written out in batches (every 50 ms, or 64 KiB), so
// that writing costs the game next to nothing; a crash still writes out what was kept, and
// a file that cannot be written ends with one warning while the game goes on. Writing never
// waits: a pipe or FIFO whose reader is slow keeps up to 64 KiB here, and past that the
// file is given up with one warning. Only a plain file, a pipe or FIFO, or a terminal is
// written: a device is refused.
//
// Threads: the game thread, but for WriteOutAfterCrash. Opening, Begin and Discard look at
// and rename files (the disk); the destructor gives a slow reader 100 ms at most.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/files.h"

namespace palomir {

class LineFile {
 public:
  // Opens `path` for writing without waiting (a FIFO with no reader yet included) and without
  // changing what it holds; a new file is created empty. When it cannot be opened, ok() is
  // false and `error` says why, in the player's words; refused() when it is a device.
  LineFile(std::string path, std::string what);
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool refused() const { return refused_; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // The first line of the file as it was found: empty for a new or empty file, or one that
  // is not a plain file (a pipe, a terminal).
  const std::string& first_line() const { return first_line_; }
  // Whether this file and `other` are one and the same file, by other names too. A terminal
  // may be named twice.
  bool SameFileAs(const LineFile& other) const;
  // Gives the file up before anything was written: a file this made is removed again, and
  // only while it is still that file.
  void Discard();
  // Makes a plain file that held something ready to be written from its start: the earlier
  // file is kept under the first free name PATH.1, PATH.2, ... (its new name in `kept_as`)
  // when `keep_earlier` (never in place of another file by that name; named through a link,
  // the file it leads to is kept and made anew, the link left as it is), else emptied. False,
  // with error() saying why, when it cannot be.
  bool Begin(bool keep_earlier, std::string& kept_as);

  // Game thread. Adds one line (without its newline); what is kept is written out once it
  // is old or large enough.
  void Line(const std::string& line);
  // Writes out what is kept, as far as the file takes it at once.
  void Flush();
  // After a crash, from any thread: writes out the whole lines kept, with write(2) alone.
  void WriteOutAfterCrash();

 private:
  void Failed(int error_number);
  void Stalled();
  bool Claim();
  void Unclaim();
  std::string path_;
  std::string made_at_;  // where the file Begin made is, when the name is a link to it
  std::string what_;  // "recording", "trace"
  std::string error_;
  std::string first_line_;
  // What is kept: bytes [head_, tail_) of `kept_`, whole lines only up to tail_. The game
  // thread adds past tail_ and then moves tail_; it moves head_ or the bytes only while it
  // holds `claim_`, which a crash takes for good.
  std::unique_ptr<char[]> kept_;
  std::atomic<size_t> head_{0}, tail_{0};
  std::atomic<int> claim_{0};  // 0 free, else the thread (its id) that holds it
  std::atomic<int> fd_{-1};
  bool created_ = false;
  bool refused_ = false;
  files::Info info_;
  std::chrono::steady_clock::time_point last_flush_ = std::chrono::steady_clock::now();
};

}  // namespace palomir
