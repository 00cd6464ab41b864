// Any bytes as the packets a friend's game sends in a match, each after its length (two
// bytes, least significant first): a
// packet is read whole or dropped, one read is written back byte for byte, and the inputs
// taken from them drive one end's rollback without breaking its rules (never more than its
// guesses' reach run again, nothing final before it is known).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "match/protocol.h"
#include "match/rollback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace palomir::match;
  Rollback end(kJoiner);
  EndInput mine;
  for (size_t at = 0; at + 2 <= size;) {
    const size_t n = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
    const uint8_t* packet = data + at + 2;
    at += n + 2;
    const auto p = Decode(packet, n);
    if (!p) continue;
    const std::vector<uint8_t> again = Encode(*p);
    if (again.size() != n || !std::equal(again.begin(), again.end(), packet)) std::abort();
    if (p->type != Packet::Type::kInputs) continue;
    for (size_t i = 0; i < p->inputs.size(); ++i) {
      end.Remote(static_cast<int32_t>(p->tick + i), p->inputs[i]);
    }
    try {
      if (end.Settle() > Rollback::kMostAhead) std::abort();
      mine.dx = static_cast<int16_t>(p->tick % 7 - 3);
      mine.runs = 1;
      mine.keys = p->ack & 0xfffff;
      if (end.CanAdvance()) end.Advance(mine);
    } catch (const palomir::RuntimeError&) {
      // An overflow ends the match's tick as it ends a handler: no fault of the reading.
    }
    if (end.confirmed() > end.next_tick() || end.confirmed() > end.known()) std::abort();
    end.TakeFinal();
    end.TakeFinalInputs();
    end.TakeChecksums();
  }
  return 0;
}
