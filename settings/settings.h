// The player's own settings: how fast and how loud the voice speaks, how loud the game's
// sounds and the background are, and what a gamepad's rumble lets the player feel. None of them is a rule of play. Kept between games
// in a small text file of "name = value" lines; options override them for one run.
//
// Threads: Settings and the functions beside it are for any thread and never block.
// SettingsFile is the game thread's, but for Save; only Load, Save, Wait and its destructor
// block (see each).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace palomir {

// Silence, for the game's sounds and the background ("off").
inline constexpr int kVolumeOff = -1000;

struct Settings {
  static constexpr int kRateDefault = 175, kRateLowest = 75, kRateHighest = 450, kRateStep = 25;
  // Decibels against the level the game always had, never above it: the mix must not clip,
  // and the limiter is there to catch a stray peak, not to set a level. The sounds go down to
  // silence; the voice stops short of it, so that its own confirmations stay heard.
  static constexpr int kDbStep = 3;
  static constexpr int kSpeechLowest = -30, kSpeechHighest = 0;
  static constexpr int kSoundLowest = -30, kSoundHighest = 0;

  int speech_rate = kRateDefault;  // words a minute
  int speech_volume = 0;           // dB
  int sound_volume = 0;            // dB, or kVolumeOff
  int background_volume = 0;       // dB, or kVolumeOff
  // A gamepad's rumble: its strength in percent (0 is none), and each kind on (1) or off (0).
  static constexpr int kRumbleStep = 25;
  int rumble = 75;
  int rumble_hits = 1;
  int rumble_walls = 1;
  int rumble_goals = 1;
  int rumble_near = 0;  // the puck coming near: off unless the player wants it
  bool operator==(const Settings&) const = default;

  enum class Name {
    kSpeechRate,
    kSpeechVolume,
    kSoundVolume,
    kBackgroundVolume,
    kRumble,
    kRumbleHits,
    kRumbleWalls,
    kRumbleGoals,
    kRumbleNear
  };
  // Every setting, in the file's order.
  static const std::vector<Name>& Names();
  // A setting that is on or off ("on", "off"); Step turns it over.
  static bool IsSwitch(Name n) { return n >= Name::kRumbleHits; }
  int& Of(Name n);
  int Of(Name n) const { return const_cast<Settings*>(this)->Of(n); }
  // One step up (+1) or down (-1), within the setting's range; false when already at its end.
  bool Step(Name n, int direction);
};

// The option's or the file's name of a setting ("speech-rate", "rumble-near").
const char* NameOf(Settings::Name n);
// A value as written in the file and on the command line: "175", "-6", "off", "on".
std::string ValueText(Settings::Name n, int value);
// Reads a value; nothing when it is not one this setting takes.
std::optional<int> ParseValue(Settings::Name n, const std::string& text);
// What a value means, for --help and messages: "words a minute, 75 to 450".
std::string RangeText(Settings::Name n);

// The settings file: $XDG_CONFIG_HOME/palomir/settings, or ~/.config/palomir/settings.
// Empty when neither variable gives a folder; `why` then says so in the player's words.
std::string SettingsPath(std::string* why = nullptr);

// The settings file. Only a plain file of a few kilobytes is read, and only the game's own
// new file ever takes its place: a folder, a pipe or a device by that name, or a read-only
// file, is left as it is; a file that is a link is written where the link leads. Two games
// at once each change only the values their player changed.
class SettingsFile {
 public:
  // What a save changes: the settings the player changed, and their new values.
  using Changes = std::map<Settings::Name, int>;

  explicit SettingsFile(std::string path, std::string why_none = "");
  // The changes not yet written are written first, waiting a moment at most (2.5 s).
  ~SettingsFile();
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;

  // Reads the file. No file: the defaults, and nothing to say. A file that cannot be read,
  // is not a plain file, is too large or has a line that is not a setting: the defaults for
  // what is wrong, and one line for the player in `problem`. A file that is not right is
  // set aside (PATH.bad, PATH.bad.1, ...), never overwritten, before a new one is written.
  // A file that is a link is read and written where it leads, the link kept; what is there
  // is rewritten only where it holds settings or nothing, and otherwise left as it is, as is
  // a link that leads nowhere (the settings then last for the game). What a game stopped
  // while it saved left in the folder is removed.
  // Game thread, as the game starts; blocks on the disk, and waits for another game writing
  // the file.
  Settings Load(std::string& problem);
  // Writes `changes` into the file as it stands now (another game may have changed other
  // values meanwhile): a new file, made in the same folder under a name of its own, then
  // renamed over the old. `kept_as` names a bad file set aside. False with `error` for the
  // player when it cannot be written. Any thread; blocks on the disk, and waits for another
  // game writing the file.
  bool Save(const Changes& changes, std::string& kept_as, std::string& error);
  // Game thread: the change is written soon on a thread of its own, several at once when
  // they come quickly; what the player must know goes to `tell`, a failure once. Never waits
  // for the disk.
  void Change(Settings::Name name, int value);
  // Until every change is written, at most `seconds`: whether they are. Blocks that long.
  bool Wait(double seconds);
  // Before the first Change: `tell` is called on the file's own thread.
  void set_tell(std::function<void(const std::string&)> tell);
  // Game thread: what the player must also hear (a failure to write), in a few words, once.
  std::vector<std::string> TakeSpoken();
  const std::string& path() const { return path_; }
  // The file's "language = de" as written (kept when the file is written again); "" for
  // none, where the desktop's language stands.
  const std::string& language() const { return language_; }
  // The file's "match = host" (or "host=PORT", "join", "join=ADDRESS[:PORT]", as the options
  // --host and --join take them) as written; "" for none: a game against the computer.
  const std::string& match() const { return match_; }

 private:
  struct Saver;
  std::string path_;
  std::string why_none_;
  std::string language_;
  std::string match_;
  std::shared_ptr<Saver> saver_;
};

}  // namespace palomir
