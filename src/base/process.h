#pragma once
// Processes found by their image: caller verification and the stray sweep compare the same way.
#include <string>
#include <vector>
#include "base/handles.h"

// Units of the image path buffer: the longest path the system can give.
constexpr DWORD kImagePathUnits = 32768;

// Opens the process with `access` and compares its full image path (Win32 form) with `expected`,
// ignoring the case of ASCII letters only. The handle when it matches, else an empty one;
// `imagePath` receives the path read (empty when the process could not be opened or queried).
UniqueHandle OpenProcessWithImage(DWORD processId, DWORD access, const std::wstring& expected,
                                  std::wstring& imagePath);

// The full path of this program, empty when it cannot be read whole.
std::wstring OwnExecutablePath();

// The TOKEN_USER record of a process (opened with PROCESS_QUERY_LIMITED_INFORMATION); empty
// when its token cannot be read.
std::vector<BYTE> TokenUserOf(HANDLE process);

// Whether the process runs as the same user as this one; false when either cannot be read.
bool RunsAsOurUser(HANDLE process);
