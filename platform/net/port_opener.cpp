// Placeholder until the router's port opener lands.
#include "platform/net/port_opener.h"
namespace palomir {
struct PortOpener::Work {};
PortOpener::PortOpener(uint16_t) {}
PortOpener::~PortOpener() = default;
std::optional<PortOpener::Result> PortOpener::Poll() { return std::nullopt; }
}  // namespace palomir
