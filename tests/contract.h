// What every machine promises the game, written once (contract_test.cpp) and run against
// each backend of the machine's core: the virtual machine in palomir_tests, the SDL machine
// with SDL's dummy drivers in palomir_sdl_tests, the Win32 machine under Wine in
// palomir_win32_tests. A backend's test file names its machine:
//   INSTANTIATE_TEST_SUITE_P(Sdl, Contract, ::testing::Values(Backend{...}));
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/core/machine.h"

namespace palomir::testing {

struct Backend {
  // A new machine, hidden, its sounds in the game's own "sounds" folder.
  std::function<std::unique_ptr<MachineCore>()> make;
  // Why the system the tests run on has no voice for this machine ("" when it has one):
  // the cases that need a voice are then skipped, and say why.
  std::string no_voice;
};
inline void PrintTo(const Backend&, std::ostream* out) {
  *out << "the machine";
}

class Contract : public ::testing::TestWithParam<Backend> {
 protected:
  std::unique_ptr<MachineCore> Make() { return GetParam().make(); }
  bool NoVoice() const { return !GetParam().no_voice.empty(); }
};

}  // namespace palomir::testing
