// Key codes of the physical keys the game reads: the DirectInput scan codes, the same on
// every keyboard layout. Constants only: any thread.
#pragma once

#include <cstdint>

namespace palomir::dik {

inline constexpr uint8_t k1 = 0x02, k2 = 0x03, k3 = 0x04, k4 = 0x05, k5 = 0x06, k6 = 0x07,
                         k7 = 0x08, k8 = 0x09, k9 = 0x0A, k0 = 0x0B;
inline constexpr uint8_t kQ = 0x10, kW = 0x11, kE = 0x12, kR = 0x13, kT = 0x14, kY = 0x15,
                         kU = 0x16, kI = 0x17, kO = 0x18, kP = 0x19;
inline constexpr uint8_t kA = 0x1E, kS = 0x1F, kD = 0x20, kF = 0x21, kG = 0x22, kH = 0x23,
                         kJ = 0x24, kK = 0x25, kL = 0x26;
inline constexpr uint8_t kZ = 0x2C, kX = 0x2D, kC = 0x2E, kV = 0x2F, kB = 0x30, kN = 0x31,
                         kM = 0x32, kComma = 0x33, kPeriod = 0x34;
inline constexpr uint8_t kEscape = 0x01, kSpace = 0x39, kReturn = 0x1C;
inline constexpr uint8_t kF1 = 0x3B, kF2 = 0x3C, kF3 = 0x3D, kF4 = 0x3E, kF5 = 0x3F, kF6 = 0x40,
                         kF7 = 0x41, kF8 = 0x42, kF9 = 0x43, kF10 = 0x44, kF11 = 0x57,
                         kF12 = 0x58;
inline constexpr uint8_t kHome = 0xC7, kEnd = 0xCF, kPageUp = 0xC9, kPageDown = 0xD1;
inline constexpr uint8_t kLeftShift = 0x2A, kRightShift = 0x36;
inline constexpr uint8_t kUp = 0xC8, kDown = 0xD0, kLeft = 0xCB, kRight = 0xCD;

}  // namespace palomir::dik
