// The program's entry: reads the command line, makes the window, lets it load, and runs the
// message loop until the window is unloaded, by the player's N or by closing it.
#include <unistd.h>

#include <climits>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/run.h"
#include "game/main_form.h"
#include "platform/arith.h"
#include "platform/call_log.h"
#include "platform/line_file.h"
#include "platform/recording.h"
#include "platform/sdl/sdl_platform.h"

namespace {

// The folder this program was started from, without a trailing separator.
std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<size_t>(n));
  const auto slash = exe.find_last_of('/');
  if (slash == 0) return "/";
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  palomir::Options options;
  std::string error;
  if (!palomir::ParseOptions(std::vector<std::string>(argv, argv + argc), options, error)) {
    std::cerr << "palomir: " << error << "\n\n" << palomir::Usage();
    return 2;
  }
  if (options.help) {
    std::cout << palomir::Usage();
    return 0;
  }
  if (options.version) {
    std::cout << "palomir " << PALOMIR_VERSION << "\n";
    return 0;
  }
  try {
    const std::string folder = ProgramFolder();
    const std::string sounds = palomir::FindSounds(folder, options.sounds);
    palomir::SdlPlatform platform(folder, "", sounds,
                                  options.speech == palomir::Options::Speech::kSystem);
    // A file that cannot be written is said once; the game is played all the same.
    auto open = [](const std::string& path, const char* what) {
      std::unique_ptr<palomir::LineFile> f;
      if (path.empty()) return f;
      f = std::make_unique<palomir::LineFile>(path, what);
      if (!f->ok()) {
        std::cerr << "palomir: " << f->error() << "; playing without it\n";
        f.reset();
      }
      return f;
    };
    auto record_file = open(options.record, "recording");
    auto trace_file = open(options.trace, "trace");
    std::unique_ptr<palomir::Recorder> recorder;
    std::unique_ptr<palomir::LineTrace> trace;
    if (record_file) {
      record_file->Line(std::string("# palomir ") + PALOMIR_VERSION +
                        " recording: replay it with the scenario runner");
      record_file->Line("folder " + folder);
      record_file->Line("sounds " + sounds);
      record_file->Line("start");
      recorder = std::make_unique<palomir::Recorder>(*record_file);
      platform.set_recorder(recorder.get());
    }
    if (trace_file) {
      trace = std::make_unique<palomir::LineTrace>(*trace_file);
      platform.set_trace(trace.get());
    }
    return palomir::RunGame(platform, [&trace](palomir::MainForm& form) {
      form.on_error = [&trace](const std::string& text) {
        std::cerr << "palomir: " << text << "\n";
        if (trace) trace->Error(text);
      };
    });
  } catch (const palomir::RuntimeError& e) {
    std::cerr << "palomir: " << e.what() << "\n";
    return 1;
  }
}
