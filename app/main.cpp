// The program's entry: reads the command line, makes the window, lets it load, and runs the
// message loop until the window is unloaded, by the player's N or by closing it.
#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/run.h"
#include "platform/arith.h"
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
    palomir::SdlPlatform platform(folder, "", palomir::FindSounds(folder, options.sounds),
                                  options.speech == palomir::Options::Speech::kSystem);
    return palomir::RunGame(platform);
  } catch (const palomir::RuntimeError& e) {
    std::cerr << "palomir: " << e.what() << "\n";
    return 1;
  }
}
