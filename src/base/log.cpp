#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include "base/console.h"
#include "base/data_file.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/text.h"

namespace {

// How often a log that could not be opened is tried again.
constexpr DWORD kRetryMs = 500;

// Lines on their way to the file. The writer thread is the only one that touches it: any user
// may open service.log, and an open of it can be made to wait for as long as that user likes.
struct LogQueue {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::deque<std::string> lines;
    size_t bytes = 0;
    uint64_t dropped = 0;
    bool writing = false;
    bool writerStarted = false;
};
LogQueue queue;

std::string StampNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FormatLogPrefix(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

uint64_t SizeOf(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

UniqueHandle OpenLog() {
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
    std::wstring path = GetServiceLogPath();
    UniqueHandle log = OpenDataFile(path, kAccess, kShareAll, false);
    if (!log || SizeOf(log.get()) < kLogRotateBytes) {
        return log;
    }
    // Anyone may hold either file and refuse the move; the log stays under its cap anyway.
    if (!MoveOpenFile(log.get(), GetRotatedServiceLogPath(), true)) {
        MoveContentAside(log.get(), GetRotatedServiceLogPath());
        return log;
    }
    return OpenDataFile(path, kAccess, kShareAll, false);
}

DWORD WINAPI WriteQueuedLines(void*) {
    AcquireSRWLockExclusive(&queue.lock);
    for (;;) {
        while (queue.lines.empty()) {
            queue.writing = false;
            WakeAllConditionVariable(&queue.changed);
            SleepConditionVariableSRW(&queue.changed, &queue.lock, INFINITE, 0);
        }
        queue.writing = true;
        std::string batch;
        for (const std::string& line : queue.lines) {
            batch += line;
        }
        size_t count = queue.lines.size();
        ReleaseSRWLockExclusive(&queue.lock);

        UniqueHandle log = OpenLog();
        bool written = log && AppendToFile(log.get(), batch.data(), batch.size());
        log.reset();

        AcquireSRWLockExclusive(&queue.lock);
        if (written) {
            for (size_t i = 0; i < count; ++i) {
                queue.bytes -= queue.lines.front().size();
                queue.lines.pop_front();
            }
        } else {
            // The lines wait for the file; the wait ends early only for a flush or new lines.
            SleepConditionVariableSRW(&queue.changed, &queue.lock, kRetryMs, 0);
        }
    }
}

void Enqueue(std::string line) {
    AcquireSRWLockExclusive(&queue.lock);
    if (!queue.writerStarted) {
        HANDLE writer = CreateThread(nullptr, 0, WriteQueuedLines, nullptr, 0, nullptr);
        queue.writerStarted = writer != nullptr;
        if (writer != nullptr) {
            CloseHandle(writer);
        }
    }
    if (queue.dropped > 0 && queue.bytes + line.size() + 128 <= kLogBacklogBytes) {
        std::string notice =
            StampNow() +
            FormatText("%llu log lines dropped while service.log could not be written",
                       static_cast<unsigned long long>(queue.dropped)) +
            "\r\n";
        queue.bytes += notice.size();
        queue.lines.push_back(std::move(notice));
        queue.dropped = 0;
    }
    if (queue.bytes + line.size() > kLogBacklogBytes) {
        ++queue.dropped;
    } else {
        queue.bytes += line.size();
        queue.lines.push_back(std::move(line));
    }
    ReleaseSRWLockExclusive(&queue.lock);
    WakeAllConditionVariable(&queue.changed);
}

}  // namespace

std::string FormatLogPrefix(int year, int month, int day, int hour, int minute, int second) {
    char prefix[64];
    snprintf(prefix, sizeof prefix, "[%04d-%02d-%02d %02d:%02d:%02d] ", year, month, day, hour,
             minute, second);
    return prefix;
}

std::string EscapeLogText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = EscapeLogText(FormatTextV(format, args));
    va_end(args);
    Enqueue(StampNow() + message + "\r\n");
    if (ServiceState.consoleMode) {
        PrintOut("%s\n", message.c_str());
    }
}

bool FlushLog(DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    AcquireSRWLockExclusive(&queue.lock);
    bool done = false;
    for (;;) {
        done = !queue.writerStarted || (queue.lines.empty() && !queue.writing);
        ULONGLONG now = GetTickCount64();
        if (done || now >= deadline) {
            break;
        }
        WakeAllConditionVariable(&queue.changed);
        SleepConditionVariableSRW(&queue.changed, &queue.lock, static_cast<DWORD>(deadline - now),
                                  0);
    }
    ReleaseSRWLockExclusive(&queue.lock);
    return done;
}
