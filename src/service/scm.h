#pragma once
#include "app/win.h"

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);
BOOL WINAPI ConsoleControlHandler(DWORD event);

// The run command: blocks in the service control dispatcher. Returns the exit code.
int RunServiceDispatcher();
// The console command: runs the loop on this thread until Ctrl+C. Returns the exit code.
int RunConsole();
