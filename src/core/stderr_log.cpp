#include "core/stderr_log.h"

#include <share.h>
#include <atomic>
#include <cstdio>
#include <vector>
#include "base/data_file.h"
#include "base/paths.h"
#include "core/tail.h"

struct StderrCapture {
    UniqueHandle pipe;  // read end, overlapped
    UniqueHandle readDone;
    UniqueHandle quit;
    UniqueHandle thread;
    UniqueHandle file;
    std::wstring path;
    std::wstring rotatedPath;
    uint64_t size = 0;
};

namespace {

constexpr DWORD kPipeBufferBytes = 64 * 1024;

// Held for the whole run: any user may open the file, and a reopen could be made to wait on that
// user's lock while the core blocks on a full pipe. Readers may look at it while the core runs.
UniqueHandle OpenLogFile(const std::wstring& path, bool truncate = true) {
    return OpenDataFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        truncate);
}

// The full file goes to core.stderr.log.1 only when more bytes are to be written, so the last
// line written always stays in the current file. Done through the handle held, never by name.
void Rotate(StderrCapture& capture) {
    MoveContentAside(capture.file.get(), capture.rotatedPath);
    capture.size = 0;
}

// The previous run's output becomes core.stderr.log.1, so that what a core wrote before it
// died is there to read after the next start. A reader holding the file without delete
// sharing refuses the move, even an open for it; then the contents are copied.
void KeepPreviousRun(const std::wstring& path, const std::wstring& rotatedPath) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    UniqueHandle previous = OpenDataFile(path, GENERIC_READ | GENERIC_WRITE | DELETE,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, false);
    if (!previous) {
        previous = OpenLogFile(path, false);
    }
    if (previous && !MoveOpenFile(previous.get(), rotatedPath, true)) {
        MoveContentAside(previous.get(), rotatedPath);
    }
}

// Whole lines stay together where they fit: a piece that would pass the cap is cut after its
// last line feed that still fits, and only a line longer than the room left is split.
void Append(StderrCapture& capture, const char* bytes, size_t count) {
    // A reader holding the file without write sharing at the launch keeps it from opening: it
    // is tried again with the next piece, and the rest of the run is still kept.
    if (!capture.file) {
        capture.file = OpenLogFile(capture.path);
        capture.size = 0;
    }
    while (count > 0 && capture.file) {
        uint64_t room = kStderrLogCapBytes - capture.size;
        size_t take = count;
        if (take > room) {
            take = static_cast<size_t>(room);
            while (take > 0 && bytes[take - 1] != '\n') {
                --take;
            }
            if (take == 0 && capture.size < kStderrLogCapBytes / 2) {
                take = static_cast<size_t>(room);
            }
        }
        AppendToFile(capture.file.get(), bytes, take);
        capture.size += take;
        bytes += take;
        count -= take;
        if (count > 0) {
            Rotate(capture);
        }
    }
}

DWORD WINAPI ReadCoreOutput(void* parameter) {
    StderrCapture& capture = *static_cast<StderrCapture*>(parameter);
    std::vector<char> buffer(kPipeBufferBytes);
    // The quit event comes first, so a quit wins over more output.
    HANDLE waitSet[2] = {capture.quit.get(), capture.readDone.get()};
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = capture.readDone.get();
        DWORD got = 0;
        if (!ReadFile(capture.pipe.get(), buffer.data(), kPipeBufferBytes, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                break;  // ERROR_BROKEN_PIPE: every process holding the write end has ended
            }
            if (WaitForMultipleObjects(2, waitSet, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
                CancelIoEx(capture.pipe.get(), &overlapped);
                GetOverlappedResult(capture.pipe.get(), &overlapped, &got, TRUE);
                break;
            }
        }
        if (!GetOverlappedResult(capture.pipe.get(), &overlapped, &got, FALSE)) {
            break;
        }
        Append(capture, buffer.data(), got);
    }
    return 0;
}

std::wstring UniquePipeName() {
    static std::atomic<unsigned> counter{0};
    unsigned random = 0;
    rand_s(&random);
    return L"\\\\.\\pipe\\velmora-core-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L"-" + std::to_wstring(random);
}

}  // namespace

void FinishStderrCapture(StderrCapture* capture) {
    // A capture whose reader never started has nothing to join.
    if (capture->thread &&
        WaitForSingleObject(capture->thread.get(), kStderrDrainMs) != WAIT_OBJECT_0) {
        // A process outside the job still holds the write end: stop reading.
        SetEvent(capture->quit.get());
        WaitForSingleObject(capture->thread.get(), INFINITE);
    }
    delete capture;
}

UniqueStderrCapture StartStderrCapture(UniqueHandle& writeEnd, bool& fileOpened) {
    UniqueStderrCapture owner(new StderrCapture);
    StderrCapture& capture = *owner.get();
    capture.path = GetCoreStderrLogPath();
    capture.rotatedPath = GetRotatedCoreStderrLogPath();
    KeepPreviousRun(capture.path, capture.rotatedPath);
    capture.file = OpenLogFile(capture.path);
    fileOpened = capture.file.valid();

    std::wstring name = UniquePipeName();
    // One instance, created here first and connected at once: nobody else can take it.
    capture.pipe.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
    // Only our own instance is opened, and never with rights a pipe server could borrow: a
    // name someone else took first must not get a LocalSystem client to impersonate.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    UniqueHandle write;
    if (capture.pipe) {
        write.reset(CreateFileW(
            name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    }
    capture.readDone.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    capture.quit.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!capture.pipe || !write || !capture.readDone || !capture.quit) {
        return UniqueStderrCapture();
    }
    capture.thread.reset(CreateThread(nullptr, 0, ReadCoreOutput, &capture, 0, nullptr));
    if (!capture.thread) {
        return UniqueStderrCapture();
    }
    writeEnd = std::move(write);
    return owner;
}

std::string ReadStderrTail() {
    // Shared for writing too: the reader may still hold the file.
    UniqueFile file(_wfsopen(GetCoreStderrLogPath().c_str(), L"rb", _SH_DENYNO));
    return file ? ReadTail(file.get()) : std::string();
}
