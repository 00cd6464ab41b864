#include "match/protocol.h"

namespace palomir::match {

namespace {

constexpr uint8_t kMagic0 = 'P', kMagic1 = 'M';
constexpr size_t kInputSize = 12;
constexpr size_t kLongestVersion = 40;

struct Writer {
  std::vector<uint8_t> out;
  void U8(uint8_t v) { out.push_back(v); }
  void Uint(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Text(const std::string& s) {
    const size_t n = std::min(s.size(), kLongestVersion);
    U8(static_cast<uint8_t>(n));
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  }
};

struct Reader {
  const uint8_t* p;
  size_t left;
  bool ok = true;
  uint64_t Uint(int bytes) {
    if (left < static_cast<size_t>(bytes)) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += bytes;
    left -= static_cast<size_t>(bytes);
    return v;
  }
  std::string Text() {
    const size_t n = Uint(1);
    if (!ok || n == 0 || n > kLongestVersion || n > left) {
      ok = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(p), n);
    for (const char c : s) {
      if (c < 0x21 || c > 0x7e) ok = false;  // a version is printable ASCII, no blanks
    }
    p += n;
    left -= n;
    return s;
  }
};

}  // namespace

std::vector<uint8_t> Encode(const Packet& p) {
  Writer w;
  w.U8(kMagic0);
  w.U8(kMagic1);
  w.U8(kProtocol);
  w.U8(static_cast<uint8_t>(p.type));
  switch (p.type) {
    case Packet::Type::kHello:
    case Packet::Type::kWelcome:
    case Packet::Type::kRefuse:
      w.Text(p.version);
      break;
    case Packet::Type::kInputs:
      w.Uint(p.ack, 4);
      w.Uint(p.tick, 4);
      w.U8(static_cast<uint8_t>(p.inputs.size()));
      for (const EndInput& in : p.inputs) {
        w.Uint(static_cast<uint16_t>(in.dx), 2);
        w.Uint(static_cast<uint16_t>(in.dy), 2);
        w.U8(in.runs);
        w.U8(in.serves);
        w.Uint(in.keys, 5);
        w.U8(in.flags);
      }
      break;
    case Packet::Type::kChecksum:
      w.Uint(p.tick, 4);
      w.Uint(p.sum, 8);
      break;
    case Packet::Type::kBye:
      w.U8(p.reason);
      break;
  }
  return w.out;
}

std::optional<Packet> Decode(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 4 || size > kLargestPacket) return std::nullopt;
  if (data[0] != kMagic0 || data[1] != kMagic1 || data[2] != kProtocol) return std::nullopt;
  Reader r{data + 4, size - 4};
  Packet p;
  const uint8_t type = data[3];
  if (type < 1 || type > 6) return std::nullopt;
  p.type = static_cast<Packet::Type>(type);
  constexpr uint64_t kLastTick = 0x7fffffff;
  switch (p.type) {
    case Packet::Type::kHello:
    case Packet::Type::kWelcome:
    case Packet::Type::kRefuse:
      p.version = r.Text();
      break;
    case Packet::Type::kInputs: {
      p.ack = static_cast<uint32_t>(r.Uint(4));
      p.tick = static_cast<uint32_t>(r.Uint(4));
      const uint64_t count = r.Uint(1);
      if (!r.ok || count == 0 || count > kMostInputsSent || r.left != count * kInputSize ||
          p.ack > kLastTick || p.tick + count - 1 > kLastTick) {
        return std::nullopt;
      }
      for (uint64_t i = 0; i < count; ++i) {
        EndInput in;
        in.dx = static_cast<int16_t>(static_cast<uint16_t>(r.Uint(2)));
        in.dy = static_cast<int16_t>(static_cast<uint16_t>(r.Uint(2)));
        in.runs = static_cast<uint8_t>(r.Uint(1));
        in.serves = static_cast<uint8_t>(r.Uint(1));
        in.keys = r.Uint(5);
        in.flags = static_cast<uint8_t>(r.Uint(1));
        if (in.runs > kMostRuns || in.serves > kMostServes || (in.keys & ~kAllKeys) != 0 ||
            (in.flags & ~kAllFlags) != 0) {
          return std::nullopt;
        }
        p.inputs.push_back(in);
      }
      break;
    }
    case Packet::Type::kChecksum:
      p.tick = static_cast<uint32_t>(r.Uint(4));
      p.sum = r.Uint(8);
      if (p.tick > kLastTick) return std::nullopt;
      break;
    case Packet::Type::kBye:
      p.reason = static_cast<uint8_t>(r.Uint(1));
      if (p.reason > Packet::kDisagree) return std::nullopt;
      break;
  }
  if (!r.ok || r.left != 0) return std::nullopt;
  return p;
}

}  // namespace palomir::match
