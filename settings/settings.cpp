#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
// Windows: the same file calls, with wide-character names, binary files and a rename that
// replaces the earlier file; the settings live in %APPDATA%\Palomir.
#include "platform/win32/files.h"
namespace palomir {
using win32::fsync, win32::mkdir, win32::open, win32::rename, win32::unlink;
}
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace palomir {

namespace {
constexpr Settings::Name kNames[] = {Settings::Name::kSpeechRate, Settings::Name::kSpeechVolume,
                                     Settings::Name::kSoundVolume,
                                     Settings::Name::kBackgroundVolume};

bool IsVolume(Settings::Name n) {
  return n != Settings::Name::kSpeechRate;
}
bool CanBeOff(Settings::Name n) {
  return n == Settings::Name::kSoundVolume || n == Settings::Name::kBackgroundVolume;
}
int Lowest(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate: return Settings::kRateLowest;
    case Settings::Name::kSpeechVolume: return Settings::kSpeechLowest;
    default: return Settings::kSoundLowest;
  }
}
int Highest(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate: return Settings::kRateHighest;
    case Settings::Name::kSpeechVolume: return Settings::kSpeechHighest;
    default: return Settings::kSoundHighest;
  }
}
int StepOf(Settings::Name n) {
  return IsVolume(n) ? Settings::kDbStep : Settings::kRateStep;
}
std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}
}  // namespace

int& Settings::Of(Name n) {
  switch (n) {
    case Name::kSpeechRate: return speech_rate;
    case Name::kSpeechVolume: return speech_volume;
    case Name::kSoundVolume: return sound_volume;
    case Name::kBackgroundVolume: break;
  }
  return background_volume;
}

bool Settings::Step(Name n, int direction) {
  int& v = Of(n);
  const int step = StepOf(n);
  int next = v;
  if (v == kVolumeOff) {
    if (direction < 0) return false;
    next = Lowest(n);
  } else if (direction < 0 && v - step < Lowest(n)) {
    if (!CanBeOff(n)) {
      next = Lowest(n);
    } else {
      next = kVolumeOff;
    }
  } else {
    next = direction > 0 ? std::min(v + step, Highest(n)) : v - step;
  }
  if (next == v) return false;
  v = next;
  return true;
}

const char* NameOf(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate: return "speech-rate";
    case Settings::Name::kSpeechVolume: return "speech-volume";
    case Settings::Name::kSoundVolume: return "sound-volume";
    case Settings::Name::kBackgroundVolume: break;
  }
  return "background-volume";
}

std::string ValueText(Settings::Name, int value) {
  return value == kVolumeOff ? "off" : std::to_string(value);
}

std::optional<int> ParseValue(Settings::Name n, const std::string& text) {
  if (text == "off") {
    if (CanBeOff(n)) return kVolumeOff;
    return std::nullopt;
  }
  std::string t = text;
  if (IsVolume(n) && t.size() > 2 && (t.ends_with("dB") || t.ends_with("db"))) {
    t = Trim(t.substr(0, t.size() - 2));
  }
  if (t.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(t.c_str(), &end, 10);
  if (errno != 0 || end != t.c_str() + t.size()) return std::nullopt;
  if (v < Lowest(n) || v > Highest(n)) return std::nullopt;
  return static_cast<int>(v);
}

std::string RangeText(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate:
      return "words a minute, 75 to 450 (default 175)";
    case Settings::Name::kSpeechVolume:
      return "decibels, -30 to 0 (default 0)";
    default:
      return "decibels, -30 to 0, or off (default 0)";
  }
}

std::string SettingsPath() {
#ifdef _WIN32
  return win32::SettingsPath();
#endif
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/palomir/settings";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/palomir/settings";
  return "";
}

Settings SettingsFile::Load(std::string& problem) {
  Settings s;
  problem.clear();
  bad_ = false;
  if (path_.empty()) return s;
#ifdef _WIN32
  std::ifstream in(win32::PathOf(path_));
#else
  std::ifstream in(path_);
#endif
  if (!in) {
    if (errno == ENOENT) return s;
    bad_ = true;
    problem = "the settings file " + path_ + " cannot be read (" + std::strerror(errno) +
              "); playing with the usual settings";
    return s;
  }
  std::string line;
  int number = 0;
  std::string first_wrong;
  while (std::getline(in, line)) {
    ++number;
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    if (Trim(line).empty()) continue;
    const auto eq = line.find('=');
    bool taken = false;
    if (eq != std::string::npos) {
      const std::string name = Trim(line.substr(0, eq));
      for (Settings::Name n : kNames) {
        if (name != NameOf(n)) continue;
        if (auto v = ParseValue(n, Trim(line.substr(eq + 1)))) {
          s.Of(n) = *v;
          taken = true;
        }
      }
    }
    if (!taken && first_wrong.empty()) first_wrong = "line " + std::to_string(number);
  }
  if (in.bad()) first_wrong = "it cannot be read to its end";
  if (!first_wrong.empty()) {
    bad_ = true;
    problem = "the settings file " + path_ + " is not right at " + first_wrong +
              "; the usual settings are used for what is wrong there, and the file is kept "
              "as " + path_ + ".bad when a setting is changed";
  }
  return s;
}

bool SettingsFile::Save(const Settings& s, std::string& kept_as, std::string& error) {
  kept_as.clear();
  if (path_.empty()) {
#ifdef _WIN32
    error = "the settings cannot be kept: APPDATA is not set";
#else
    error = "the settings cannot be kept: neither XDG_CONFIG_HOME nor HOME is set";
#endif
    return false;
  }
  // Every folder on the way is made, as far as the player may.
#ifdef _WIN32
  win32::MakeFoldersFor(path_);
#else
  const auto slash = path_.find_last_of('/');
  const std::string folder = path_.substr(0, slash);
  for (size_t at = 1; at != std::string::npos && at <= folder.size();) {
    at = folder.find('/', at);
    const std::string part = folder.substr(0, at == std::string::npos ? folder.size() : at);
    mkdir(part.c_str(), 0700);
    if (at != std::string::npos) ++at;
  }
#endif
  if (bad_) {
    const std::string aside = path_ + ".bad";
    if (rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      error = "the settings are not kept: " + path_ + " could not be set aside as " + aside +
              " (" + std::strerror(errno) + ")";
      return false;
    }
    bad_ = false;
    kept_as = aside;
  }
  std::ostringstream text;
  text << "# Palomir's settings, written by the game when you change one (F5 to F10).\n";
  for (Settings::Name n : kNames) {
    text << NameOf(n) << " = " << ValueText(n, s.Of(n)) << "  # " << RangeText(n) << "\n";
  }
  const std::string body = text.str();
  const std::string temp = path_ + ".new";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0;
  if (written) {
    written = write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) &&
              fsync(fd) == 0;
    written = close(fd) == 0 && written;
  }
  if (!written || rename(temp.c_str(), path_.c_str()) != 0) {
    error = "the settings could not be written to " + path_ + " (" + std::strerror(errno) + ")";
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace palomir
