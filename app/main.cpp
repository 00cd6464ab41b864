// The program's entry: reads the command line, makes the window, lets it load, and runs the
// message loop until the window is unloaded, by the player's N or by closing it.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/run.h"
#include "app/start.h"
#include "game/main_form.h"
#include "language/language.h"
#include "language/tr.h"
#include "match/match_play.h"
#include "platform/arith.h"
#include "platform/call_log.h"
#include "platform/files.h"
#include "platform/line_file.h"
#include "platform/recording.h"
#include "settings/settings.h"

namespace {

// The start of what --record and --trace write, by which a file of this game is known.
bool IsRecording(const std::string& first_line) {
  return first_line.rfind("# palomir ", 0) == 0 &&
         first_line.find(" recording") != std::string::npos;
}
bool IsTrace(const std::string& first_line) {
  return first_line.rfind("# palomir ", 0) == 0 && first_line.find(" trace") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  namespace start = palomir::start;
  const std::vector<std::string> arguments = start::Begin(argc, argv);
  using palomir::Tr;
  const std::string folder = start::ProgramFolder();
  // The desktop's language first, so that a bad command line is answered in it too.
  const std::string locales = palomir::LocaleFolder(folder);
  const std::vector<std::string> catalogs = palomir::CatalogsIn(locales);
  palomir::UseLanguage(palomir::CatalogFor(start::DesktopLanguage(catalogs), catalogs).value_or(""),
                       locales);
  // A language named on the command line answers a bad command line too.
  for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) {
    const std::string& arg = arguments[i];
    const std::string named = arg.rfind("--language=", 0) == 0                   ? arg.substr(11)
                              : arg == "--language" && i + 1 < arguments.size() ? arguments[i + 1]
                                                                                : "";
    if (const auto code = palomir::CatalogFor(named, catalogs); !named.empty() && code) {
      palomir::UseLanguage(*code, locales);
    }
  }
  palomir::Options options;
  std::string error;
  if (!palomir::ParseOptions(arguments, options, error)) {
    std::cerr << "palomir: " << error << "\n"
              << Tr("Try 'palomir --help' for more information.") << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << palomir::Usage(start::UsageOptions(), start::SettingsPlace(), start::UsageEnd());
    return 0;
  }
  if (options.version) {
    std::cout << "palomir " << PALOMIR_VERSION << "\n";
    return 0;
  }
  // The files to write are opened first, as they are, and nothing in them changes before
  // the game can start: a file that is not this game's own is left alone, and so is one
  // named twice.
  std::unique_ptr<palomir::LineFile> record_file;
  std::unique_ptr<palomir::LineFile> trace_file;
  if (!options.record.empty())
    record_file = std::make_unique<palomir::LineFile>(options.record, "recording");
  if (!options.trace.empty())
    trace_file = std::make_unique<palomir::LineFile>(options.trace, "trace");
  auto discard = [&] {
    for (auto* f : {record_file.get(), trace_file.get()}) {
      if (f) f->Discard();
    }
  };
  auto refuse = [&](const std::string& why) {
    discard();
    std::cerr << "palomir: " << why << "\n";
    return 2;
  };
  for (auto* f : {record_file.get(), trace_file.get()}) {
    if (f && f->refused()) {
      // TRANSLATORS: "--record: WHY; name a file"; the option's name stays as it is.
      return refuse(palomir::Fill(Tr("%s: %s; name a file"),
                                  f == record_file.get() ? "--record" : "--trace", f->error()));
    }
  }
  if (record_file && trace_file && record_file->SameFileAs(*trace_file)) {
    return refuse(palomir::Fill(Tr("--record and --trace both name %s; name two different files"),
                                options.trace));
  }
  if (record_file && !record_file->first_line().empty() &&
      !IsRecording(record_file->first_line())) {
    return refuse(palomir::Fill(
        Tr("%s is not a recording of this game, so --record leaves it as it is; name a new file"),
        options.record));
  }
  if (trace_file && !trace_file->first_line().empty() && !IsTrace(trace_file->first_line())) {
    return refuse(palomir::Fill(
        Tr("%s is not a trace of this game, so --trace leaves it as it is; name a new file"),
        options.trace));
  }
  // The player's settings: the file's, then this run's options over them. A file that is not
  // right is said in one line, and the game is played all the same.
  std::string no_settings;
  const std::string settings_path = palomir::SettingsPath(&no_settings);
  palomir::SettingsFile settings_file(settings_path, no_settings);
  palomir::GuideSetup guide;
  std::string settings_problem;
  const std::string language_read_in = palomir::CurrentLanguage();
  {
    std::string& problem = settings_problem;
    guide.kept = settings_file.Load(problem);
    guide.settings = guide.kept;
    using N = palomir::Settings::Name;
    if (options.speech_rate) guide.settings.Of(N::kSpeechRate) = *options.speech_rate;
    if (options.speech_volume) guide.settings.Of(N::kSpeechVolume) = *options.speech_volume;
    if (options.sound_volume) guide.settings.Of(N::kSoundVolume) = *options.sound_volume;
    if (options.background_volume)
      guide.settings.Of(N::kBackgroundVolume) = *options.background_volume;
    guide.file = &settings_file;
    // Also from the settings file's thread: one line in one piece.
    guide.tell = [](const std::string& line) { std::cerr << ("palomir: " + line + "\n"); };
  }
  // A match the settings file asks for, when the command line asks for none: its line read
  // as the option it names.
  if (options.match == palomir::Options::Match::kNone && !settings_file.match().empty()) {
    palomir::Options asked;
    std::string why;
    if (palomir::ParseOptions({"palomir", "--" + settings_file.match()}, asked, why) &&
        asked.match != palomir::Options::Match::kNone) {
      options.match = asked.match;
      options.address = asked.address;
      options.port = asked.port;
    } else {
      std::cerr << "palomir: "
                << palomir::Fill(Tr("the settings file's match line \"%s\" is not host, "
                                    "host=PORT, join or join=ADDRESS[:PORT]; the game is played "
                                    "against the computer"),
                                 palomir::Printable(settings_file.match()))
                << "\n";
    }
  }
  // The language the player named, on the command line or in the settings file, over the
  // desktop's. One the game does not have is English, and said.
  const std::string named = options.language ? *options.language : settings_file.language();
  if (!named.empty()) {
    const auto code = palomir::CatalogFor(named, catalogs);
    palomir::UseLanguage(code.value_or(""), locales);
    if (!code) {
      std::string have = "en";
      for (const std::string& c : catalogs) have += " " + c;
      // Said in English, the language it is played in.
      std::cerr << "palomir: the game has no " << palomir::Printable(named) << " (it speaks "
                << have << "); playing in English\n";
    }
  }
  // The game's own voice speaks the language, or text and voice are English together.
  const bool system_speech = options.speech == palomir::Options::Speech::kSystem;
  std::string language = palomir::CurrentLanguage(), voice;
  bool no_words = false;
  std::string voiceless;  // the language whose voice has no words
  if (!language.empty() && !start::ChooseVoice(language, system_speech, voice, no_words)) {
    if (no_words) {
      voiceless = palomir::LanguageName(language);
      std::cerr << "palomir: the voice for " << voiceless
                << " has no words (its dictionary is missing or empty), so the game speaks and "
                   "writes English\n";
    } else {
      std::cerr << "palomir: the voice does not speak " << palomir::LanguageName(language)
                << ", so the game speaks and writes English\n";
    }
    language.clear();
    palomir::UseLanguage(language, locales);
  }
  // The settings file's line in the language chosen, which the file itself may have named
  // (read again for it).
  if (!settings_problem.empty()) {
    if (palomir::CurrentLanguage() != language_read_in) settings_file.Load(settings_problem);
    std::cerr << "palomir: " << settings_problem << "\n";
  }
  // Chosen: the game's threads, which start from here on, read it as it stands.
  palomir::KeepLanguage();
  try {
    const std::string sounds = palomir::FindSounds(folder, start::FromHere(options.sounds));
    std::unique_ptr<palomir::MachineCore> made;
    try {
      made = start::MakeMachine(folder, sounds, system_speech);
    } catch (const palomir::RuntimeError&) {
      discard();  // no game, no files left behind
      throw;
    }
    palomir::MachineCore& platform = *made;
    const std::shared_ptr<void> playing = start::WhilePlaying(platform, [&] {
      for (auto* f : {record_file.get(), trace_file.get()}) {
        if (f) f->Flush();
      }
    });
    platform.set_language(language);
    if (!voiceless.empty()) {
      // Said in English, which the game is now played in, with the English voice.
      platform.TellPlayer("The voice for " + voiceless + " has no words, so the game speaks English.");
    }
    if (!settings_problem.empty()) {
      // TRANSLATORS: spoken when the settings file could not be read; short, no symbols.
      platform.TellPlayer(Tr("Your settings file is not right. The usual settings are used."));
    }
    // An earlier recording is kept beside the new one; an earlier trace, which its recording
    // gives again, is replaced. A file that cannot be written is said once; the game is
    // played all the same.
    auto begin = [](std::unique_ptr<palomir::LineFile>& f, bool keep_earlier) {
      std::string kept_as;
      if (f && f->ok() && f->Begin(keep_earlier, kept_as) && !kept_as.empty()) {
        std::cerr << "palomir: "
                  << palomir::Fill(Tr("the earlier recording %s was kept as %s"), f->path(),
                                   kept_as)
                  << "\n";
      }
      if (f && !f->ok()) {
        std::cerr << "palomir: " << palomir::Fill(Tr("%s; playing without it"), f->error())
                  << "\n";
        f.reset();
      }
    };
    begin(record_file, true);
    begin(trace_file, false);
    std::unique_ptr<palomir::Recorder> recorder;
    std::unique_ptr<palomir::LineTrace> trace;
    const bool in_match = options.match != palomir::Options::Match::kNone;
    if (record_file && in_match) {
      // A match is written down as both ends' inputs, tick by tick (match/match_play.h).
      record_file->Line(std::string("# palomir ") + PALOMIR_VERSION +
                        " match recording: replay it with the scenario runner");
    } else if (record_file) {
      record_file->Line(std::string("# palomir ") + PALOMIR_VERSION +
                        " recording: replay it with the scenario runner");
      record_file->Line("folder " + folder);
      record_file->Line("sounds " + sounds);
      {
        using palomir::NameOf;
        using N = palomir::Settings::Name;
        std::string line = "settings";
        for (N n : palomir::Settings::Names()) {
          // Two appends: GCC 12 sees an overlapping copy in " " + text that cannot happen.
          line += ' ';
          line += palomir::ValueText(n, guide.settings.Of(n));
        }
        record_file->Line(line);
      }
      // A game in another language than English is replayed in it.
      if (!language.empty()) record_file->Line("language " + language + " " + voice);
      record_file->Line("start");
      recorder = std::make_unique<palomir::Recorder>(*record_file);
      platform.set_recorder(recorder.get());
    }
    if (trace_file) {
      // The header, by which a file is known as a trace of this game, is the first line;
      // a game in another language than English names it and its voice next.
      trace_file->Line(std::string("# palomir ") + PALOMIR_VERSION +
                       " trace: every call the game made and every line it said");
      if (!language.empty()) trace_file->Line(palomir::TraceLanguage(language, voice));
      trace = std::make_unique<palomir::LineTrace>(*trace_file);
      platform.set_trace(trace.get());
    }
    palomir::MatchSetup match;
    if (in_match) {
      match.host = options.match == palomir::Options::Match::kHost;
      match.address = options.address;
      match.port = static_cast<uint16_t>(options.port.value_or(palomir::kDefaultPort));
      match.record = record_file.get();
      match.version = PALOMIR_VERSION;
      if (!settings_path.empty()) match.report_folder = palomir::files::FolderOf(settings_path);
      match.link = [&match](const std::string& address, uint16_t port, std::string& error) {
        return match.host ? palomir::HostLink(port, error)
                          : palomir::JoinLink(address, port, error);
      };
    }
    return palomir::RunGame(
        platform,
        [&trace](palomir::MainForm& form) {
          form.on_error = [&trace](const std::string& text) {
            std::cerr << "palomir: " << text << "\n";
            if (trace) trace->Error(text);
          };
        },
        guide, in_match ? &match : nullptr);
  } catch (const palomir::RuntimeError& e) {
    std::cerr << "palomir: " << e.what() << "\n";
    start::CouldNotStart(e.what());
    return 1;
  }
}
