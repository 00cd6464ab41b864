#include "app/options.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>

#include "language/tr.h"
#include "platform/files.h"
#include "settings/settings.h"

namespace palomir {

namespace {
bool IsFolder(const std::string& path) {
  files::Info info;
  int error = 0;
  return files::InfoAt(path, info, error, true) && info.kind == files::Kind::kFolder;
}
}  // namespace

std::string Usage(const std::string& system_options, const std::string& settings_place,
                  const std::string& system_end) {
  std::string usage = Tr(
      "Usage: palomir [OPTION]...\n"
      "An audio-only table-hockey game: the puck, the paddles and the walls are heard.\n");
  usage += "\n";
  usage += system_options;
  std::string levels = Tr(
      "  --speech-rate=WPM         the voice's rate in words a minute, 75 to 450\n"
      "                            (default 175; F5 slower, F6 faster)\n"
      "  --speech-volume=DB        the voice's volume in decibels, -30 to 0 (default 0;\n"
      "                            F7 quieter, F8 louder)\n"
      "  --sound-volume=DB         the game's sounds in decibels, -30 to 0, or off\n"
      "                            (default 0; F9 quieter, F10 louder)\n"
      "  --background-volume=DB    the background in decibels, -30 to 0, or off\n"
      "                            (default 0; Shift+F9, Shift+F10)\n"
      "                            These four are for this game only; the keys change\n"
      "                            them for good, in ~/.config/palomir/settings\n");
  // Where this system keeps the settings file, as the catalogs have Linux's.
  const std::string linux_place = "~/.config/palomir/settings";
  if (const size_t at = levels.find(linux_place); at != std::string::npos) {
    levels.replace(at, linux_place.size(), settings_place);
  }
  usage += levels;
  usage += Tr(
      "  --host[=PORT]             host a match against a friend, on UDP port PORT\n"
      "                            (default 4510), and say where they reach it\n"
      "  --join[=ADDRESS[:PORT]]   join a friend's match; without ADDRESS it is asked\n"
      "                            for, typed and spoken back digit by digit\n"
      "  -h, --help                show this help and exit\n"
      "  -V, --version             show the version and exit\n");
  usage += "\n";
  usage += Tr(
      "Keys: F1 spoken help, F2 the sounds one by one (Escape stops either),\n"
      "F3 the score, F4 the speeds, F5..F10 as above.\n");
  usage += "\n";
  usage += system_end;
  return usage;
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  enum { kSpeech = 256, kSounds, kRecord, kTrace, kRate, kSpeechVolume, kSoundVolume,
         kBackgroundVolume, kLanguage, kHost, kJoin };
  static const option kLong[] = {
      {"speech", required_argument, nullptr, kSpeech},
      {"sounds", required_argument, nullptr, kSounds},
      {"record", required_argument, nullptr, kRecord},
      {"trace", required_argument, nullptr, kTrace},
      {"speech-rate", required_argument, nullptr, kRate},
      {"speech-volume", required_argument, nullptr, kSpeechVolume},
      {"sound-volume", required_argument, nullptr, kSoundVolume},
      {"background-volume", required_argument, nullptr, kBackgroundVolume},
      {"language", required_argument, nullptr, kLanguage},
      {"host", optional_argument, nullptr, kHost},
      {"join", optional_argument, nullptr, kJoin},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> copies = args;
  // /? is how Windows' own commands are asked for their help; it is taken on every system.
  for (size_t i = 1; i < copies.size() && copies[i] != "--"; ++i) {
    if (copies[i] == "/?") copies[i] = "--help";
  }
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  optind = 0;  // start afresh, also on a second call
  opterr = 0;  // the caller prints one message of its own
  for (;;) {
    const int c = getopt_long(static_cast<int>(copies.size()), argv.data(), "+hV", kLong, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        options.help = true;
        break;
      case 'V':
        options.version = true;
        break;
      case kSpeech: {
        const std::string v = optarg;
        if (v == "embedded") {
          options.speech = Options::Speech::kEmbedded;
        } else if (v == "system") {
          options.speech = Options::Speech::kSystem;
        } else {
          error = Fill(Tr("--speech takes embedded or system, not '%s'"), v);
          return false;
        }
        break;
      }
      case kSounds:
        options.sounds = optarg;
        if (options.sounds.empty()) {
          error = Tr("--sounds needs a folder");
          return false;
        }
        break;
      case kRecord:
      case kTrace:
        (c == kRecord ? options.record : options.trace) = optarg;
        if (!*optarg) {
          error = Fill(Tr("%s needs a file"), c == kRecord ? "--record" : "--trace");
          return false;
        }
        break;
      case kHost:
      case kJoin: {
        if (options.match != Options::Match::kNone) {
          error = Tr("--host and --join each start a match: name one of them, once");
          return false;
        }
        options.match = c == kHost ? Options::Match::kHost : Options::Match::kJoin;
        std::string v = optarg ? optarg : "";
        std::string port = c == kHost ? v : "";
        if (c == kJoin) {
          // ADDRESS or ADDRESS:PORT; the address may be asked for by voice instead.
          const size_t colon = v.rfind(':');
          if (colon != std::string::npos) {
            port = v.substr(colon + 1);
            v.resize(colon);
            if (v.empty()) {
              error = Tr("--join takes ADDRESS or ADDRESS:PORT, such as 192.168.1.20:4510");
              return false;
            }
          }
          options.address = v;
        }
        if (!port.empty() || (c == kHost && optarg && !*optarg)) {
          char* end = nullptr;
          const long n = std::strtol(port.c_str(), &end, 10);
          if (port.empty() || *end != '\0' || n < 1 || n > 65535) {
            error = Fill(Tr("%s takes a port from 1 to 65535, not '%s'"),
                         c == kHost ? "--host" : "--join", port);
            return false;
          }
          options.port = static_cast<int>(n);
        }
        break;
      }
      case kLanguage:
        options.language = optarg;
        if (options.language->empty()) {
          error = Tr("--language needs a language, such as de or pt_BR");
          return false;
        }
        break;
      case kRate:
      case kSpeechVolume:
      case kSoundVolume:
      case kBackgroundVolume: {
        using N = Settings::Name;
        const N name = c == kRate           ? N::kSpeechRate
                       : c == kSpeechVolume ? N::kSpeechVolume
                       : c == kSoundVolume  ? N::kSoundVolume
                                            : N::kBackgroundVolume;
        const auto value = ParseValue(name, optarg);
        if (!value) {
          error = Fill(Tr("--%s takes %s, not '%s'"), NameOf(name), RangeText(name), optarg);
          return false;
        }
        (c == kRate           ? options.speech_rate
         : c == kSpeechVolume ? options.speech_volume
         : c == kSoundVolume  ? options.sound_volume
                              : options.background_volume) = *value;
        break;
      }
      default: {
        const std::string arg = optind > 0 && optind <= static_cast<int>(copies.size())
                                    ? copies[optind - 1]
                                    : std::string();
        if ((optopt == 'h' || optopt == 'V') && arg.rfind("--", 0) == 0) {
          error = Fill(Tr("option '%s' takes no value"), arg.substr(0, arg.find('=')));
        } else if (optopt >= kSpeech) {
          error = Fill(Tr("option '%s' needs a value"), arg);
        } else if (optopt != 0) {
          const char shown[] = {'-', static_cast<char>(optopt), '\0'};
          error = Fill(Tr("unknown option '%s'"), shown);
        } else {
          error = Fill(Tr("unknown option '%s'"), arg);
        }
        return false;
      }
    }
  }
  if (optind < static_cast<int>(copies.size())) {
    error = Fill(Tr("unexpected argument '%s'"), copies[optind]);
    return false;
  }
  return true;
}

std::string FindSounds(const std::string& program_folder, const std::string& asked) {
  if (!asked.empty()) return asked;
  const std::string beside = program_folder + "/sounds";
  if (IsFolder(beside)) return beside;
  const std::string installed = program_folder + "/../share/palomir/sounds";
  if (IsFolder(installed)) {
    const std::string resolved = files::Resolved(installed);
    return resolved.empty() ? installed : resolved;
  }
  return beside;  // neither: the message names the first place looked
}

}  // namespace palomir
