// RPC's client and server stubs, as widl makes them, built by GCC, which has no __try:
// their clean-up blocks run where the call returns, and an error the RPC runtime raises
// (the server gone, a procedure it does not know) is caught by Guarded around the call,
// with structured exception handling set up by hand. A raised error skips a stub's
// clean-up: the message buffer of that one failed call is not freed.
#pragma once

#ifndef USE_COMPILER_EXCEPTIONS
#define USE_COMPILER_EXCEPTIONS
#endif
#include <rpc.h>

#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcTryFinally
#undef RpcFinally
#undef RpcEndFinally
#undef RpcExceptionCode
#undef RpcAbnormalTermination
#define RpcTryExcept {
#define RpcExcept(expr) } if (0) {
#define RpcEndExcept }
#define RpcTryFinally {
#define RpcFinally } {
#define RpcEndFinally }
#define RpcExceptionCode() 0
#define RpcAbnormalTermination() 0

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned long (*palomir_rpc_call)(void* argument);

// Any thread; blocks as long as `call` does. Runs `call(argument)` (a client stub's call)
// and returns what it returns, or the error the RPC runtime raised in it (an error code
// below 0x10000: RPC_S_SERVER_UNAVAILABLE, RPC_S_PROCNUM_OUT_OF_RANGE...). Any other
// exception (a fault) goes on as if this were not there.
unsigned long palomir_rpc_guarded(palomir_rpc_call call, void* argument);

#ifdef __cplusplus
}
#endif
