// COM set up on one thread for as long as an object of this class lives there. COM's rule:
// every CoInitializeEx that succeeded (S_OK, or S_FALSE when the thread already had it) is
// matched by one CoUninitialize on the same thread, and one that failed (RPC_E_CHANGED_MODE:
// the thread already has the other kind of apartment) by none. The objects made on the thread
// are released there too, before this ends.
#pragma once

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace palomir::win32 {

class ComApartment {
 public:
  // The thread it is made on; does not block. `model`: COINIT_MULTITHREADED or
  // COINIT_APARTMENTTHREADED.
  explicit ComApartment(DWORD model) : result_(CoInitializeEx(nullptr, model)) {}
  // The same thread.
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  // Any thread. Whether this set COM up (or found it set up the same way); else why not.
  bool ok() const { return SUCCEEDED(result_); }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// A COM object of the game's own that offers the one interface `I`: IUnknown's part, for any
// thread (the count is atomic). Made with one reference, deleted with its last.
template <typename I>
class ComObject : public I {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(I)) {
      *out = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;

 private:
  std::atomic<ULONG> references_{1};
};

// Any thread: a COM or system result as the player's report shows it ("0x80004005").
inline std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace palomir::win32
