// A recording of everything from outside that reached the game, in the order the game met
// it: the scenario runner replays it on the virtual machine to the very same calls. The
// format (docs/scenario.md has it whole), one record a line:
//   pump / done              the game asked for pending events / had them all
//   input key down|up CODE   a key, by its key code
//   input mouse move DX DY   one movement of the mouse
//   input mouse button B down|up
//   input focus lost|gained
//   input pad added|removed  a gamepad plugged in or pulled out
//   tick N                   timer N (0 right, 1 left, 2 toward, 3 away) ticked
//   clock SECONDS            the time of day the game read
//   heard                    a line the game waited for has been spoken
//   capture ok|fail REASON   taking the mouse for the window
//   outcome voice|sound ok|fail REASON, outcome file NAME ok|fail REASON
//   close                    the close box, or a termination signal
//   guide                    the player's guide (help, the sound tour) took its next step
//   keys CODE=LABEL...       the player's layout changed: the keys labelled otherwise than
//                            on the American layout (TakenLabels::Words)
//
// Threads: a Recorder is the game thread's, and a Replay the thread that runs the virtual
// machine. Nothing here blocks but reading the recording (LinesOf, and a Replay reading its
// source) and writing it (line_file.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/input_hub.h"
#include "platform/key_labels.h"
#include "platform/line_file.h"
#include "platform/status.h"

namespace palomir {

// The real machine's side: writes the records.
class Recorder {
 public:
  explicit Recorder(LineFile& file) : file_(file) {}
  void Pump() { file_.Line("pump"); }
  void Done() { file_.Line("done"); }
  void Input(const RawInput& input);
  void Tick(int timer) { file_.Line("tick " + std::to_string(timer)); }
  void Clock(float seconds);
  void Heard() { file_.Line("heard"); }
  void Close() { file_.Line("close"); }
  void Guide() { file_.Line("guide"); }
  void Keys(const TakenLabels& labels);
  void Capture(const Status& s) { Outcome("capture", s); }
  void Outcome(const std::string& what, const Status& s);

 private:
  LineFile& file_;
};

// A recording that does not fit what the game asked for, or a line that cannot be read.
struct ReplayError : std::runtime_error {
  ReplayError(int line, const std::string& what)
      : std::runtime_error("line " + std::to_string(line) + ": " + what), line(line) {}
  int line;
};
// The recording ran out while the game was still asking (the real game was cut off).
struct ReplayEnded {};

// The virtual machine's side: hands the records back as the game asks for them.
class Replay {
 public:
  struct Record {
    int line = 0;
    std::vector<std::string> words;
  };
  // Reads every record at once; a line that is not a record throws ReplayError.
  static std::deque<Record> Parse(const std::vector<std::pair<int, std::string>>& lines);
  // One line as a record; a blank line gives no words. Not a record: ReplayError.
  static Record ParseLine(int number, const std::string& text);
  // Gives the next line of a recording and its number; false at its end.
  using Source = std::function<bool(int& number, std::string& text)>;

  // The lines of `in` from line number `number` + 1 on (`number` counts them), comments
  // after '#' left out. A last line with no newline was cut short (a disk that filled up as
  // the recording was written): it is left out, and the replay ends where the whole lines end.
  static Source LinesOf(std::istream& in, int& number);

  explicit Replay(std::deque<Record> records) : records_(std::move(records)) {}
  // Reads the records from `source` as the game asks for them, so that a long recording is
  // never held whole; a line that is not a record throws ReplayError when it is reached.
  explicit Replay(Source source) : source_(std::move(source)) {}
  // The next record's first word, "" at the end.
  std::string Next() const { return Fill() ? records_.front().words[0] : ""; }
  // Whether the next record is `word`; false also where the next line cannot be read.
  bool NextIs(const std::string& word) const;
  // Takes the next record, which must be `word` (or one of two words).
  Record Take(const std::string& word, const std::string& other = "");
  // Takes the next record, which must be the outcome of `kind` ("voice", "sound", "file"),
  // and gives its status.
  Status TakeOutcome(const std::string& kind);
  static RawInput InputOf(const Record& r);
  static float ClockOf(const Record& r);
  static TakenLabels LabelsOf(const Record& r);
  // An outcome record's status: ok, or a failure with the rest of the line as its reason.
  static Status StatusOf(const Record& r, size_t first);

 private:
  // Whether a record is there, read from the source when none is waiting.
  bool Fill() const;
  mutable std::deque<Record> records_;
  mutable Source source_;
  mutable std::optional<ReplayError> bad_;  // a line that could not be read stops here
};

}  // namespace palomir
