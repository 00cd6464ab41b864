#include "platform/recording.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace palomir {

namespace {

// A word as a message shows it: a control character as '?'.
std::string Shown(std::string w) {
  for (char& c : w) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return w;
}

int32_t Number(const Replay::Record& r, size_t i) {
  const std::string& w = r.words.at(i);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(w.c_str(), &end, 10);
  // The whole word, a NUL inside it included, must be the number.
  if (w.empty() || end != w.c_str() + w.size() || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
    throw ReplayError(r.line, "'" + Shown(w) + "' is not a whole number");
  }
  return static_cast<int32_t>(v);
}

void Need(const Replay::Record& r, size_t words) {
  if (r.words.size() != words)
    throw ReplayError(r.line, "'" + r.words[0] + "' has the wrong number of words");
}

}  // namespace

void Recorder::Input(const RawInput& in) {
  using K = RawInput::Kind;
  std::string line;
  switch (in.kind) {
    case K::kKeyDown:
      line = "input key down " + std::to_string(in.a);
      break;
    case K::kKeyUp:
      line = "input key up " + std::to_string(in.a);
      break;
    case K::kMouseMove:
      line = "input mouse move " + std::to_string(in.a) + " " + std::to_string(in.b);
      break;
    case K::kMouseButton:
      line = "input mouse button " + std::to_string(in.a) + (in.b ? " down" : " up");
      break;
    case K::kFocusLost:
      line = "input focus lost";
      break;
    case K::kFocusGained:
      line = "input focus gained";
      break;
    case K::kPadAdded:
      line = "input pad added";
      break;
    case K::kPadRemoved:
      line = "input pad removed";
      break;
  }
  file_.Line(line);
}

void Recorder::Clock(float seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "clock %.9g", static_cast<double>(seconds));
  file_.Line(text);
}

void Recorder::Keys(const TakenLabels& labels) {
  std::string line = "keys";
  for (const std::string& word : labels.Words()) line += " " + word;
  file_.Line(line);
}

void Recorder::Outcome(const std::string& what, const Status& s) {
  std::string reason = s.reason();
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  file_.Line((what == "capture" ? what : "outcome " + what) + (s.ok() ? " ok" : " fail " + reason));
}

Replay::Record Replay::ParseLine(int number, const std::string& text) {
  Record r{number, {}};
  std::istringstream in(text);
  for (std::string w; in >> w;) r.words.push_back(w);
  if (r.words.empty()) return r;
  const std::string& w = r.words[0];
  if (w == "pump" || w == "done" || w == "heard" || w == "close" || w == "guide") {
    Need(r, 1);
  } else if (w == "tick") {
    Need(r, 2);
    if (Number(r, 1) < 0 || Number(r, 1) > 3) throw ReplayError(number, "no timer " + r.words[1]);
  } else if (w == "clock") {
    Need(r, 2);
    (void)ClockOf(r);
  } else if (w == "keys") {
    (void)LabelsOf(r);
  } else if (w == "input") {
    (void)InputOf(r);
  } else if (w == "capture") {
    (void)StatusOf(r, 1);
  } else if (w == "outcome") {
    if (r.words.size() < 3) throw ReplayError(number, "an outcome needs what and how");
    (void)StatusOf(r, r.words[1] == "file" ? 3 : 2);
  } else {
    throw ReplayError(number, "'" + w + "' is not a record of a game");
  }
  return r;
}

std::deque<Replay::Record> Replay::Parse(const std::vector<std::pair<int, std::string>>& lines) {
  std::deque<Record> out;
  for (const auto& [number, text] : lines) {
    Record r = ParseLine(number, text);
    if (!r.words.empty()) out.push_back(std::move(r));
  }
  return out;
}

Replay::Source Replay::LinesOf(std::istream& in, int& number) {
  return [&in, &number](int& n, std::string& text) {
    if (!std::getline(in, text) || in.eof()) return false;
    if (auto hash = text.find('#'); hash != std::string::npos) text.resize(hash);
    n = ++number;
    return true;
  };
}

