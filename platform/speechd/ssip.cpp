#include "platform/speechd/ssip.h"

namespace palomir {

bool SsipReader::Feed(std::string_view bytes) {
  if (!error_.empty()) return false;
  for (const char c : bytes) {
    if (c != '\n') {
      if (pending_.size() >= kLongestLine) {
        error_ = "an answer line longer than " + std::to_string(kLongestLine) + " bytes";
        return false;
      }
      pending_.push_back(c);
      continue;
    }
    std::string_view line = pending_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const bool fine = Line(line);
    pending_.clear();
    if (!fine) return false;
  }
  return true;
}

bool SsipReader::Line(std::string_view line) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (line.size() < 4 || !digit(line[0]) || !digit(line[1]) || !digit(line[2]) || line[0] == '0' ||
      (line[3] != '-' && line[3] != ' ')) {
    error_ = "words that are not speech-dispatcher's";
    return false;
  }
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (partial_.code != 0 && partial_.code != code) {
    error_ = "an answer whose lines disagree";
    return false;
  }
  partial_.code = code;
  if (line[3] == '-') {
    if (partial_.data.size() >= kMostData) {
      error_ = "an answer of too many lines";
      return false;
    }
    partial_.data.emplace_back(line.substr(4));
    return true;
  }
  partial_.text = std::string(line.substr(4));
  ready_.push_back(std::move(partial_));
  partial_ = SsipReply{};
  return true;
}

bool SsipReader::Next(SsipReply& reply) {
  if (ready_.empty()) return false;
  reply = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

std::string SsipText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (const char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
  if (!out.empty() && out[0] == '.') out.insert(out.begin(), '.');
  return out;
}

}  // namespace palomir
