// The Windows machine held to the machine's contract (contract_test.cpp), run under Wine from
// the folder the sounds are in (tools/windows/test.sh), on a desktop of Wine's null driver; and
// its own pieces that the virtual machine cannot stand in for.
#include <gtest/gtest.h>
#include <windows.h>
#include <mmdeviceapi.h>

#include <string>
#include <atomic>
#include <memory>
#include <thread>

#include "contract.h"
#include "platform/win32/com.h"
#include "platform/win32/wasapi_output.h"
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

// A UI Automation client (Narrator, a screen reader) asks the window for its element and
// reads the game's name from it: the window's own provider, served on WM_GETOBJECT.
TEST(Uia, TheWindowServesItsOwnElement) {
  using NodeFromHandle = HRESULT(WINAPI*)(HWND, void**);
  using PropertyValue = HRESULT(WINAPI*)(void*, int, VARIANT*);
  using NodeRelease = BOOL(WINAPI*)(void*);
  const ComApartment com(COINIT_APARTMENTTHREADED);
  const Win32Platform machine(".", "", "sounds");
  const HWND window = FindWindowW(L"Palomir", L"Palomir");
  ASSERT_TRUE(window);
  EXPECT_NE(SendMessageW(window, WM_GETOBJECT, 0, -25), 0);  // UiaRootObjectId
  const HMODULE uia = GetModuleHandleW(L"UIAutomationCore.dll");
  ASSERT_TRUE(uia);
  auto node_from = reinterpret_cast<NodeFromHandle>(reinterpret_cast<void*>(GetProcAddress(uia, "UiaNodeFromHandle")));
  auto value_of = reinterpret_cast<PropertyValue>(reinterpret_cast<void*>(GetProcAddress(uia, "UiaGetPropertyValue")));
  auto release = reinterpret_cast<NodeRelease>(reinterpret_cast<void*>(GetProcAddress(uia, "UiaNodeRelease")));
  ASSERT_TRUE(node_from && value_of && release);
  void* node = nullptr;
  ASSERT_EQ(node_from(window, &node), S_OK);
  VARIANT name;
  VariantInit(&name);
  EXPECT_EQ(value_of(node, 30005, &name), S_OK);  // UIA_NamePropertyId
  EXPECT_EQ(name.vt, VT_BSTR);
  if (name.vt == VT_BSTR) {
    EXPECT_STREQ(name.bstrVal, L"Palomir");
  }
  VariantClear(&name);
  release(node);
}

// What Windows tells of its endpoints moves or loses the game's output only when it is about
// the output played on: the default for games' sound (console role) changed, or that
// endpoint gone.
TEST(Wasapi, OnlyTheDefaultOutputForGamesMovesTheGame) {
  std::thread([] {
    WasapiDriver driver;
    driver.ThreadBegins();
    IMMNotificationClient* news = driver.listener();
    const std::atomic<bool> cancel{false};
    std::string why;
    if (driver.Open(std::make_shared<Mixer>(), 480, false, cancel, why) == 0) {
      ADD_FAILURE() << "no output to play on: " << why;
      driver.ThreadEnds();
      return;
    }
    news->OnDefaultDeviceChanged(eCapture, eConsole, L"{microphone}");
    news->OnDefaultDeviceChanged(eRender, eCommunications, L"{headset}");
    news->OnDeviceRemoved(L"{another}");
    news->OnDeviceStateChanged(L"{another}", DEVICE_STATE_UNPLUGGED);
    EXPECT_FALSE(driver.Moved());
    EXPECT_FALSE(driver.Lost());
    news->OnDefaultDeviceChanged(eRender, eConsole, L"{headset}");
    EXPECT_TRUE(driver.Moved());
    EXPECT_FALSE(driver.Lost());
    news->OnDefaultDeviceChanged(eRender, eConsole, nullptr);  // no output left at all
    EXPECT_TRUE(driver.Lost());
    driver.Close();
    // Closed: nothing more is the game's to follow.
    EXPECT_EQ(driver.Open(std::make_shared<Mixer>(), 480, true, cancel, why) > 0, true) << why;
    EXPECT_FALSE(driver.Moved());
    EXPECT_FALSE(driver.Lost());
    driver.Close();
    news->OnDefaultDeviceChanged(eRender, eConsole, L"{headset}");
    EXPECT_FALSE(driver.Moved());
    driver.ThreadEnds();
  }).join();
}

}  // namespace
}  // namespace palomir::win32
