#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <optional>
#include <string>

#include "language/tr.h"
#include "platform/win32/com.h"
#include "platform/win32/readers.h"
#include "platform/win32/wide.h"

namespace palomir::win32 {

namespace {

// UI Automation's notification, taken from UIAutomationCore.dll by name: mingw-w64's headers
// neither declare it nor ship an import library.
using HostProvider = HRESULT(WINAPI*)(HWND, IUnknown**);
using RaiseNotification = HRESULT(WINAPI*)(IUnknown*, int, int, BSTR, BSTR);
using ClientsListening = BOOL(WINAPI*)();
constexpr int kNotificationKindOther = 4;
constexpr int kProcessingAll = 2;  // NotificationProcessing_All: every line is said, in order

// The screen reader speaks each line as a UI Automation notification of the game's window.
// A notification nobody listens to still succeeds, so whether a client listens is asked
// before each line. Where none does, or UI Automation cannot be reached, at the start or
// later, the core says so once and the game's own voice says that line and everything after.
class UiaBackend final : public ReckoningReader {
 public:
  // Game thread; only loads the library, which does not block.
  explicit UiaBackend(const SapiSetup& setup) : ReckoningReader(setup.levels), window_(setup.window) {
    uia_ = LoadLibraryW(L"UIAutomationCore.dll");
    if (!uia_) {
      why_ = Tr("UI Automation is not there");
      return;
    }
    host_ = reinterpret_cast<HostProvider>(
        reinterpret_cast<void*>(GetProcAddress(uia_, "UiaHostProviderFromHwnd")));
    raise_ = reinterpret_cast<RaiseNotification>(
        reinterpret_cast<void*>(GetProcAddress(uia_, "UiaRaiseNotificationEvent")));
    listening_ = reinterpret_cast<ClientsListening>(
        reinterpret_cast<void*>(GetProcAddress(uia_, "UiaClientsAreListening")));
    if (!host_ || !raise_ || !listening_) why_ = Tr("this Windows has no UI Automation notifications");
  }
  ~UiaBackend() override {
    if (uia_) FreeLibrary(uia_);
  }

  // Voice thread: COM set up there, and the window's provider taken in its apartment, so
  // that the thread that raises the notifications is the one that holds them.
  Status Open(const std::atomic<bool>& /*stop*/) override {
    if (!why_.empty()) return Reached();
    com_.emplace(COINIT_MULTITHREADED);
    if (!com_->ok()) {
      why_ = Fill(Tr("the window has no UI Automation provider (%s)"), Hex(com_->result()));
    } else if (const HRESULT hr = host_(window_, &provider_); FAILED(hr) || !provider_) {
      why_ = Fill(Tr("the window has no UI Automation provider (%s)"), Hex(hr));
    } else if (!listening_()) {
      why_ = Tr("no screen reader is listening");
    }
    return Reached();
  }

  // Voice thread: the provider released where it was taken, then COM let go there.
  void Close() override {
    if (provider_) provider_->Release();
    provider_ = nullptr;
    com_.reset();
  }

  // Voice thread.
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    if (!listening_()) {
      why_ = Tr("no screen reader is listening");
      return Reached();
    }
    BSTR line = SysAllocString(Wide(text).c_str());
    BSTR activity = SysAllocString(L"palomir");
    const HRESULT hr = raise_(provider_, kNotificationKindOther, kProcessingAll, line, activity);
    SysFreeString(line);
    SysFreeString(activity);
    if (FAILED(hr)) {
      why_ = Fill(Tr("its notification failed with %s"), Hex(hr));
      return Reached();
    }
    Wait(text, cut);
    return Status::Ok();
  }

 private:
  Status Reached() const {
    if (why_.empty()) return Status::Ok();
    return Status::Fail(Fill(Tr("the screen reader could not be reached (%s)"), why_));
  }

  HWND window_ = nullptr;
  HMODULE uia_ = nullptr;
  HostProvider host_ = nullptr;
  RaiseNotification raise_ = nullptr;
  ClientsListening listening_ = nullptr;
  std::optional<ComApartment> com_;  // the voice thread's, from Open to Close
  IUnknown* provider_ = nullptr;            // the voice thread's, from Open to Close
  std::string why_;  // why the screen reader cannot be reached; empty while it can
};

}  // namespace

std::unique_ptr<VoiceBackend> UiaReader(const SapiSetup& setup) {
  return std::make_unique<UiaBackend>(setup);
}

}  // namespace palomir::win32
