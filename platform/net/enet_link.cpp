// The link over ENet: one ENet host with room for one peer, so that once a friend is there
// nobody else is answered (ENet ignores a connection with no free peer, and a packet from any
// address but the peer's); two channels, 0 unreliable and sequenced, 1 reliable.
#include <enet/enet.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>

#include "language/tr.h"
#include "platform/net/link.h"

namespace palomir {

namespace {

constexpr uint32_t kGoneAfterMs = 5000;
constexpr enet_uint32 kLinkTag = 0x50414c4d;  // "PALM": a connection of this game's

// ENet's library, started once for every link, and ended with the last.
std::mutex library_lock;
int library_users = 0;
bool Library(bool start) {
  const std::lock_guard<std::mutex> hold(library_lock);
  if (start) {
    if (library_users == 0 && enet_initialize() != 0) return false;
    ++library_users;
  } else if (--library_users == 0) {
    enet_deinitialize();
  }
  return true;
}

std::string AddressText(const ENetAddress& a) {
  char text[64] = {};
  if (enet_address_get_host_ip(&a, text, sizeof text) != 0) return "?";
  return std::string(text) + ":" + std::to_string(a.port);
}

class EnetLink final : public Link {
 public:
  ~EnetLink() override {
    Drop(0);
    if (lookup_.valid()) lookup_.wait();
    if (host_ != nullptr) enet_host_destroy(host_);
    Library(false);
  }

  static std::unique_ptr<EnetLink> Make(const ENetAddress* bind, std::string& error) {
    if (!Library(true)) {
      error = Tr("The network could not be started.");
      return nullptr;
    }
    auto link = std::unique_ptr<EnetLink>(new EnetLink);
    link->host_ = enet_host_create(bind, 1, 2, 0, 0);
    if (link->host_ == nullptr) {
      error = bind != nullptr
                  ? Fill(Tr("Port %d cannot be used: another program may hold it. Choose another "
                        "with --host=PORT."),
                        static_cast<int>(bind->port))
                  : Tr("The network could not be started.");
      return nullptr;
    }
    return link;
  }

  void Join(const std::string& name, uint16_t port) {
    port_ = port;
    ENetAddress a{};
    if (enet_address_set_host_ip(&a, name.c_str()) == 0 && name.find_first_not_of("0123456789.") ==
                                                                 std::string::npos) {
      Connect(a);
      return;
    }
    // A name is looked up away from the game thread: a name server may not answer.
    name_ = name;
    lookup_ = std::async(std::launch::async, [name] {
      ENetAddress found{};
      const bool ok = enet_address_set_host(&found, name.c_str()) == 0;
      return std::make_pair(ok, found);
    });
  }

  void Send(const std::vector<uint8_t>& data, bool reliable) override {
    if (peer_ == nullptr || !connected_) return;
    ENetPacket* packet = enet_packet_create(data.data(), data.size(),
                                            reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (packet == nullptr) return;
    if (enet_peer_send(peer_, reliable ? 1 : 0, packet) != 0) enet_packet_destroy(packet);
    enet_host_flush(host_);
  }

  std::vector<LinkEvent> Poll() override {
    std::vector<LinkEvent> events;
    if (lookup_.valid() &&
        lookup_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      const auto [ok, found] = lookup_.get();
      if (ok) {
        Connect(found);
      } else {
        events.push_back({LinkEvent::Kind::kGone, {},
                          Fill(Tr("The name %s is not known on this network."), name_.c_str())});
      }
    }
    ENetEvent e;
    while (host_ != nullptr && enet_host_service(host_, &e, 0) > 0) {
      switch (e.type) {
        case ENET_EVENT_TYPE_CONNECT:
          // A caller that is not this game is let go at once (the answer to our own call
          // carries no tag).
          if (e.peer != peer_ && e.data != kLinkTag) {
            enet_peer_reset(e.peer);
            break;
          }
          peer_ = e.peer;
          connected_ = true;
          enet_peer_timeout(peer_, 32, kGoneAfterMs, kGoneAfterMs);
          events.push_back({LinkEvent::Kind::kConnected, {}, {}});
          break;
        case ENET_EVENT_TYPE_RECEIVE:
          if (e.peer == peer_) {
            events.push_back({LinkEvent::Kind::kReceived,
                              std::vector<uint8_t>(e.packet->data,
                                                   e.packet->data + e.packet->dataLength),
                              {}});
          }
          enet_packet_destroy(e.packet);
          break;
        case ENET_EVENT_TYPE_DISCONNECT: {
          const bool was = connected_;
          if (e.peer == peer_) {
            peer_ = nullptr;
            connected_ = false;
          }
          // A friend that never came: the joiner's call was not answered.
          events.push_back(
              {LinkEvent::Kind::kGone, {},
               was ? Tr("Your friend's game is gone: it was closed, or the network between you "
                        "failed.")
                   : Fill(Tr("No game answered at %s."), target_.c_str()),
               e.data});
          break;
        }
        case ENET_EVENT_TYPE_NONE:
          break;
      }
    }
    return events;
  }

  void Drop(uint32_t code) override {
    if (peer_ == nullptr || host_ == nullptr) return;
    // Once what was sent has gone: a goodbye is the last the friend hears.
    enet_peer_disconnect_later(peer_, code);
    // A third of a second for the goodbye to be heard; then the friend is let go anyway.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    ENetEvent e;
    while (std::chrono::steady_clock::now() < until && enet_host_service(host_, &e, 20) >= 0) {
      if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
      if (e.type == ENET_EVENT_TYPE_DISCONNECT) break;
    }
    if (peer_ != nullptr && connected_) enet_peer_reset(peer_);
    peer_ = nullptr;
    connected_ = false;
  }

  std::string friend_address() const override {
    return peer_ != nullptr ? AddressText(peer_->address) : std::string();
  }
  uint32_t round_trip_ms() const override {
    return peer_ != nullptr ? peer_->roundTripTime : 0;
  }

 private:
  EnetLink() = default;
  void Connect(ENetAddress a) {
    a.port = port_;
    target_ = AddressText(a);
    peer_ = enet_host_connect(host_, &a, 2, kLinkTag);
    if (peer_ != nullptr) enet_peer_timeout(peer_, 32, kGoneAfterMs, kGoneAfterMs);
  }

  ENetHost* host_ = nullptr;
  ENetPeer* peer_ = nullptr;
  bool connected_ = false;
  uint16_t port_ = 0;
  std::string name_;
  std::string target_;
  std::future<std::pair<bool, ENetAddress>> lookup_;
};

}  // namespace

std::unique_ptr<Link> HostLink(uint16_t port, std::string& error) {
  ENetAddress bind{};
  bind.host = ENET_HOST_ANY;
  bind.port = port;
  return EnetLink::Make(&bind, error);
}

std::unique_ptr<Link> JoinLink(const std::string& address, uint16_t port, std::string& error) {
  auto link = EnetLink::Make(nullptr, error);
  if (link) link->Join(address, port);
  return link;
}

}  // namespace palomir
