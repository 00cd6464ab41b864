#include "platform/win32/uia_provider.h"

#include <oleauto.h>
#include <uiautomationcore.h>

#include "platform/win32/com.h"

namespace palomir::win32 {

namespace {

// Property and control type ids, from UIAutomationClient.h, which needs more than it gives.
constexpr PROPERTYID kControlType = 30003;
constexpr PROPERTYID kName = 30005;
constexpr PROPERTYID kIsKeyboardFocusable = 30009;
constexpr PROPERTYID kProviderDescription = 30107;
constexpr long kWindowControlType = 50032;
// What WM_GETOBJECT asks for when UI Automation wants the window's element (its API header
// does not compile as C++ in mingw-w64).
constexpr LONG kUiaRootObjectId = -25;

template <typename F>
void Take(HMODULE library, const char* name, F& f) {
  f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

class WindowProvider final : public ComObject<IRawElementProviderSimple> {
 public:
  WindowProvider(HWND window, std::wstring name) : window_(window), name_(std::move(name)) {}

  // A provider of the game's own, in its process, callable from any thread.
  HRESULT STDMETHODCALLTYPE get_ProviderOptions(ProviderOptions* options) override {
    if (!options) return E_POINTER;
    *options = ProviderOptions_ServerSideProvider;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPatternProvider(PATTERNID, IUnknown** pattern) override {
    if (!pattern) return E_POINTER;
    *pattern = nullptr;  // no patterns: the game is played, not operated as a control
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyValue(PROPERTYID id, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    switch (id) {
      case kName:
      case kProviderDescription:
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(name_.c_str());
        return value->bstrVal ? S_OK : E_OUTOFMEMORY;
      case kControlType:
        value->vt = VT_I4;
        value->lVal = kWindowControlType;
        return S_OK;
      case kIsKeyboardFocusable:
        value->vt = VT_BOOL;
        value->boolVal = VARIANT_TRUE;
        return S_OK;
      default:
        return S_OK;  // VT_EMPTY: the host's provider answers the rest
    }
  }
  // The window's own element, for what the system knows of it (its place, its focus).
  HRESULT STDMETHODCALLTYPE get_HostRawElementProvider(IRawElementProviderSimple** host) override {
    if (!host) return E_POINTER;
    *host = nullptr;
    const UiaFunctions* uia = Uia();
    if (!uia || !uia->host_provider) return S_OK;
    return uia->host_provider(window_, host);
  }

 private:
  HWND window_;
  std::wstring name_;
};

}  // namespace

const UiaFunctions* Uia() {
  static const UiaFunctions* const functions = [] () -> const UiaFunctions* {
    HMODULE library = LoadLibraryW(L"UIAutomationCore.dll");
    if (!library) return nullptr;
    static UiaFunctions f;
    Take(library, "UiaHostProviderFromHwnd", f.host_provider);
    Take(library, "UiaReturnRawElementProvider", f.return_provider);
    Take(library, "UiaRaiseNotificationEvent", f.raise_notification);
    Take(library, "UiaClientsAreListening", f.clients_listening);
    Take(library, "UiaDisconnectProvider", f.disconnect);
    return &f;
  }();
  return functions;
}

IRawElementProviderSimple* MakeWindowProvider(HWND window, const std::wstring& name) {
  const UiaFunctions* uia = Uia();
  if (!uia || !uia->return_provider) return nullptr;
  return new WindowProvider(window, name);
}

bool ServeProvider(HWND window, WPARAM w, LPARAM l, IRawElementProviderSimple* provider,
                   LRESULT& result) {
  if (!provider || static_cast<LONG>(l) != kUiaRootObjectId) return false;
  result = Uia()->return_provider(window, w, l, provider);
  return true;
}

void WithdrawProvider(HWND window, IRawElementProviderSimple* provider) {
  if (!provider) return;
  const UiaFunctions* uia = Uia();
  uia->return_provider(window, 0, 0, nullptr);
  if (uia->disconnect) uia->disconnect(provider);
}

}  // namespace palomir::win32
