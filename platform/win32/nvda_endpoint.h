// Where NVDA serves its controller interface: a local RPC endpoint named after the session
// and the desktop it runs on, "NvdaCtlr.1.Default", so that a program reaches the NVDA of its
// own desktop. Any thread, pure but for two questions to the system; does not block.
#pragma once

#include <windows.h>

#include <string>

namespace palomir::win32 {

inline std::wstring NvdaEndpoint() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  wchar_t desktop[64] = L"";
  GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, desktop,
                            sizeof(desktop) - sizeof(wchar_t), nullptr);
  return L"NvdaCtlr." + std::to_wstring(session) + L"." + desktop;
}

}  // namespace palomir::win32
