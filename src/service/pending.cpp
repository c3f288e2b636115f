// Placeholder until the service runtime lands.
#include "app/console.h"
#include "service/loop.h"
#include "service/scm.h"
DWORD RunServiceLoop() { return 0; }
void WINAPI ServiceMain(DWORD, LPWSTR*) {}
DWORD WINAPI ServiceControlHandler(DWORD, DWORD, LPVOID, LPVOID) { return 0; }
BOOL WINAPI ConsoleControlHandler(DWORD) { return FALSE; }
int RunServiceDispatcher() { PrintErr("run: not available in this build\n"); return 1; }
int RunConsole() { PrintErr("console: not available in this build\n"); return 1; }
