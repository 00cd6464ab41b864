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

// JAWS keeps a window of this class while it runs; its automation object is there whenever
// JAWS is installed, running or not.
constexpr wchar_t kJawsWindowClass[] = L"JFWUI2";
constexpr wchar_t kJawsProgId[] = L"FreedomSci.JawsApi";

// JAWS speaks each line through its automation object, taken late-bound (IDispatch):
// SayString(text, flush) queues the line behind what JAWS is saying, StopSpeech silences
// it. JAWS does not tell when a line has been heard, so the line is reckoned. A call that
// fails, a line JAWS refuses, or its window gone means JAWS is gone: the core says so once
// and the game's own voice takes over.
class JawsBackend final : public ReckoningReader {
 public:
  // Game thread; does not block.
  explicit JawsBackend(const SapiSetup& setup) : ReckoningReader(setup.levels) {}

  // Voice thread: COM set up there, and the object made and kept in its apartment. Looking
  // for JAWS's window does not block (no message is sent).
  Status Open(const std::atomic<bool>& /*stop*/) override {
    if (!FindWindowW(kJawsWindowClass, nullptr)) return Status::Fail(Tr("JAWS is not running"));
    com_.emplace(COINIT_MULTITHREADED);
    HRESULT hr = com_->result();
    CLSID clsid;
    if (SUCCEEDED(hr)) hr = CLSIDFromProgID(kJawsProgId, &clsid);
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(&jaws_));
    }
    if (SUCCEEDED(hr)) hr = IdOf(L"SayString", say_);
    if (SUCCEEDED(hr)) hr = IdOf(L"StopSpeech", stop_);
    if (FAILED(hr)) return Unreached(hr);
    return Status::Ok();
  }

  // Voice thread: the object released where it was made, then COM let go there.
  void Close() override {
    if (jaws_) jaws_->Release();
    jaws_ = nullptr;
    com_.reset();
  }

  // Voice thread. A cut ends the reckoned wait at once (within a few milliseconds), and
  // JAWS is silenced from here, the thread that holds the object.
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    if (!FindWindowW(kJawsWindowClass, nullptr)) return Stopped();
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_BOOL;  // the last argument first: flush, false (queued behind what JAWS says)
    args[0].boolVal = VARIANT_FALSE;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(Wide(text).c_str());
    VARIANT said;
    VariantInit(&said);
    const HRESULT hr = Call(say_, args, 2, &said);
    VariantClear(&args[1]);
    const bool refused = said.vt == VT_BOOL && said.boolVal == VARIANT_FALSE;
    VariantClear(&said);
    if (FAILED(hr)) return Unreached(hr);
    if (refused) return Stopped();
    Wait(text, cut);
    if (cut) {
      if (const HRESULT stopped = Call(stop_, nullptr, 0, nullptr); FAILED(stopped)) {
        return Unreached(stopped);
      }
    }
    return Status::Ok();
  }

 private:
  // Voice thread.
  HRESULT IdOf(const wchar_t* name, DISPID& id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return jaws_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  }

  // Voice thread: a method of the object, `args` last to first, as IDispatch takes them.
  HRESULT Call(DISPID id, VARIANT* args, UINT count, VARIANT* result) {
    DISPPARAMS params = {args, nullptr, count, 0};
    return jaws_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                         nullptr, nullptr);
  }

  // JAWS has quit, or refuses the game's lines.
  static Status Stopped() { return Status::Fail(Tr("JAWS stopped speaking the game's lines")); }
  static Status Unreached(HRESULT hr) {
    return Status::Fail(Fill(Tr("JAWS could not be reached (%s)"), Hex(hr)));
  }

  std::optional<ComApartment> com_;  // the voice thread's, from Open to Close
  IDispatch* jaws_ = nullptr;        // the voice thread's, from Open to Close
  DISPID say_ = DISPID_UNKNOWN;
  DISPID stop_ = DISPID_UNKNOWN;
};

}  // namespace

std::unique_ptr<VoiceBackend> JawsReader(const SapiSetup& setup) {
  return std::make_unique<JawsBackend>(setup);
}

}  // namespace palomir::win32
