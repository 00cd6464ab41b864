#include "settings/settings.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "language/tr.h"
#include "platform/files.h"
namespace palomir {

namespace {
bool IsVolume(Settings::Name n) {
  return n != Settings::Name::kSpeechRate && n < Settings::Name::kRumble;
}
bool CanBeOff(Settings::Name n) {
  return n == Settings::Name::kSoundVolume || n == Settings::Name::kBackgroundVolume;
}
int Lowest(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate: return Settings::kRateLowest;
    case Settings::Name::kSpeechVolume: return Settings::kSpeechLowest;
    case Settings::Name::kRumble: return 0;
    default: return Settings::kSoundLowest;
  }
}
int Highest(Settings::Name n) {
  switch (n) {
    case Settings::Name::kSpeechRate: return Settings::kRateHighest;
    case Settings::Name::kSpeechVolume: return Settings::kSpeechHighest;
    case Settings::Name::kRumble: return 100;
    default: return Settings::kSoundHighest;
  }
}
int StepOf(Settings::Name n) {
  if (n == Settings::Name::kRumble) return Settings::kRumbleStep;
  return IsVolume(n) ? Settings::kDbStep : Settings::kRateStep;
}
std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}
}  // namespace

const std::vector<Settings::Name>& Settings::Names() {
  static const std::vector<Name> names = {
      Name::kSpeechRate, Name::kSpeechVolume, Name::kSoundVolume, Name::kBackgroundVolume,
      Name::kRumble,     Name::kRumbleHits,   Name::kRumbleWalls, Name::kRumbleGoals,
      Name::kRumbleNear};
  return names;
}

int& Settings::Of(Name n) {
  switch (n) {
    case Name::kSpeechRate: return speech_rate;
    case Name::kSpeechVolume: return speech_volume;
    case Name::kSoundVolume: return sound_volume;
    case Name::kBackgroundVolume: return background_volume;
    case Name::kRumble: return rumble;
    case Name::kRumbleHits: return rumble_hits;
    case Name::kRumbleWalls: return rumble_walls;
    case Name::kRumbleGoals: return rumble_goals;
    case Name::kRumbleNear: break;
  }
  return rumble_near;
}

bool Settings::Step(Name n, int direction) {
  int& v = Of(n);
  if (IsSwitch(n)) {
    v = v ? 0 : 1;
    return true;
  }
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
    case Settings::Name::kBackgroundVolume: return "background-volume";
    case Settings::Name::kRumble: return "rumble";
    case Settings::Name::kRumbleHits: return "rumble-hits";
    case Settings::Name::kRumbleWalls: return "rumble-walls";
    case Settings::Name::kRumbleGoals: return "rumble-goals";
    case Settings::Name::kRumbleNear: break;
  }
  return "rumble-near";
}

std::string ValueText(Settings::Name n, int value) {
  if (Settings::IsSwitch(n)) return value ? "on" : "off";
  return value == kVolumeOff ? "off" : std::to_string(value);
}

std::optional<int> ParseValue(Settings::Name n, const std::string& text) {
  if (Settings::IsSwitch(n)) {
    if (text == "on" || text == "off") return text == "on" ? 1 : 0;
    return std::nullopt;
  }
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
      return Tr("words a minute, 75 to 450 (default 175)");
    case Settings::Name::kSpeechVolume:
      return Tr("decibels, -30 to 0 (default 0)");
    case Settings::Name::kRumble:
      // TRANSLATORS: the settings file's note on a gamepad's rumble strength.
      return Tr("percent, 0 to 100 (default 75)");
    case Settings::Name::kRumbleHits:
    case Settings::Name::kRumbleWalls:
    case Settings::Name::kRumbleGoals:
      // TRANSLATORS: the settings file's note on one kind of rumble; on and off stay as they are.
      return Tr("on or off (default on)");
    case Settings::Name::kRumbleNear:
      return Tr("on or off (default off)");
    default:
      return Tr("decibels, -30 to 0, or off (default 0)");
  }
}

std::string SettingsPath(std::string* why) {
  return files::SettingsFile(why);
}

