// What two games of a match say to each other, packet by packet, and the reading of a
// packet that trusts nothing in it: a packet that is not exactly one of these is dropped
// whole.
//
// Threads: any; nothing here blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "match/table.h"

namespace palomir::match {

inline constexpr uint8_t kProtocol = 1;
inline constexpr size_t kLargestPacket = 512;
inline constexpr int kMostInputsSent = 24;  // a packet's inputs: the newest and those before

struct Packet {
  enum class Type : uint8_t {
    kHello = 1,     // the joiner's game: its version
    kWelcome = 2,   // the host takes the joiner: the host's version
    kRefuse = 3,    // the host refuses: its version (it differs)
    kInputs = 4,    // inputs for `tick` on, and how many of the receiver's the sender knows
    kChecksum = 5,  // the state as `tick` began, summed
    kBye = 6,       // the sender leaves the match: `reason`
  };
  enum Reason : uint8_t { kClosed = 0, kDisagree = 1 };
  Type type = Type::kHello;
  std::string version;
  uint32_t ack = 0;
  uint32_t tick = 0;
  std::vector<EndInput> inputs;
  uint64_t sum = 0;
  uint8_t reason = kClosed;
};

std::vector<uint8_t> Encode(const Packet& p);
// The packet, or nothing when `data` is not a well-formed packet of this protocol.
std::optional<Packet> Decode(const uint8_t* data, size_t size);

}  // namespace palomir::match
