// Asks the home router (UPnP-IGD, through miniupnpc) to open a UDP port to this computer for
// as long as a match is hosted, and says the public address the friend can reach it at.
//
// Threads: made, polled and destroyed on the game thread. The router is asked on a thread of
// the opener's own (discovery alone can take seconds, and a router may not answer at all), so
// nothing here blocks the game thread but the destructor, which waits for that thread at most
// about two seconds (the mapping's removal; a router that does not answer by then keeps it
// until its lease ends).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace palomir {

class PortOpener {
 public:
  struct Result {
    bool opened = false;         // the router maps `public_port` to this computer's port
    std::string public_address;  // as the router tells it ("203.0.113.7")
    uint16_t public_port = 0;
    std::string why;  // when not opened: why not, in the player's words (translated)
  };
  // Starts asking for `port` (UDP) on this computer's address toward the router.
  explicit PortOpener(uint16_t port);
  ~PortOpener();
  PortOpener(const PortOpener&) = delete;
  PortOpener& operator=(const PortOpener&) = delete;
  // Nothing yet while the router is being asked; then the answer, once, its why in the
  // player's language. Does not block.
  std::optional<Result> Poll();

 private:
  struct Work;
  std::shared_ptr<Work> work_;
};

}  // namespace palomir