namespace {

// A real settings file is about 300 bytes.
constexpr uint64_t kLargest = 4096;

// What is found at a settings file's name.
struct Found {
  enum class State { kMissing, kRead, kBad, kLeftAlone } state = State::kMissing;
  Settings settings;
  files::Info info;
  std::string problem;  // for kBad and kLeftAlone, in the player's words
  std::string left_alone;  // for kLeftAlone: what is there, without what follows
  std::string language;    // the file's "language = de" as written, or ""
  std::string match;       // the file's "match = host" as written, or ""
};

// What is at the settings file's name when it is not a plain file, as a whole clause.
std::string NotPlain(const std::string& path, files::Kind kind) {
  switch (kind) {
    case files::Kind::kFolder:
      return Fill(Tr("the settings file %s is a folder, not a plain file"), path);
    case files::Kind::kPipe:
      return Fill(Tr("the settings file %s is a pipe, not a plain file"), path);
    case files::Kind::kTerminal:
    case files::Kind::kDevice:
      return Fill(Tr("the settings file %s is a device, not a plain file"), path);
    default:
      return Fill(Tr("the settings file %s is not a plain file"), path);
  }
}

// Reads the file without ever waiting on it (a FIFO by that name included) and no more of it
// than a settings file can be. `link`: the settings file's name where it is a link that leads
// to `path`; what is there then is the game's to rewrite only where it holds settings (or
// nothing), else it is left alone, whatever it is.
Found Read(const std::string& path, const std::string& link = "") {
  Found f;
  int error = 0;
  // What is not a plain file is never opened at all: opening some devices does something.
  files::Info first;
  const bool plain = !files::InfoAt(path, first, error, true) || first.kind == files::Kind::kPlain ||
                     first.kind == files::Kind::kMissing;
  const int fd = plain ? files::OpenFile(path, files::kRead | files::kNoWait, error) : -1;
  if (!plain) f.info = first;
  if (fd < 0 && (error == ENOENT || error == ENOTDIR)) return f;  // no file, or no folder
  int settings_lines = 0;
  // `what` is a whole clause naming the file; what follows is the same for every fault.
  auto bad = [&](const std::string& what, bool in_part = false) {
    if (!link.empty() && !(in_part && settings_lines > 0)) {
      f.state = Found::State::kLeftAlone;
      f.left_alone =
          in_part ? Fill(Tr("the settings file %1$s leads to %2$s, which does not hold the "
                            "game's settings"),
                         link, path)
                  // TRANSLATORS: %1$s is "the settings file PATH cannot be read (WHY)" or the
                  // like; %2$s is the link that leads to PATH.
                  : Fill(Tr("%1$s, where the link %2$s leads"), what, link);
      f.problem = Fill(Tr("%s; it is left as it is, and the settings last for this game only"),
                       f.left_alone);
      return;
    }
    f.state = Found::State::kBad;
    // TRANSLATORS: %1$s is one of the lines "the settings file PATH cannot be read (WHY)",
    // "... is not right at line N" and so on; %2$s is the file's path.
    f.problem = in_part ? Fill(Tr("%1$s; the usual settings are used for what is wrong there, and "
                                  "the file is kept as %2$s.bad (or the next free number) when a "
                                  "setting is changed"),
                               what, path)
                        : Fill(Tr("%1$s; the usual settings are used, and the file is kept as "
                                  "%2$s.bad (or the next free number) when a setting is changed"),
                               what, path);
  };
  if (plain && (fd < 0 || !files::InfoOf(fd, f.info, error))) {
    bad(Fill(Tr("the settings file %s cannot be read (%s)"), path, std::strerror(error)));
    files::Close(fd);
    return f;
  }
  if (f.info.kind != files::Kind::kPlain) {
    f.state = Found::State::kLeftAlone;
    f.left_alone = NotPlain(path, f.info.kind);
    if (!link.empty()) f.left_alone = Fill(Tr("%1$s, where the link %2$s leads"), f.left_alone, link);
    // TRANSLATORS: %s is "the settings file PATH is a folder, not a plain file" or the like.
    f.problem = Fill(Tr("%s; it is left as it is, and the settings last for this game only"),
                     f.left_alone);
    files::Close(fd);
    return f;
  }
  if (f.info.size > kLargest) {
    bad(Fill(TrN("the settings file %s is %llu byte, too large to be the game's settings",
                 "the settings file %s is %llu bytes, too large to be the game's settings",
                 static_cast<unsigned long>(f.info.size)),
             path, static_cast<unsigned long long>(f.info.size)));
    files::Close(fd);
    return f;
  }
  std::string text(kLargest + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const long n = files::ReadSome(fd, text.data() + got, text.size() - got, error);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  files::Close(fd);
  if (error) {
    bad(Fill(Tr("the settings file %s cannot be read to its end (%s)"), path,
             std::strerror(error)));
    return f;
  }
  if (got > kLargest) {
    bad(Fill(Tr("the settings file %s is larger than the game's settings can be"), path));
    return f;
  }
  text.resize(got);
  // A byte-order mark, which some editors put before UTF-8, is not part of the first line.
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  f.state = Found::State::kRead;
  std::istringstream in(text);
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
      // The language is kept as written: the game says so once if it has no such language.
      // Left empty, it is the usual choice. So is a match to play (the game reads it).
      if (name == "language" || name == "match") {
        (name == "language" ? f.language : f.match) = Trim(line.substr(eq + 1));
        taken = true;
      }
      for (Settings::Name n : Settings::Names()) {
        if (name != NameOf(n)) continue;
        if (auto v = ParseValue(n, Trim(line.substr(eq + 1)))) {
          f.settings.Of(n) = *v;
          taken = true;
        }
      }
    }
    if (taken) ++settings_lines;
    if (!taken && first_wrong.empty()) first_wrong = Fill(Tr("line %d"), number);
  }
  if (!first_wrong.empty()) {
    // TRANSLATORS: the second %s is "line %d" as translated there.
    bad(Fill(Tr("the settings file %s is not right at %s"), path, first_wrong), true);
  }
  return f;
}

