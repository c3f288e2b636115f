#pragma once

// A command line without a command word or a valid --name, or install without --core.
constexpr int kExitUsage = 2;
#include <string>

struct CommandLine {
    std::wstring command;
    std::wstring name;
    std::wstring core;
    std::wstring gui;
};

// Scans argv[1..argc-1]: options in any order, last one wins, values verbatim.
CommandLine ScanArguments(int argc, const wchar_t* const* argv);

// A name becomes a folder under ProgramData and a registry key: "." or "..", trailing dots or
// spaces, separators, wildcards and control characters would point them elsewhere.
bool IsValidServiceName(const std::wstring& name);

// The process entry: returns the exit code.
int RunEntry(int argc, const wchar_t* const* argv);
