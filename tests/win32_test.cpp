// The Windows machine's own pieces that the virtual machine cannot stand in for.
#include <gtest/gtest.h>

#include <thread>

#include "platform/win32/com.h"

namespace palomir::win32 {
namespace {

// Whether the calling thread has COM set up itself, not merely the process's to use.
bool HasCom() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return CoGetApartmentType(&type, &qualifier) == S_OK &&
         qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA;
}

TEST(Com, LetGoOnlyWhereItWasSetUpAndOnlyWhenItWas) {
  std::thread([] {
    {
      const ComApartment voice(COINIT_MULTITHREADED);  // as the voice's and the sound's threads
      {
        // The other kind is refused, so there is nothing to let go; the same kind is counted.
        const ComApartment other(COINIT_APARTMENTTHREADED);
        const ComApartment again(COINIT_MULTITHREADED);
        EXPECT_EQ(other.result(), RPC_E_CHANGED_MODE);
        EXPECT_TRUE(again.ok());
      }
      EXPECT_TRUE(HasCom());
    }
    EXPECT_FALSE(HasCom());
  }).join();
}

}  // namespace
}  // namespace palomir::win32