// Where the settings are read and written: `path`, or where it leads when it is a link (kept
// with the player's other dotfiles), the link then in `link`; "" for a link that leads
// nowhere (or round in a loop).
std::string Through(const std::string& path, std::string& link) {
  link.clear();
  files::Info at;
  int failed = 0;
  if (!files::InfoAt(path, at, failed) || at.kind != files::Kind::kLink) return path;
  link = path;
  return files::Resolved(path);
}

// The files a game stopped while it saved left behind (".settings-" and six letters, made
// by CreateUnique): removed while no other game is saving there. A folder that cannot be
// locked keeps them, as another game may be writing one.
void RemoveLeftovers(const std::string& folder) {
  const int lock = files::LockFolder(folder);
  if (lock < 0) return;
  const std::string prefix = ".settings-";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(std::u8string(folder.begin(), folder.end())), error)) {
    const std::u8string name = entry.path().filename().u8string();
    if (name.size() != prefix.size() + 6 ||
        std::string(name.begin(), name.begin() + prefix.size()) != prefix) {
      continue;
    }
    const std::u8string whole = entry.path().u8string();
    const std::string path(whole.begin(), whole.end());
    files::Info info;
    int failed = 0;
    if (files::InfoAt(path, info, failed) && info.kind == files::Kind::kPlain) {
      files::RemoveIfSame(path, info.id);
    }
  }
  files::Unlock(lock);
}

// Every folder on the way is made, as far as the player may: "" or what went wrong.
// The root ("/", "C:\", a network folder's "\\server\share\") is the system's: made by nobody.
std::string MakeFolders(const std::string& folder) {
  for (size_t at = std::max<size_t>(1, files::RootLength(folder));
       at != std::string::npos && at <= folder.size();) {
    at = folder.find_first_of(files::kSeparators, at);
    const std::string part = folder.substr(0, at == std::string::npos ? folder.size() : at);
    if (at != std::string::npos) ++at;
    const int error = files::MakeFolder(part);
    if (error == 0) continue;
    files::Info there;
    int ignored = 0;
    if (error == EEXIST && files::InfoAt(part, there, ignored, true) &&
        there.kind == files::Kind::kFolder) {
      continue;
    }
    return Fill(Tr("the settings cannot be kept: the folder %s could not be made (%s)"), part,
                error == EEXIST ? std::string(Tr("a file of that name is there"))
                                : std::string(std::strerror(error)));
  }
  return "";
}

