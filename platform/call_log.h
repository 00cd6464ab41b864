// What the game asks of the machine, written down call by call: wrappers round the
// platform's objects that tell a log of every call the game makes on them, in the same
// words on the real and the virtual machine, so that a trace of a real game and the replay
// of its recording can be compared line by line. Game thread only. Nothing here blocks but
// the calls a wrapper passes on, and LineTrace's file (line_file.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/timers.h"

namespace palomir {

// One call: the object ("puck.wav", "ToTimer", "guid_SysMouse", "window"), the operation and
// its argument, and whether it failed.
struct Call {
  std::string object;
  std::string op;
  int32_t arg = 0;
  bool failed = false;
};

class CallLog {
 public:
  virtual ~CallLog() = default;
  virtual void Record(const Call& call) = 0;
  // A line given to the voice (flags 1 queued, 0 waited for).
  virtual void Said(const std::string& text, int32_t flags) = 0;
};

// The log's wrappers. Each records every call made on it and its own release; objects it
// makes are wrapped in turn.
std::unique_ptr<DxRoot> LoggedDxRoot(CallLog& log, std::unique_ptr<DxRoot> inner);
std::unique_ptr<Voice> LoggedVoice(CallLog& log, std::unique_ptr<Voice> inner);
// Timer changes, under the timers' names.
void LogTimers(CallLog& log, TimerQueue& timers);

// A log that writes the trace format to a file.
class LineFile;
class LineTrace final : public CallLog {
 public:
  explicit LineTrace(LineFile& file) : file_(file) {}
  void Record(const Call& call) override;
  void Said(const std::string& text, int32_t flags) override;
  void Error(const std::string& text);

 private:
  LineFile& file_;
};

// The trace format: "call OBJECT OP ARG[ FAILED]", "say FLAGS "TEXT"", "error TEXT".
std::string TraceLine(const Call& call);
std::string TraceSpeech(const std::string& text, int32_t flags);
std::string TraceError(const std::string& text);
// A game in another language than English begins with "language CODE voice VOICE".
std::string TraceLanguage(const std::string& code, const std::string& voice);

}  // namespace palomir
