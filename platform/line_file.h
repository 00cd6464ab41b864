// A text file written a line at a time from the game thread, for a recording or a trace.
// Lines are kept in memory and written out in batches (every 50 ms, or 64 KiB), so
// that writing costs the game next to nothing; a crash still writes out what was kept, and
// a file that cannot be written ends with one warning while the game goes on.
#pragma once

#include <chrono>
#include <string>

namespace palomir {

class LineFile {
 public:
  // Opens (creates or truncates) `path`. When it cannot be opened, ok() is false and
  // `error` says why, in the player's words.
  LineFile(std::string path, std::string what);
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

  // Game thread. Adds one line (without its newline); what is kept is written out once it
  // is old or large enough.
  void Line(const std::string& line);
  void Flush();

 private:
  void Failed(int error_number);
  std::string path_;
  std::string what_;  // "recording", "trace"
  std::string error_;
  std::string kept_;
  int fd_ = -1;
  std::chrono::steady_clock::time_point last_flush_ = std::chrono::steady_clock::now();
};

}  // namespace palomir