std::string Text(const Settings& s, const std::string& language, const std::string& match) {
  std::ostringstream text;
  text << "# Palomir's settings, written by the game when you change one (F5 to F12, Home, End,\n"
          "# Page Up, Page Down).\n";
  for (Settings::Name n : Settings::Names()) {
    text << NameOf(n) << " = " << ValueText(n, s.Of(n)) << "  # " << RangeText(n) << "\n";
  }
  if (!language.empty()) text << "language = " << language << "\n";
  if (!match.empty()) text << "match = " << match << "\n";
  return text.str();
}

}  // namespace

static bool SaveTo(const std::string& path, const std::string& why_none,
                   const SettingsFile::Changes& changes, std::string& kept_as,
                   std::string& error);

// The thread that writes the changes, so that a slow disk never holds play. It owns what it
// needs: a thread still writing as the game ends finishes on its own.
struct SettingsFile::Saver {
  std::mutex lock;
  std::condition_variable wake, done;
  Changes pending;
  bool busy = false, quit = false, told = false;
  std::function<void(const std::string&)> tell;
  std::vector<std::string> spoken;  // for the game thread to say, in a few words
  std::thread thread;

  static void Run(std::shared_ptr<Saver> s, std::string path, std::string why_none) {
    std::unique_lock l(s->lock);
    for (;;) {
      s->wake.wait(l, [&] { return s->quit || !s->pending.empty(); });
      if (s->pending.empty()) break;
      Changes changes;
      changes.swap(s->pending);
      s->busy = true;
      l.unlock();
      std::string kept_as, error;
      const bool saved = SaveTo(path, why_none, changes, kept_as, error);
      l.lock();
      std::vector<std::string> said;
      if (!kept_as.empty()) {
        said.push_back(Fill(Tr("the settings file that was not right is kept as %s; a new %s "
                               "holds your settings"),
                            kept_as, path));
      }
      if (!saved && !s->told) {
        s->told = true;
        said.push_back(Fill(Tr("%s; the settings last for this game only"), error));
        // TRANSLATORS: spoken when a changed setting cannot be written; short, no symbols.
        s->spoken.push_back(Tr("Your settings could not be kept. They last for this game only."));
      }
      // Told without the lock: a stderr nobody reads never holds a change the game makes.
      const auto tell = s->tell;
      l.unlock();
      for (const std::string& line : said) {
        if (tell) tell(line);
      }
      l.lock();
      s->busy = false;
      s->done.notify_all();
    }
  }
};

SettingsFile::SettingsFile(std::string path, std::string why_none)
    : path_(std::move(path)), why_none_(std::move(why_none)), saver_(std::make_shared<Saver>()) {}

SettingsFile::~SettingsFile() {
  Wait(2);
  {
    std::lock_guard g(saver_->lock);
    saver_->quit = true;
    saver_->pending.clear();
  }
  saver_->wake.notify_all();
  if (!saver_->thread.joinable()) return;
  if (Wait(0.5)) {
    saver_->thread.join();
  } else {
    saver_->thread.detach();  // a folder that never answers: it ends with the program
  }
}

void SettingsFile::set_tell(std::function<void(const std::string&)> tell) {
  std::lock_guard g(saver_->lock);
  saver_->tell = std::move(tell);
}

std::vector<std::string> SettingsFile::TakeSpoken() {
  std::lock_guard g(saver_->lock);
  return std::exchange(saver_->spoken, {});
}

void SettingsFile::Change(Settings::Name name, int value) {
  std::lock_guard g(saver_->lock);
  saver_->pending[name] = value;
  if (!saver_->thread.joinable()) saver_->thread = std::thread(Saver::Run, saver_, path_, why_none_);
  saver_->wake.notify_all();
}

bool SettingsFile::Wait(double seconds) {
  std::unique_lock l(saver_->lock);
  return saver_->done.wait_for(l, std::chrono::duration<double>(seconds),
                               [&] { return saver_->pending.empty() && !saver_->busy; });
}

