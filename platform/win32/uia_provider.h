// The game window's own UI Automation element: a provider the window serves when a client
// (Narrator, a screen reader) asks for it with WM_GETOBJECT, and on which the screen reader's
// notifications are raised. UI Automation's functions are taken from UIAutomationCore.dll by
// name: mingw-w64 ships no import library for it, and Windows before 10 1709 or Wine lack some.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <string>

struct IRawElementProviderSimple;

namespace palomir::win32 {

// UIAutomationCore.dll's functions the game uses; each null where this Windows lacks it.
struct UiaFunctions {
  HRESULT(WINAPI* host_provider)(HWND, IRawElementProviderSimple**) = nullptr;
  LRESULT(WINAPI* return_provider)(HWND, WPARAM, LPARAM, IRawElementProviderSimple*) = nullptr;
  HRESULT(WINAPI* raise_notification)(IRawElementProviderSimple*, int, int, BSTR, BSTR) = nullptr;
  BOOL(WINAPI* clients_listening)() = nullptr;
  HRESULT(WINAPI* disconnect)(IRawElementProviderSimple*) = nullptr;
};

// Any thread. Loads the library the first time (which does not block for long) and keeps it
// for the process; null where there is no UI Automation at all.
const UiaFunctions* Uia();

// Game thread, as the window is made: its provider, free-threaded (UI Automation and the
// voice thread may call it from any thread), named `name` (the window's title); the caller
// holds one reference. Null when there is no UI Automation.
IRawElementProviderSimple* MakeWindowProvider(HWND window, const std::wstring& name);

// Game thread, in the window's procedure: answers WM_GETOBJECT for UI Automation's root with
// `provider`, true then with the answer in `result`; false for any other object asked for.
bool ServeProvider(HWND window, WPARAM w, LPARAM l, IRawElementProviderSimple* provider,
                   LRESULT& result);

// Game thread, as the window goes: clients are told the element is gone, and the window's
// hold on the provider given up. The caller still releases its own reference.
void WithdrawProvider(HWND window, IRawElementProviderSimple* provider);

}  // namespace palomir::win32
