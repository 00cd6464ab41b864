// A stand-in for JAWS in a Wine prefix of the Windows test's own (windows_test.py): an
// in-process COM server, registered there under JAWS's ProgID, whose automation object
// answers SayString and StopSpeech late-bound, as JAWS's does, and appends each call to
// jaws.log beside this DLL ("say FLUSH TEXT", "stop"). Started as
//   rundll32 jaws_standin.dll,Run
// it makes JAWS look running: a window of JAWS's class, kept until the process is ended
// ("running" in the log once it is there).
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

namespace {

HMODULE self;
LONG objects = 0;

// Any thread: one line appended to the log (UTF-8), the file opened and closed each time.
void Log(const char* what, const wchar_t* text = nullptr) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\') --n;
  lstrcpyW(path + n, L"jaws.log");
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[4096];
  int length = lstrlenA(what);
  CopyMemory(line, what, length);
  if (text) {
    line[length++] = ' ';
    length += WideCharToMultiByte(CP_UTF8, 0, text, -1, line + length, sizeof(line) - length - 2,
                                  nullptr, nullptr) - 1;
  }
  line[length++] = '\n';
  DWORD written;
  WriteFile(file, line, length, &written, nullptr);
  CloseHandle(file);
}

enum : DISPID { kSay = 1, kStop = 2 };

class Api final : public IDispatch {
 public:
  Api() { InterlockedIncrement(&objects); }
  ~Api() { InterlockedDecrement(&objects); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (count < 1) return DISP_E_UNKNOWNNAME;
    if (lstrcmpiW(names[0], L"SayString") == 0) ids[0] = kSay;
    if (lstrcmpiW(names[0], L"StopSpeech") == 0) ids[0] = kStop;
    return ids[0] == DISPID_UNKNOWN || count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
  }
  // SayString(BSTR text, VARIANT_BOOL flush) -> VARIANT_BOOL; StopSpeech().
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id == kStop) {
      if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
      Log("stop");
      return S_OK;
    }
    if (id != kSay) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
    const VARIANT& text = params->rgvarg[1];
    const VARIANT& flush = params->rgvarg[0];
    if (text.vt != VT_BSTR || flush.vt != VT_BOOL) return DISP_E_TYPEMISMATCH;
    Log(flush.boolVal ? "say 1" : "say 0", text.bstrVal);
    if (result) {
      VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = VARIANT_TRUE;
    }
    return S_OK;
  }

 private:
  LONG refs_ = 1;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Api* api = new Api;
    const HRESULT hr = api->QueryInterface(iid, out);
    api->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) InterlockedIncrement(&objects); else InterlockedDecrement(&objects);
    return S_OK;
  }
};

Factory factory;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

// Whatever CLSID the test registered under the ProgID: this DLL serves only that one.
__declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID iid, void** out) {
  return factory.QueryInterface(iid, out);
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return objects == 0 ? S_OK : S_FALSE; }

// rundll32's entry: JAWS's window, until the process is ended.
__declspec(dllexport) void CALLBACK Run(HWND, HINSTANCE, LPSTR, int) {
  WNDCLASSW type = {};
  type.lpfnWndProc = DefWindowProcW;
  type.hInstance = self;
  type.lpszClassName = L"JFWUI2";
  RegisterClassW(&type);
  if (!CreateWindowW(L"JFWUI2", L"JAWS", 0, 0, 0, 0, 0, nullptr, nullptr, self, nullptr)) return;
  Log("running");
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

}  // extern "C"
