#pragma once
#include "base/text.h"
#include <cstdint>
#include <string>
#include "base/win.h"

// Beyond this size the log moves to service.log.1 before the next line, so no local caller that
// provokes log lines can fill the disk.
constexpr uint64_t kLogRotateBytes = 10ull * 1024 * 1024;

// Lines wait in memory while service.log cannot be written; beyond this many bytes new lines are
// dropped, and their number is logged once writing resumes.
constexpr size_t kLogBacklogBytes = 1024 * 1024;

// One time-stamped line for service.log (format without trailing newline), stamped now and
// written in order by the log's own writer, so the caller never waits on the file; echoed to
// standard output in console mode. Every failure is silent.
void WriteLog(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);

// For a line that any local caller can provoke at will, such as a refused request's: the first
// line of a text in a minute is logged, the same text again within that minute only counted, and
// at the minute's end the count is logged as the text followed by " ... and N more requests".
void WriteLogOncePerMinute(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);

// Whatever is logged, no line of service.log is longer than this, its line end included: a longer
// message keeps its beginning and its end, with "..." between them.
constexpr size_t kLogLineBytes = 512;

// The last 260 characters of a path for a log line, marked with a leading "..." when cut.
constexpr size_t kLoggedPathUnits = 260;
std::wstring LastPartOfPath(const std::wstring& path);

// Waits until every line logged so far is in the file, at most `timeoutMs`; false when some are
// still waiting. Counts of repeated lines are logged first, whatever their minute. Then the
// writer lets go of the file, which it otherwise holds from the first line on (for the end of
// the process: a later line opens it again).
bool FlushLog(DWORD timeoutMs);

// "[YYYY-MM-DD hh:mm:ss] "
std::string FormatLogPrefix(int year, int month, int day, int hour, int minute, int second);

// Control bytes of a log message (below 0x20 but tab, and 0x7F) as "\xHH", so a text from
// outside cannot start what a viewer would show as a line of its own.
std::string EscapeLogText(const std::string& text);
