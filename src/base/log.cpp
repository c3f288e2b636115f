#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <vector>
#include "base/console.h"
#include "base/data_file.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/text.h"

namespace {

// How often a log that could not be opened is tried again.
constexpr DWORD kRetryMs = 500;
// "[YYYY-MM-DD hh:mm:ss] "
constexpr size_t kStampBytes = 22;
constexpr const char kCutMark[] = "...";
// Lines any local caller can provoke at will are summed up over this long.
constexpr ULONGLONG kRepeatWindowMs = 60 * 1000;
// Beyond this many different lines within a window, each is written as it comes.
constexpr size_t kRepeatsTracked = 1024;

// A line written once in its window; the same text again within it is only counted.
struct Repeat {
    std::string message;
    ULONGLONG firstAt;
    uint64_t more;
};

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
    // Asked by a flush: the log is let go of once every line is in it.
    bool release = false;
    std::vector<Repeat> repeats;
};
LogQueue queue;

std::string StampNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FormatLogPrefix(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// A message whose line would pass kLogLineBytes keeps its beginning and its end (where a path
// ends in the program's name), with kCutMark between them; never half a UTF-8 character.
std::string CutLogLine(const std::string& message) {
    const size_t room = kLogLineBytes - kStampBytes - 2;
    if (message.size() <= room) {
        return message;
    }
    auto isContinuation = [&](size_t at) { return (message[at] & 0xC0) == 0x80; };
    size_t head = (room - (sizeof kCutMark - 1)) / 2;
    size_t tail = message.size() - (room - (sizeof kCutMark - 1) - head);
    while (head > 0 && isContinuation(head)) {
        --head;
    }
    while (tail < message.size() && isContinuation(tail)) {
        ++tail;
    }
    return message.substr(0, head) + kCutMark + message.substr(tail);
}

uint64_t SizeOf(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool DeletePending(HANDLE file) {
    FILE_STANDARD_INFO info = {};
    return GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) &&
           info.DeletePending;
}

// The log stays open from its first line to the flush at the end of the process, sharing
// everything: a reader that shares nothing can then never take it between two lines, nor at a
// rotation. It is opened anew only when its path has changed or it was deleted.
bool WriteHeld(UniqueHandle& log, std::wstring& heldPath, const std::string& batch) {
    std::wstring path = GetServiceLogPath();
    if (log && (path != heldPath || DeletePending(log.get()))) {
        log.reset();
    }
    if (!log) {
        log = OpenDataFile(path, GENERIC_READ | GENERIC_WRITE, kShareAll, false);
        heldPath = path;
    }
    if (!log) {
        return false;
    }
    // Moved aside through the handle held, so the name is never free for anyone to take. Anyone
    // may hold service.log.1 and refuse it its content; the log stays under its cap anyway.
    if (SizeOf(log.get()) >= kLogRotateBytes) {
        MoveContentAside(log.get(), GetRotatedServiceLogPath());
    }
    return AppendToFile(log.get(), batch.data(), batch.size());
}

// Summaries of repeats whose window has ended (all of them with `all`), queued as lines.
void EndRepeats(bool all) {
    ULONGLONG now = GetTickCount64();
    size_t kept = 0;
    for (size_t i = 0; i < queue.repeats.size(); ++i) {
        Repeat& repeat = queue.repeats[i];
        if (!all && now < repeat.firstAt + kRepeatWindowMs) {
            if (kept != i) {
                queue.repeats[kept] = std::move(repeat);
            }
            ++kept;
        } else if (repeat.more > 0) {
            std::string line =
                StampNow() +
                CutLogLine(repeat.message +
                           FormatText(" ... and %llu more requests",
                                      static_cast<unsigned long long>(repeat.more))) +
                "\r\n";
            queue.bytes += line.size();
            queue.lines.push_back(std::move(line));
        }
    }
    queue.repeats.resize(kept);
}

DWORD NextRepeatDueMs() {
    ULONGLONG now = GetTickCount64();
    ULONGLONG next = ~0ull;
    for (const Repeat& repeat : queue.repeats) {
        ULONGLONG due = repeat.firstAt + kRepeatWindowMs;
        next = due < next ? due : next;
    }
    return next == ~0ull ? INFINITE : next <= now ? 0 : static_cast<DWORD>(next - now);
}

DWORD WINAPI WriteQueuedLines(void*) {
    UniqueHandle log;
    std::wstring heldPath;
    AcquireSRWLockExclusive(&queue.lock);
    for (;;) {
        EndRepeats(false);
        if (queue.lines.empty()) {
            if (queue.release) {
                log.reset();
                queue.release = false;
            }
            queue.writing = false;
            WakeAllConditionVariable(&queue.changed);
            SleepConditionVariableSRW(&queue.changed, &queue.lock, NextRepeatDueMs(), 0);
            continue;
        }
        queue.writing = true;
        std::string batch;
        for (const std::string& line : queue.lines) {
            batch += line;
        }
        size_t count = queue.lines.size();
        ReleaseSRWLockExclusive(&queue.lock);

        bool written = WriteHeld(log, heldPath, batch);

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

// Called with the lock held.
void EnqueueLocked(std::string line) {
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
}

// The message as the log writes it, whole lines under their cap; echoed in console mode.
void Log(const std::string& message, bool oncePerMinute) {
    std::string cut = CutLogLine(message);
    AcquireSRWLockExclusive(&queue.lock);
    bool counted = false;
    if (oncePerMinute) {
        for (Repeat& repeat : queue.repeats) {
            if (repeat.message == message) {
                ++repeat.more;
                counted = true;
                break;
            }
        }
        if (!counted && queue.repeats.size() < kRepeatsTracked) {
            queue.repeats.push_back(Repeat{message, GetTickCount64(), 0});
        }
    }
    if (!counted) {
        EnqueueLocked(StampNow() + cut + "\r\n");
    }
    ReleaseSRWLockExclusive(&queue.lock);
    WakeAllConditionVariable(&queue.changed);
    if (!counted && ServiceState.consoleMode) {
        PrintOut("%s\n", cut.c_str());
    }
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

std::wstring LastPartOfPath(const std::wstring& path) {
    if (path.size() <= kLoggedPathUnits) {
        return path;
    }
    size_t start = path.size() - kLoggedPathUnits;
    // Never half a surrogate pair.
    if (path[start] >= 0xDC00 && path[start] <= 0xDFFF) {
        ++start;
    }
    return L"..." + path.substr(start);
}

void WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = EscapeLogText(FormatTextV(format, args));
    va_end(args);
    Log(message, false);
}

void WriteLogOncePerMinute(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = EscapeLogText(FormatTextV(format, args));
    va_end(args);
    Log(message, true);
}

bool FlushLog(DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    AcquireSRWLockExclusive(&queue.lock);
    EndRepeats(true);
    queue.release = queue.writerStarted;
    bool done = false;
    for (;;) {
        done = !queue.writerStarted || (queue.lines.empty() && !queue.writing && !queue.release);
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
