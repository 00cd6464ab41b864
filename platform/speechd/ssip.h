// speech-dispatcher's protocol (SSIP), as much of it as the game speaks: the client sends a
// command line, the server answers with lines "NNN-data" and a closing "NNN text"; events
// (7NN) come the same way, between answers. The reader takes bytes as they arrive and
// hands out whole answers; anything that is not such an answer makes it fail for good.
// A reader is one thread's (the voice thread's); it only parses and never blocks. SsipText is
// pure, for any thread.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace palomir {

struct SsipReply {
  int code = 0;                   // 100..999
  std::vector<std::string> data;  // the "NNN-" lines, without their code
  std::string text;               // the closing line, without its code
  bool event() const { return code >= 700 && code < 800; }
  bool ok() const { return code >= 200 && code < 300; }
};

class SsipReader {
 public:
  static constexpr size_t kLongestLine = 4096;
  static constexpr size_t kMostData = 64;

  // Takes what came from the server. False once it has not been SSIP (and from then on).
  bool Feed(std::string_view bytes);
  // Takes the next whole answer, oldest first.
  bool Next(SsipReply& reply);
  const std::string& error() const { return error_; }

 private:
  bool Line(std::string_view line);

  std::string pending_;  // the start of a line still to come
  SsipReply partial_;
  std::deque<SsipReply> ready_;
  std::string error_;
};

// The text of a line to speak as SSIP sends it: one line, a leading dot doubled.
std::string SsipText(std::string_view text);

}  // namespace palomir
