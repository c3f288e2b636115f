// Placeholder until core supervision lands.
#include "core/core.h"
CoreStateData CoreState{};
bool StopCore() { return true; }
bool IsCoreRunning() { return false; }
void ForgetCore() {}
bool StopProcessGracefully(HANDLE, DWORD, DWORD) { return false; }
std::string LaunchCore(const std::wstring&) { return "not available in this build"; }
std::string ReadStderrTail() { return std::string(); }
std::string LastNonBlankLine(const std::string&) { return std::string(); }
bool SweepStrayCores(const std::wstring&) { return true; }
