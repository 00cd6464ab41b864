// The line to the friend's game in a match: packets sent at once, either unreliable (the
// newest wins; a lost one is simply gone) or reliable and in order. ENet carries them on the
// real machines; tests have a wire of their own with delays and losses on the virtual clock.
//
// Threads: the game thread, every call. Nothing blocks: a name to look up is looked up on a
// thread of the link's own, and packets are sent and taken without waiting. Close waits at
// most a third of a second for the friend to hear it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace palomir {

struct LinkEvent {
  enum class Kind {
    kConnected,  // the friend's game answered (host: a friend arrived)
    kReceived,   // `data` came from the friend
    kGone,       // the friend closed, or did not answer for five seconds: `why`
  };
  Kind kind = Kind::kReceived;
  std::vector<uint8_t> data;
  std::string why;   // in the player's words
  uint32_t code = 0;  // kGone: what the friend's Drop said, 0 when they said nothing
};

class Link {
 public:
  virtual ~Link() = default;
  // Sends to the friend at once; nothing while no friend is connected.
  virtual void Send(const std::vector<uint8_t>& data, bool reliable) = 0;
  // What happened since the last call, in order.
  virtual std::vector<LinkEvent> Poll() = 0;
  // Says goodbye to the friend with `code` (their kGone's) and lets go of them; a host waits
  // for the next friend.
  virtual void Drop(uint32_t code = 0) = 0;
  // Where the friend is, as the player would type it ("192.168.1.20:4510"); "" for none.
  virtual std::string friend_address() const = 0;
  // The round trip to the friend as last measured, in milliseconds.
  virtual uint32_t round_trip_ms() const = 0;
};

inline constexpr uint16_t kDefaultPort = 4510;

// Waits for one friend on UDP `port` (every address of this computer). Nothing, with `error`
// in the player's words, when the port cannot be had.
std::unique_ptr<Link> HostLink(uint16_t port, std::string& error);
// Calls the game at `address` (a name or an IPv4 address) on `port`.
std::unique_ptr<Link> JoinLink(const std::string& address, uint16_t port, std::string& error);

// This computer's IPv4 addresses on its networks, loopback left out: where a friend on the
// same network reaches a hosted match. Reads the system's list of interfaces (no packet sent).
std::vector<std::string> LocalAddresses();

}  // namespace palomir
