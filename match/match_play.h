// A match against a friend over the network, played at this end: the call (host or join),
// the handshake, the ticks run ahead and again (match/rollback.h), and the table heard from
// this end through the game's own sounds and voice. The game's window, its sounds, its voice
// and its guide are the ones a game against the computer has; only the rules' loop differs.
//
// Threads: the game thread. PlayMatch blocks for as long as the match is played (it pumps the
// window's events); nothing in it waits on the network.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/net/link.h"

namespace palomir {

class LineFile;
class MainForm;
class Platform;
struct ProgramObjects;

struct MatchSetup {
  bool host = true;
  std::string address;  // the joiner's: where the host is; empty: asked for by voice
  uint16_t port = kDefaultPort;
  // Where the match is written down for the scenario runner; nothing when not recorded.
  LineFile* record = nullptr;
  std::string version;  // this game's, which the friend's must equal
  // Where a match the two games disagree on is kept when it is not recorded (the settings'
  // folder); "" for nowhere.
  std::string report_folder;
  // The line to the friend at `address` (the host's: none) and `port`: the network's unless
  // a test gives its own. Nothing, with `error` said, when there is none.
  std::function<std::unique_ptr<Link>(const std::string& address, uint16_t port,
                                      std::string& error)>
      link;
  // Asks the home router for a port while hosting.
  bool open_router_port = true;
  // Where what the player should read is printed (stdout by default).
  std::function<void(const std::string&)> print;
};

// Plays matches on a window that has loaded (MainForm::Form_Load) until one end answers N,
// closes, or the line to the friend is gone. Returns the exit status: 0 when a match was
// played to its end (the friend's game gone included), 1 when none could begin. The window's
// close escapes as WindowUnloaded, once the friend has been told.
int PlayMatch(Platform& platform, MainForm& form, ProgramObjects& objects, const MatchSetup& setup);

// The hook the window's input handler and new game take in a match.
struct MatchHooks {
  virtual ~MatchHooks() = default;
  virtual void Input() = 0;
};

// A recorded match run again (the scenario runner): each line of `recording` after its header,
// and `out` told one line per event, the same at both ends' recordings. False, with `error`,
// when a line is not a match's.
bool ReplayMatch(const std::vector<std::string>& recording,
                 const std::function<void(const std::string&)>& out, std::string& error);

}  // namespace palomir
