// The virtual machine held to the machine's contract (contract_test.cpp), as the real ones are.
#include "contract.h"
#include "platform/virtual/virtual_platform.h"

namespace palomir::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(Virtual, Contract, ::testing::Values(Backend{[] {
                           return std::unique_ptr<MachineCore>(std::make_unique<VirtualPlatform>());
                         }, ""}));

}  // namespace
}  // namespace palomir::testing
