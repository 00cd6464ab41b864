#include "platform/win32/rpc_guard.h"

#include <excpt.h>
#include <windows.h>

// The error caught on this thread by the call under way; 0: none.
static __thread DWORD g_raised;

// The filter of the handler __try1 registers: it takes the RPC runtime's errors alone.
__attribute__((used)) static LONG TakeRpcError(EXCEPTION_POINTERS* e, void* frame) {
  (void)frame;
  const DWORD code = e->ExceptionRecord->ExceptionCode;
  if (code == 0 || code >= 0x10000) return EXCEPTION_CONTINUE_SEARCH;
  g_raised = code;
  return EXCEPTION_EXECUTE_HANDLER;
}

// The guarded region holds the call alone: where an error is taken, the stack unwinds to
// this frame and goes on after __except1 (mingw-w64's __try1 names its labels once a
// file, so the region is in this one function).
__attribute__((noinline)) static void Run(palomir_rpc_call call, void* argument,
                                          volatile unsigned long* result) {
  __try1(TakeRpcError)
  *result = call(argument);
  __except1
}

unsigned long palomir_rpc_guarded(palomir_rpc_call call, void* argument) {
  volatile unsigned long result = 0;
  g_raised = 0;
  Run(call, argument, &result);
  return g_raised ? g_raised : result;
}
