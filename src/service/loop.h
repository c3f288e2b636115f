#pragma once
#include "base/win.h"

// The loop's results, which the service reports as its Win32 exit code.
constexpr DWORD kLoopResultOk = ERROR_SUCCESS;
// The data directory cannot be secured, or the endpoint file cannot be written.
constexpr DWORD kLoopResultAccessDenied = ERROR_ACCESS_DENIED;  // 5
// A wait failed, or accepting connections failed for good.
constexpr DWORD kLoopResultFailed = ERROR_INVALID_HANDLE;          // 6
constexpr DWORD kLoopResultNoWinsock = ERROR_NETWORK_UNREACHABLE;  // 1231
// No port of the range could be bound.
constexpr DWORD kLoopResultNoPort = WSAEADDRINUSE;  // 10048

// The body of the service in both run and console mode; one of the results above.
DWORD RunServiceLoop();

// Whether a failed post of the next accept is worth retrying: the listener itself is sound.
bool AcceptErrorIsTransient(DWORD error);

// What the loop waits on. A wait reports the first signalled handle of the set, so the stop
// comes first: connections that keep arriving can never hold a stop off. Null handles are left
// out; an index of MAXDWORD means not waited on.
struct LoopWaitSet {
    HANDLE handles[4] = {};
    DWORD count = 0;
    DWORD acceptIndex = MAXDWORD;
    DWORD receivedIndex = MAXDWORD;
};
LoopWaitSet BuildLoopWaitSet(HANDLE stop, HANDLE accept, HANDLE received, HANDLE core);
