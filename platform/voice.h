// The speech voice. Called from the game thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace palomir {

inline constexpr int32_t kSpeakWait = 0;   // return once this and everything before it is heard
inline constexpr int32_t kSpeakAsync = 1;  // queue behind what is already queued, return at once

class Voice {
 public:
  virtual ~Voice() = default;
  // Texts are spoken in call order, each whole, none cutting another off.
  virtual Status Speak(const std::string& text, int32_t flags) = 0;
};

}  // namespace palomir
