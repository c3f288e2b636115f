#pragma once
#include "base/win.h"

// From a stop request to the end of the process at most: the longest core stop (break helper
// 5 s, 8 s for the core to exit, 3 s after termination) plus the output drain, with room.
constexpr DWORD kStopDeadlineMs = 25000;

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);
BOOL WINAPI ConsoleControlHandler(DWORD event);

// The run command: blocks in the service control dispatcher. Returns the exit code.
int RunServiceDispatcher();
// The console command: runs the loop on this thread until Ctrl+C. Returns the exit code.
int RunConsole();
