// The Windows machine held to the machine's contract (contract_test.cpp), run under Wine from
// the folder the sounds are in (tools/windows/test.sh), on a desktop of Wine's null driver.
#include <windows.h>

#include <string>

#include "contract.h"
#include "platform/win32/win32_platform.h"

namespace palomir::testing {
namespace {

// Wine (8.0) has SAPI's voices but cannot make them speak (E_NOTIMPL), and no screen reader.
std::string NoVoice() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  return wine ? "Wine's SAPI does not speak" : "";
}

INSTANTIATE_TEST_SUITE_P(Win32, Contract, ::testing::Values(Backend{[] {
                           return std::unique_ptr<MachineCore>(
                               std::make_unique<Win32Platform>(".", "", "sounds"));
                         }, NoVoice()}));

}  // namespace
}  // namespace palomir::testing
