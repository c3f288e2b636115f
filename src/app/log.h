#pragma once
#include <cstdint>
#include <string>

// Beyond this size the log moves to service.log.1 before the next line, so no local caller that
// provokes log lines can fill the disk.
constexpr uint64_t kLogRotateBytes = 10ull * 1024 * 1024;

// One time-stamped line in service.log (format without trailing newline); echoed to standard
// output in console mode. Every failure is silent.
void WriteLog(const char* format, ...);

// "[YYYY-MM-DD hh:mm:ss] "
std::string FormatLogPrefix(int year, int month, int day, int hour, int minute, int second);
