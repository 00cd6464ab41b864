// The router is asked on a detached thread that owns the opener's state: a router that stops
// answering keeps only that thread, never the game.
#include "platform/net/port_opener.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>  // miniupnpc's sockets need Winsock started by the program
#endif

#include "language/tr.h"

namespace palomir {
namespace {

// How long the routers on the network are given to answer the search.
constexpr int kDiscoverMs = 2000;
// How long the destructor waits for the mapping's removal.
constexpr auto kRemovalWait = std::chrono::seconds(2);
// The lease asked for; the router renews nothing, so a game that ends without removing its
// mapping leaves it open no longer than this.
constexpr const char* kLease = "3600";
// The ports tried after this computer's own when another computer already has it: the next ones.
constexpr int kOtherPorts = 7;
// UPnP's answers that this code acts on.
constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeasesSupported = 725;

// The player's words for each way it can fail.
// TRANSLATORS: said to a player hosting a match when the home router did not open a port for it.
constexpr const char* kNoRouter = N_("No router on this network offers to open a port (UPnP).");
constexpr const char* kNotConnected =
    N_("The router says it has no connection to the internet of its own (it may itself be behind "
       "another router).");
constexpr const char* kNoAnswer =
    N_("The router did not answer: it may be busy, or port opening (UPnP) may be turned off in "
       "its settings.");
constexpr const char* kNoPublicAddress =
    N_("The router has no public address of its own (another router stands between it and the "
       "internet), so a friend cannot reach this computer through it.");
constexpr const char* kRefused =
    N_("The router refused to open a port: port opening (UPnP) may be limited in its settings.");

// A public address: one the internet can reach, not a private or shared network's.
bool IsPublic(const std::string& address) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
  return !(a == 0 || a == 10 || a == 127 || a >= 224 || (a == 100 && b >= 64 && b < 128) ||
           (a == 169 && b == 254) || (a == 172 && b >= 16 && b < 32) || (a == 192 && b == 168));
}

}  // namespace

struct PortOpener::Work {
  explicit Work(uint16_t p) : port(p) {}
  const uint16_t port;
  std::mutex lock;
  std::condition_variable changed;
  bool leaving = false;  // the opener is gone: remove the mapping and end
  bool ended = false;    // the thread has done all it will
  bool answered = false;
  Result answer;  // once answered; its why is the English text, translated by Poll
  bool taken = false;

  // The opener's thread, through to its end.
  static void Run(std::shared_ptr<Work> w) {
#ifdef _WIN32
    WSADATA wsa;
    const bool winsock = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
#endif
    UPNPUrls urls{};
    IGDdatas data{};
    std::string mapped;  // the external port mapped, as the router was told it
    w->Answer(w->Open(urls, data, mapped));
    {
      std::unique_lock l(w->lock);
      w->changed.wait(l, [&] { return w->leaving; });
    }
    if (!mapped.empty()) {
      UPNP_DeletePortMapping(urls.controlURL, data.first.servicetype, mapped.c_str(), "UDP",
                             nullptr);
    }
    FreeUPNPUrls(&urls);
#ifdef _WIN32
    if (winsock) WSACleanup();
#endif
    std::lock_guard g(w->lock);
    w->ended = true;
    w->changed.notify_all();
  }

  // The opener's thread.
  void Answer(Result r) {
    std::lock_guard g(lock);
    answer = std::move(r);
    answered = true;
  }

  // The opener's thread.
  bool Leaving() {
    std::lock_guard g(lock);
    return leaving;
  }

  // The opener's thread: asks the router, and says how it went. `mapped` is the external port
  // held open, if any.
  Result Open(UPNPUrls& urls, IGDdatas& data, std::string& mapped) {
    Result r;
    int error = 0;
    UPNPDev* routers = upnpDiscover(kDiscoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (Leaving()) {
      freeUPNPDevlist(routers);
      return r;
    }
    char lan[64] = "";
#if MINIUPNPC_API_VERSION >= 18
    char wan[64] = "";
    const int igd = routers ? UPNP_GetValidIGD(routers, &urls, &data, lan, sizeof lan, wan, sizeof wan) : 0;
    // 1: connected, with a public address; 2: connected, with a private one; 3: not connected.
    const bool connected = igd == 1 || igd == 2;
    const bool not_connected = igd == 3;
#else
    const int igd = routers ? UPNP_GetValidIGD(routers, &urls, &data, lan, sizeof lan) : 0;
    // 1: connected; 2: not connected; 3: some other UPnP device.
    const bool connected = igd == 1;
    const bool not_connected = igd == 2;
#endif
    freeUPNPDevlist(routers);
    if (!connected) {
      r.why = not_connected ? kNotConnected : kNoRouter;
      return r;
    }
    if (Leaving()) return r;
    char external[64] = "";
    if (UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external) != UPNPCOMMAND_SUCCESS) {
      r.why = kNoAnswer;
      return r;
    }
    if (!IsPublic(external)) {
      r.why = kNoPublicAddress;
      return r;
    }
    const std::string inside = std::to_string(port);
    const char* lease = kLease;
    int answer = kConflictInMappingEntry;
    for (int k = 0; k <= kOtherPorts && port + k <= 65535 && answer == kConflictInMappingEntry; ++k) {
      if (Leaving()) return r;
      const std::string outside = std::to_string(port + k);
      const auto add = [&] {
        return UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, outside.c_str(),
                                   inside.c_str(), lan, "Palomir", "UDP", nullptr, lease);
      };
      answer = add();
      if (answer == kOnlyPermanentLeasesSupported) {
        lease = "0";  // a mapping held until removed
        answer = add();
      }
      if (answer == UPNPCOMMAND_SUCCESS) mapped = outside;
    }
    if (mapped.empty()) {
      r.why = answer < 0 ? kNoAnswer : kRefused;
      return r;
    }
    r.opened = true;
    r.public_address = external;
    r.public_port = static_cast<uint16_t>(std::stoi(mapped));
    return r;
  }
};

PortOpener::PortOpener(uint16_t port) : work_(std::make_shared<Work>(port)) {
  std::thread(Work::Run, work_).detach();
}

PortOpener::~PortOpener() {
  std::unique_lock l(work_->lock);
  work_->leaving = true;
  work_->changed.notify_all();
  work_->changed.wait_for(l, kRemovalWait, [&] { return work_->ended; });
}

std::optional<PortOpener::Result> PortOpener::Poll() {
  std::lock_guard g(work_->lock);
  if (!work_->answered || work_->taken) return std::nullopt;
  work_->taken = true;
  Result r = work_->answer;
  if (!r.opened && !r.why.empty()) r.why = Tr(r.why.c_str());
  return r;
}

}  // namespace palomir
