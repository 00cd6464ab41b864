// The router test's player (e2e/router_test.py): asks the router for each port named, as a
// hosted match does, and says what the router answered, one line a port:
//   PORT opened ADDRESS PUBLIC_PORT      or      PORT closed WHY
// then "ready", and holds the mappings until a line comes on its input; then it lets them go
// and says "done".
//     router_probe [--language=CODE] PORT...
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "language/language.h"
#include "platform/net/port_opener.h"

int main(int argc, char** argv) {
  using namespace palomir;
  std::vector<std::unique_ptr<PortOpener>> openers;
  std::vector<std::string> ports;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--language=", 0) == 0) {
      UseLanguage(arg.substr(11), PALOMIR_LOCALE);
    } else {
      ports.push_back(arg);
    }
  }
  KeepLanguage();
  for (const std::string& port : ports) openers.push_back(std::make_unique<PortOpener>(std::stoi(port)));
  for (size_t i = 0; i < openers.size(); ++i) {
    std::optional<PortOpener::Result> r;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!(r = openers[i]->Poll()) && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!r) {
      std::printf("%s no answer\n", ports[i].c_str());
    } else if (r->opened) {
      std::printf("%s opened %s %u\n", ports[i].c_str(), r->public_address.c_str(), r->public_port);
    } else {
      std::printf("%s closed %s\n", ports[i].c_str(), r->why.c_str());
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  openers.clear();
  std::printf("done\n");
  return 0;
}
