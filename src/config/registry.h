#pragma once
#include <string>
#include "base/win.h"

// Reads a REG_SZ value of the service's Parameters key (at most 259 characters). Returns the
// Win32 result: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the key or value is absent, or the
// reason it could not be read (wrong type, too long, access refused).
LONG ReadServiceParameterValue(const wchar_t* valueName, std::wstring& value);

// The value, or empty text when it cannot be read for whatever reason.
std::wstring ReadServiceParameter(const wchar_t* valueName);

// Creates or opens the Parameters key and writes CoreBinary, and GuiBinary when gui is not
// empty. Returns the Win32 error of the first step that failed, or ERROR_SUCCESS.
LONG WriteServiceParameters(const std::wstring& core, const std::wstring& gui);