bool Replay::Fill() const {
  if (bad_) throw *bad_;
  int number = 0;
  std::string text;
  try {
    while (records_.empty() && source_ && source_(number, text)) {
      Record r = ParseLine(number, text);
      if (!r.words.empty()) records_.push_back(std::move(r));
    }
  } catch (const ReplayError& e) {
    bad_ = e;
    throw;
  }
  return !records_.empty();
}

bool Replay::NextIs(const std::string& word) const {
  try {
    return Next() == word;
  } catch (const ReplayError&) {
    return false;
  }
}

Replay::Record Replay::Take(const std::string& word, const std::string& other) {
  if (!Fill()) throw ReplayEnded{};
  const Record& next = records_.front();
  if (next.words[0] != word && next.words[0] != other) {
    throw ReplayError(next.line, "the game asked for '" + word +
                                     (other.empty() ? "" : "' or '" + other) +
                                     "' here, and the recording has '" + next.words[0] + "'");
  }
  Record r = std::move(records_.front());
  records_.pop_front();
  return r;
}

Status Replay::TakeOutcome(const std::string& kind) {
  if (Fill() && records_.front().words[0] == "outcome" && records_.front().words[1] != kind) {
    throw ReplayError(records_.front().line, "the game asked for the outcome of its " + kind +
                                                 " here, and the recording has its " +
                                                 records_.front().words[1]);
  }
  return StatusOf(Take("outcome"), kind == "file" ? 3 : 2);
}

RawInput Replay::InputOf(const Record& r) {
  const auto& w = r.words;
  auto bad = [&] { return ReplayError(r.line, "not an input the game can be given"); };
  if (w.size() == 4 && w[1] == "key" && (w[2] == "down" || w[2] == "up")) {
    const int32_t code = Number(r, 3);
    if (code < 1 || code > 255) throw bad();
    return w[2] == "down" ? RawInput::KeyDown(code) : RawInput::KeyUp(code);
  }
  if (w.size() == 5 && w[1] == "mouse" && w[2] == "move") {
    return RawInput::MouseMove(Number(r, 3), Number(r, 4));
  }
  if (w.size() == 5 && w[1] == "mouse" && w[2] == "button" && (w[4] == "down" || w[4] == "up")) {
    const int32_t b = Number(r, 3);
    if (b < 0 || b > 2) throw bad();
    return RawInput::Button(b, w[4] == "down");
  }
  if (w.size() == 3 && w[1] == "focus" && (w[2] == "lost" || w[2] == "gained")) {
    return w[2] == "lost" ? RawInput::FocusLost() : RawInput::FocusGained();
  }
  if (w.size() == 3 && w[1] == "pad" && (w[2] == "added" || w[2] == "removed")) {
    return w[2] == "added" ? RawInput::PadAdded() : RawInput::PadRemoved();
  }
  throw bad();
}

TakenLabels Replay::LabelsOf(const Record& r) {
  auto labels = TakenLabels::FromWords({r.words.begin() + 1, r.words.end()});
  if (!labels) throw ReplayError(r.line, "not the labels of a layout's keys");
  return *labels;
}

float Replay::ClockOf(const Record& r) {
  const std::string& w = r.words.at(1);
  char* end = nullptr;
  const float v = std::strtof(w.c_str(), &end);
  if (w.empty() || end != w.c_str() + w.size() || !std::isfinite(v) || v < 0 || v >= 86400.0f) {
    throw ReplayError(r.line, "'" + Shown(w) + "' is not a time of day");
  }
  return v;
}

Status Replay::StatusOf(const Record& r, size_t first) {
  if (r.words.size() <= first || (r.words[first] != "ok" && r.words[first] != "fail")) {
    throw ReplayError(r.line, "an outcome is ok or fail");
  }
  if (r.words[first] == "ok") {
    if (r.words.size() != first + 1) throw ReplayError(r.line, "nothing follows ok");
    return Status::Ok();
  }
  std::string reason;
  for (size_t i = first + 1; i < r.words.size(); ++i)
    reason += (i > first + 1 ? " " : "") + r.words[i];
  return Status::Fail(reason);
}

}  // namespace palomir
