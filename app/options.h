// The command line: what the player asked for, read with getopt_long.
//
// Threads: the main thread, as the game starts (getopt_long keeps its place in globals).
// Nothing here blocks but FindSounds, which looks at the disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace palomir {

struct Options {
  enum class Speech { kEmbedded, kSystem };
  Speech speech = Speech::kEmbedded;
  std::string sounds;  // empty: found beside the program or in the installed layout
  std::string record;  // where to write a recording of the game, empty for none
  std::string trace;   // where to write every platform call and spoken line, empty for none
  // The player's settings for this run only, over the settings file's.
  std::optional<int> speech_rate, speech_volume, sound_volume, background_volume;
  // The language the player named ("de", "pt_BR"), over the settings file's and the desktop's.
  std::optional<std::string> language;
  // A match against a friend: hosted on `port`, or joined at `address` (empty: asked by voice).
  enum class Match { kNone, kHost, kJoin };
  Match match = Match::kNone;
  std::string address;
  std::optional<int> port;
  bool help = false;
  bool version = false;
};

// Reads the arguments. False on bad usage, with `error` saying what was wrong.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The --help text, with the system's own option lines, where it keeps the settings file and
// its last lines (app/start.h).
std::string Usage(const std::string& system_options, const std::string& settings_place,
                  const std::string& system_end);

// Where the ten sounds are: `asked` when given, else the folder "sounds" beside the program
// (a build tree), else share/palomir/sounds in the prefix the program is installed in.
std::string FindSounds(const std::string& program_folder, const std::string& asked);

}  // namespace palomir
