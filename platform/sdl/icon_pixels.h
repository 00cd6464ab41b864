// Made by tools/make_icon.py: the game's icon, 32 x 32 pixels. Each pixel is a letter,
// which kColours[the letter's place in kLetters] gives as R, G, B, A.
#pragma once

#include <cstdint>

namespace palomir::icon {

inline constexpr int kSize = 32;
inline constexpr char kLetters[] = "abcdefghijklmnopqrstuvw";
inline constexpr uint8_t kColours[][4] = {
    {0x00, 0x00, 0x00, 0x00},
    {0x11, 0x11, 0x11, 0xff},
    {0x1d, 0x5c, 0x8c, 0x50},
    {0x1d, 0x5c, 0x8c, 0x9f},
    {0x1d, 0x5c, 0x8c, 0xbf},
    {0x1d, 0x5c, 0x8c, 0xff},
    {0x20, 0x20, 0x20, 0xff},
    {0x27, 0x63, 0x91, 0xff},
    {0x31, 0x6a, 0x96, 0xff},
    {0x58, 0x87, 0xaa, 0xff},
    {0x5b, 0x5b, 0x5b, 0xff},
    {0x62, 0x8e, 0xaf, 0xff},
    {0x64, 0x8f, 0xb0, 0xff},
    {0x6c, 0x95, 0xb4, 0xff},
    {0x80, 0xa3, 0xbe, 0xff},
    {0x8a, 0xaa, 0xc3, 0xff},
    {0x94, 0xb2, 0xc8, 0xff},
    {0xa7, 0xc0, 0xd2, 0xff},
    {0xaa, 0xc2, 0xd4, 0xff},
    {0xbb, 0xce, 0xdc, 0xff},
    {0xc6, 0xd6, 0xe2, 0xff},
    {0xd2, 0xd2, 0xd2, 0xff},
    {0xff, 0xff, 0xff, 0xff},
};
inline constexpr const char* kRows[kSize] = {
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
    "aaaaceffffffffffffffffffffecaaaa",
    "aaadffffffffffffffffffffffffdaaa",
    "aacffffffffffffffffffffffffffcaa",
    "aaeffffffffffffffffffffffffffeaa",
    "aaffffffffffffffffffffffffffffaa",
    "aaffffnnffffffffffffffffnnffffaa",
    "aaffffothffffffffffffffhtoffffaa",
    "aaffffitlffffffffffffffltiffffaa",
    "aafffffprffffffffffffffrpfffffaa",
    "aafffffjtifffmuwwumfffitjfffffaa",
    "aafffffitjffsvkbbkvsffjtifffffaa",
    "aafffffftnfmvgbbbbgvmfntffffffaa",
    "aaffffffqqfukbbbbbbkufqqffffffaa",
    "aaffffffqqfwbbbbbbbbwfqqffffffaa",
    "aaffffffqqfwbbbbbbbbwfqqffffffaa",
    "aaffffffqqfukbbbbbbkufqqffffffaa",
    "aafffffftnfmvgbbbbgvmfntffffffaa",
    "aafffffitjffsvkbbkvsffjtifffffaa",
    "aafffffjtifffmuwwumfffitjfffffaa",
    "aafffffprffffffffffffffrpfffffaa",
    "aaffffitlffffffffffffffltiffffaa",
    "aaffffothffffffffffffffhtoffffaa",
    "aaffffnnffffffffffffffffnnffffaa",
    "aaffffffffffffffffffffffffffffaa",
    "aaeffffffffffffffffffffffffffeaa",
    "aacffffffffffffffffffffffffffcaa",
    "aaadffffffffffffffffffffffffdaaa",
    "aaaaceffffffffffffffffffffecaaaa",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
};

}  // namespace palomir::icon