Settings SettingsFile::Load(std::string& problem) {
  problem.clear();
  if (path_.empty()) return Settings{};
  std::string link;
  const std::string target = Through(path_, link);
  if (target.empty()) {
    problem = Fill(Tr("the settings file %s is a link that leads nowhere; it is left as it is, "
                      "and the settings last for this game only"),
                   path_);
    return Settings{};
  }
  Found f = Read(target, link);
  problem = f.problem;
  language_ = f.language;
  match_ = f.match;
  if (f.state == Found::State::kLeftAlone) return Settings{};
  // Only a folder the game writes its settings in has its leftovers: where a link leads to
  // something else, the folder is the player's (or the system's) and nothing there is ours.
  RemoveLeftovers(files::FolderOf(target));
  return f.settings;
}

bool SettingsFile::Save(const Changes& changes, std::string& kept_as, std::string& error) {
  return SaveTo(path_, why_none_, changes, kept_as, error);
}

static bool SaveTo(const std::string& path, const std::string& why_none,
                   const SettingsFile::Changes& changes, std::string& kept_as,
                   std::string& error) {
  kept_as.clear();
  if (path.empty()) {
    error = why_none.empty()
                ? std::string(Tr("the settings cannot be kept: neither XDG_CONFIG_HOME nor HOME is set"))
                : why_none;
    return false;
  }
  error = MakeFolders(files::FolderOf(path));
  if (!error.empty()) return false;
  // A settings file that is a link is written where it leads, and stays a link.
  std::string link;
  const std::string target = Through(path, link);
  if (target.empty()) {
    error = Fill(Tr("the settings file %s is a link that leads nowhere; it is left as it is"), path);
    return false;
  }
  files::Info at;
  int failed = 0;
  const std::string folder = files::FolderOf(target);
  // Another game writing its change meanwhile is waited for; this one then adds its own.
  const int lock = files::LockFolder(folder);
  struct Unlock {
    int lock;
    ~Unlock() { files::Unlock(lock); }
  } unlock{lock};
  Found f = Read(target, link);
  if (f.state == Found::State::kLeftAlone) {
    // TRANSLATORS: %s is "the settings file PATH is a folder, not a plain file" or the like.
    error = Fill(Tr("%s; it is left as it is"), f.left_alone);
    return false;
  }
  if (f.state != Found::State::kMissing && !f.info.writable) {
    error = Fill(Tr("the settings file %s is read-only, so the game leaves it as it is"), target);
    return false;
  }
  Settings s = f.settings;
  for (const auto& [name, value] : changes) s.Of(name) = value;
  // The language and match lines are the file's as they stand, kept as the player wrote them.
  const std::string body = Text(s, f.language, f.match);
  // The new file is written whole before anything else changes: a full disk leaves the old
  // one where it is.
  std::string temp;
  const int fd = files::CreateUnique(folder, ".settings-", temp, failed);
  files::Info made;
  bool written = fd >= 0 && files::InfoOf(fd, made, failed) &&
                 files::WriteAll(fd, body.data(), body.size(), failed) && files::Sync(fd, failed);
  if (written && f.state != Found::State::kMissing) files::KeepMode(fd, f.info.mode);
  files::Close(fd);
  auto give_up = [&](int why) {
    error = Fill(Tr("the settings could not be written to %s (%s)"), target, std::strerror(why));
    if (fd >= 0) files::RemoveIfSame(temp, made.id);
    return false;
  };
  if (!written) return give_up(failed);
  if (f.state == Found::State::kBad) {
    for (int n = 0; n < 100 && kept_as.empty(); ++n) {
      std::string aside = target + ".bad";
      if (n > 0) aside.append(".").append(std::to_string(n));
      const int r = files::RenameNoReplace(target, aside);
      if (r == 0) kept_as = aside;
      if (r == ENOENT) break;  // gone meanwhile: nothing to keep
      if (r != 0 && r != EEXIST) return give_up(r);
    }
    if (kept_as.empty() && files::InfoAt(target, at, failed) && at.kind != files::Kind::kMissing) {
      return give_up(EEXIST);  // a hundred kept already
    }
  }
  if (const int r = files::RenameOver(temp, target); r != 0) return give_up(r);
  return true;
}

}  // namespace palomir
