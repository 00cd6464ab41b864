// A new, empty folder of the test's own under the system's temporary folder (on Windows a
// Windows path such as C:\users\me\Temp\palomir-settings-1234-0).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

namespace palomir::testing {

// The game keeps paths in UTF-8 on every system; std::filesystem would take a narrow string
// in Windows' own code page.
inline std::filesystem::path U8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// A folder named as a player's own may be: letters beyond ASCII, beyond Windows' code pages
// (Cyrillic) and beyond UTF-16's single units (a musical note, a surrogate pair), so that a
// name converted anywhere through a code page or the C library's locale is found out.
inline constexpr const char* kPlayersFolder =
    "palomir-Zo\xc3\xab-\xd0\x94\xd0\xbe\xd0\xbc-\xf0\x9f\x8e\xb5";

inline std::filesystem::path MakeTempFolder(const std::string& name) {
  static std::atomic<unsigned> count{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              U8Path(name + "-" + std::to_string(stamp) + "-" +
                               std::to_string(count++));
    if (std::filesystem::create_directory(p)) return p;
  }
}

}  // namespace palomir::testing
