#include <objbase.h>
#include <oleauto.h>
#include <uiautomationcore.h>
#include <windows.h>

#include <optional>
#include <string>

#include "language/tr.h"
#include "platform/win32/com.h"
#include "platform/win32/readers.h"
#include "platform/win32/uia_provider.h"
#include "platform/win32/wide.h"

namespace palomir::win32 {

namespace {

constexpr int kNotificationKindOther = 4;
constexpr int kProcessingAll = 2;  // NotificationProcessing_All: every line is said, in order
// NotificationProcessing_MostRecent: the reader stops what it says of the game for this one
// (NVDA interrupts for no other kind).
constexpr int kProcessingMostRecent = 3;

// The screen reader speaks each line as a UI Automation notification of the game's window.
// A notification nobody listens to still succeeds, so whether a client listens is asked
// before each line. Where none does, or UI Automation cannot be reached, at the start or
// later, the core says so once and the game's own voice says that line and everything after.
class UiaBackend final : public ReckoningReader {
 public:
  // Game thread; only loads the library, which does not block. The window's provider is
  // held from here until the reader goes.
  explicit UiaBackend(const SapiSetup& setup) : ReckoningReader(setup.levels), provider_(setup.provider) {
    uia_ = Uia();
    if (provider_) provider_->AddRef();
    if (!uia_) {
      why_ = Tr("UI Automation is not there");
    } else if (!uia_->raise_notification || !uia_->clients_listening || !provider_) {
      why_ = Tr("this Windows has no UI Automation notifications");
    }
  }
  ~UiaBackend() override {
    if (provider_) provider_->Release();
  }

  // Voice thread: COM set up there, for the notifications raised from it.
  Status Open(const std::atomic<bool>& /*stop*/) override {
    if (!why_.empty()) return Reached();
    com_.emplace(COINIT_MULTITHREADED);
    if (!com_->ok()) {
      why_ = Fill(Tr("the window has no UI Automation provider (%s)"), Hex(com_->result()));
    } else if (!uia_->clients_listening()) {
      why_ = Tr("no screen reader is listening");
    }
    return Reached();
  }

  // Voice thread: COM let go where it was set up.
  void Close() override { com_.reset(); }

  // Voice thread.
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    if (!uia_->clients_listening()) {
      why_ = Tr("no screen reader is listening");
      return Reached();
    }
    BSTR line = SysAllocString(Wide(text).c_str());
    BSTR activity = SysAllocString(L"palomir");
    // A line cut short (Escape, F1) goes on in the reader: the next one interrupts it.
    const int processing = interrupt_ ? kProcessingMostRecent : kProcessingAll;
    const HRESULT hr = uia_->raise_notification(provider_, kNotificationKindOther, processing, line, activity);
    SysFreeString(line);
    SysFreeString(activity);
    if (FAILED(hr)) {
      why_ = Fill(Tr("its notification failed with %s"), Hex(hr));
      return Reached();
    }
    Wait(text, cut);
    interrupt_ = cut.load();
    return Status::Ok();
  }

 private:
  Status Reached() const {
    if (why_.empty()) return Status::Ok();
    return Status::Fail(Fill(Tr("the screen reader could not be reached (%s)"), why_));
  }

  const UiaFunctions* uia_ = nullptr;
  IRawElementProviderSimple* provider_ = nullptr;  // the window's, free-threaded
  std::optional<ComApartment> com_;  // the voice thread's, from Open to Close
  bool interrupt_ = false;  // voice thread: the line before was cut short
  std::string why_;  // why the screen reader cannot be reached; empty while it can
};

}  // namespace

std::unique_ptr<VoiceBackend> UiaReader(const SapiSetup& setup) {
  return std::make_unique<UiaBackend>(setup);
}

}  // namespace palomir::win32
