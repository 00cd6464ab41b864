// A stand-in for NVDA, for tests/e2e/nvda_test.py under Wine: it serves NVDA's controller
// interface (platform/win32/nvda_controller.idl) on NVDA's endpoint and writes each call it
// takes to a log, a line each, flushed at once:
//   nvda_standin.exe LOG HOLD_MS [--old]
//   listening            ready for calls
//   test                 testIfRunning
//   text TEXT            speakText
//   ssml LEVEL SSML      speakSsml (synchronous): held HOLD_MS as if being said, then
//   spoken               its line said, the call returns
//   cut                  or cancelSpeech came first and ended it
//   cancel               cancelSpeech
// With --old, it is an NVDA older than 2024.1: speakSsml is a procedure it does not know
// (written down as "unknown", the call failing as RPC fails it).
// Runs until it is killed.
#include <windows.h>
#include <rpc.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "nvda_controller.h"
#include "platform/win32/nvda_endpoint.h"

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return std::malloc(size); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { std::free(p); }

namespace {

std::mutex g_mutex;
std::condition_variable g_cancelled;
unsigned g_cancels = 0;
const char* g_log = nullptr;
std::chrono::milliseconds g_hold{0};
bool g_old = false;

void Log(const std::string& line) {
  std::lock_guard lock(g_mutex);
  if (FILE* f = std::fopen(g_log, "ab")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

extern "C" {

error_status_t __cdecl testIfRunning(handle_t) {
  Log("test");
  return 0;
}

error_status_t __cdecl speakText(handle_t, const wchar_t* text) {
  Log("text " + Utf8(text));
  return 0;
}

error_status_t __cdecl cancelSpeech(handle_t) {
  Log("cancel");
  std::lock_guard lock(g_mutex);
  ++g_cancels;
  g_cancelled.notify_all();
  return 0;
}

error_status_t __cdecl brailleMessage(handle_t, const wchar_t*) { return 0; }

error_status_t __cdecl getProcessId(handle_t, unsigned long* pid) {
  *pid = GetCurrentProcessId();
  return 0;
}

error_status_t __cdecl speakSsml(handle_t, const wchar_t* ssml, nvda_symbol_level level,
                                 nvda_speech_priority, boolean asynchronous) {
  if (g_old) {
    Log("unknown");
    RpcRaiseException(RPC_S_PROCNUM_OUT_OF_RANGE);
  }
  Log("ssml " + std::to_string(level) + " " + Utf8(ssml));
  if (asynchronous) return 0;
  std::unique_lock lock(g_mutex);
  const unsigned cancels = g_cancels;
  const bool cut = g_cancelled.wait_for(lock, g_hold, [&] { return g_cancels != cancels; });
  lock.unlock();
  Log(cut ? "cut" : "spoken");
  return 0;
}

}  // extern "C"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: nvda_standin LOG HOLD_MS [--old]\n");
    return 2;
  }
  g_log = argv[1];
  g_hold = std::chrono::milliseconds(std::atoi(argv[2]));
  g_old = argc > 3 && std::strcmp(argv[3], "--old") == 0;
  std::wstring endpoint = palomir::win32::NvdaEndpoint();
  RPC_STATUS s = RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")),
                                        RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                        reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr);
  if (s == RPC_S_OK) s = RpcServerRegisterIf(NvdaController_v1_0_s_ifspec, nullptr, nullptr);
  if (s != RPC_S_OK) {
    std::fprintf(stderr, "nvda_standin: cannot serve (%ld)\n", static_cast<long>(s));
    return 1;
  }
  Log("listening");
  s = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, FALSE);
  std::fprintf(stderr, "nvda_standin: stopped listening (%ld)\n", static_cast<long>(s));
  return 1;
}
