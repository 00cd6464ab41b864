#include "platform/speech_queue.h"

#include "platform/voice.h"

#include <algorithm>
#include <utility>

namespace palomir {

namespace {

bool Number(const std::string& text) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// What a line reads out, without the value it reads: the words before its first number
// ("Rate " of "Rate 450, the highest", "Speech " of "Speech -6 dB", nothing of a bare
// number), or the whole line where it has no number.
std::string KindOf(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    const bool sign = text[i] == '-' && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9';
    if (digit || sign) return text.substr(0, i);
  }
  return text;
}

// Two lines of one kind: two numbers, two readouts of one thing (two rates, two levels of
// the sounds), or the same sentence.
bool SameKind(const QueuedLine& a, const QueuedLine& b) {
  return Number(a.text) ? Number(b.text) : KindOf(a.text) == KindOf(b.text);
}

}  // namespace

bool SpeechQueue::Replaces(const QueuedLine& newer, const QueuedLine& saying) {
  if (newer.wait || newer.guide || saying.wait || saying.guide) return false;
  const std::string kind = KindOf(newer.text);
  return !Number(newer.text) && !Number(saying.text) && !kind.empty() && kind != newer.text &&
         KindOf(saying.text) == kind;
}

double SpeechQueue::Length(const std::string& text) {
  // Characters, not bytes: a Cyrillic letter takes two bytes of UTF-8, and is one letter.
  const auto characters = std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not a continuation byte
  });
  return std::max(0.3, 0.06 * static_cast<double>(characters));
}

double SpeechQueue::seconds() const {
  double total = 0;
  for (const QueuedLine& l : lines_) total += Length(l.text);
  return total * pace_;
}

std::vector<QueuedLine> SpeechQueue::Push(QueuedLine line, double saying) {
  // A line the game waits for, or one of the guide's, is a group of its own.
  const bool alone = line.wait || line.guide;
  const bool same_run = !alone && !last_wait_ && line.at - last_at_ < kSameRun;
  line.group = same_run ? groups_ : ++groups_;
  last_at_ = line.at;
  last_wait_ = alone;
  lines_.push_back(std::move(line));
  std::vector<QueuedLine> dropped;
  double total = seconds() + std::max(0.0, saying);

  // The groups of lines that may be left out, oldest first; the newest never is.
  struct Group {
    size_t first, count;
  };
  std::vector<Group> groups;
  for (size_t i = 0; i < lines_.size();) {
    size_t j = i + 1;
    while (j < lines_.size() && lines_[j].group == lines_[i].group) ++j;
    bool keep = false;
    for (size_t k = i; k < j; ++k) keep = keep || lines_[k].wait || lines_[k].guide;
    keep = keep || lines_[i].group == popped_group_;
    if (!keep && lines_[i].group != groups_) groups.push_back({i, j - i});
    i = j;
  }
  auto stale = [&](const Group& g) {
    for (size_t i = g.first + g.count; i + g.count <= lines_.size(); ++i) {
      if (lines_[i].wait || lines_[i].guide || lines_[i].group == lines_[i - 1].group) {
        continue;  // not where a group that may go starts
      }
      bool same = true;
      for (size_t k = 0; k < g.count && same; ++k) {
        same = lines_[i + k].group == lines_[i].group && !lines_[i + k].wait &&
               !lines_[i + k].guide &&
               SameKind(lines_[g.first + k], lines_[i + k]);
      }
      const size_t end = i + g.count;
      if (same && (end == lines_.size() || lines_[end].group != lines_[i].group)) return true;
    }
    return false;
  };
  // What a newer line of its kind has made stale always goes: the newest is enough. Then,
  // while more than kMostBehind is still to be heard, the oldest of the others.
  std::vector<bool> gone(lines_.size(), false);
  for (int pass = 0; pass < 2; ++pass) {
    for (const Group& g : groups) {
      if (pass == 1 && total <= kMostBehind) break;
      if (gone[g.first] || (pass == 0 && !stale(g))) continue;
      for (size_t k = g.first; k < g.first + g.count; ++k) {
        gone[k] = true;
        total -= Length(lines_[k].text) * pace_;
      }
    }
  }
  std::deque<QueuedLine> kept;
  for (size_t i = 0; i < lines_.size(); ++i) {
    (gone[i] ? dropped.emplace_back() : kept.emplace_back()) = std::move(lines_[i]);
  }
  lines_ = std::move(kept);
  return dropped;
}

size_t SpeechQueue::DropGuide() {
  return std::erase_if(lines_, [](const QueuedLine& l) { return l.guide; });
}

bool SpeechQueue::Pop(QueuedLine& line) {
  if (lines_.empty()) return false;
  line = std::move(lines_.front());
  lines_.pop_front();
  popped_group_ = line.group;
  return true;
}

std::deque<QueuedLine> SpeechQueue::TakeAll() {
  return std::exchange(lines_, {});
}

double SpokenLength(const std::string& text) {
  return SpeechQueue::Length(text);
}

}  // namespace palomir
