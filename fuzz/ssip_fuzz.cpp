// Any bytes as speech-dispatcher's answers, arriving in pieces of any size: the same
// answers come out however the bytes were cut, each well formed, and what is not the
// protocol fails for good. Any text to speak goes out as one line that cannot end the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/speechd/ssip.h"

namespace {

struct Outcome {
  bool fine = true;
  std::vector<palomir::SsipReply> replies;
};

Outcome Read(std::string_view bytes, size_t piece) {
  palomir::SsipReader reader;
  Outcome o;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const bool fine = reader.Feed(bytes.substr(at, piece));
    if (!fine && reader.error().empty()) std::abort();  // a failure says why
    if (!o.fine && fine) std::abort();                  // and lasts
    o.fine = fine;
    palomir::SsipReply r;
    while (reader.Next(r)) o.replies.push_back(r);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 16 + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = Read(bytes, bytes.size() + 1);
  const Outcome cut = Read(bytes, piece);
  if (whole.fine != cut.fine) std::abort();
  // Cut anywhere, the answers before a failure are the same.
  const size_t n = std::min(whole.replies.size(), cut.replies.size());
  if (whole.fine && whole.replies.size() != cut.replies.size()) std::abort();
  for (size_t i = 0; i < n; ++i) {
    const auto& a = whole.replies[i];
    const auto& b = cut.replies[i];
    if (a.code != b.code || a.data != b.data || a.text != b.text) std::abort();
    if (a.code < 100 || a.code > 999 || a.data.size() > palomir::SsipReader::kMostData) std::abort();
  }
  const std::string line = palomir::SsipText(bytes);
  if (line.find_first_of("\r\n") != std::string::npos || line == ".") std::abort();
  if (!line.empty() && line[0] == '.' && line.size() > 1 && line[1] != '.') std::abort();
  return 0;
}
