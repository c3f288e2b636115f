#pragma once
// The service's events in the Application log, under the service's name as the source.
// Administrators and monitoring tools look there first; service.log stays the full record, so
// an event that cannot be reported is dropped without a word and never holds the service up.
#include <string>
#include "base/text.h"
#include "base/win.h"

// Event types the source's messages use: error, warning and information.
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Registers the service's name as a source of the Application log whose texts are the message
// table of `messageFile` (the installed velmora.exe). A source of that name that another program
// registered is left alone: ERROR_ALREADY_EXISTS. Otherwise the Win32 result.
LONG AddEventSource(const std::wstring& messageFile);

// Deletes the source when its messages come from a program of the same file name as this one,
// so that removal never takes away another program's source (ERROR_ACCESS_DENIED then).
// Otherwise the Win32 result.
LONG DeleteEventSource();

// One call where each event happens; each one costs a local call and never fails the caller.
void ReportServiceStarted(int port);
void ReportServiceStopped(DWORD exitCode);
void ReportCoreEnded(DWORD processId, DWORD exitCode);
void ReportCoreGivenUp(int restarts);
void ReportStopForced(DWORD deadlineMs);

// A line that ends the service: "FATAL: <message>" in service.log, and an error event.
void WriteFatal(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);
