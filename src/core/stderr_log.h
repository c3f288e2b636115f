#pragma once
// core.stderr.log: the core's standard output and error, captured through a pipe by a reader
// thread that caps the file and rotates it to core.stderr.log.1.
#include <cstdint>
#include <string>
#include "base/handles.h"

// At this size the next bytes go to a fresh file and the full one becomes core.stderr.log.1.
constexpr uint64_t kStderrLogCapBytes = 10ull * 1024 * 1024;

struct StderrCapture;
void FinishStderrCapture(StderrCapture* capture);

struct StderrCaptureTraits {
    using Value = StderrCapture*;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { FinishStderrCapture(v); }
};
// Resetting it lets the reader drain what the core's processes wrote until the last of them has
// ended (at most kStderrDrainMs), then ends the reader.
using UniqueStderrCapture = Unique<StderrCaptureTraits>;

constexpr DWORD kStderrDrainMs = 3000;

// Moves the previous run's core.stderr.log to core.stderr.log.1, opens a new empty one and
// starts the reader. On success `writeEnd` is the inheritable end of the pipe for the core's
// standard output and error, and `fileOpened` tells whether core.stderr.log of this launch is
// open (when it is not, it is tried again with each piece of output). Empty when no pipe or
// reader could be made.
UniqueStderrCapture StartStderrCapture(UniqueHandle& writeEnd, bool& fileOpened);

// The last non-blank line of the last 4096 bytes of core.stderr.log.
std::string ReadStderrTail();
