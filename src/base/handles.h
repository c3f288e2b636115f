#pragma once
// Small move-only owners, so a handle is closed on every path by the operation that opened it.
#include <cstdio>
#include "base/win.h"

template <typename Traits>
class Unique {
public:
    using Value = typename Traits::Value;

    Unique() = default;
    explicit Unique(Value value) : value_(value) {}
    ~Unique() { reset(); }
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Value get() const { return value_; }
    bool valid() const { return Traits::IsValid(value_); }
    explicit operator bool() const { return valid(); }
    Value release() {
        Value value = value_;
        value_ = Traits::Empty();
        return value;
    }
    void reset(Value value = Traits::Empty()) {
        if (Traits::IsValid(value_)) {
            Traits::Close(value_);
        }
        value_ = value;
    }
    // For out-parameters of the API that fills the handle.
    Value* put() {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::Empty();
};

struct HandleTraits {
    using Value = HANDLE;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void Close(Value v) { CloseHandle(v); }
};
using UniqueHandle = Unique<HandleTraits>;

struct SocketTraits {
    using Value = SOCKET;
    static Value Empty() { return INVALID_SOCKET; }
    static bool IsValid(Value v) { return v != INVALID_SOCKET; }
    static void Close(Value v) { closesocket(v); }
};
using UniqueSocket = Unique<SocketTraits>;

struct WsaEventTraits {
    using Value = WSAEVENT;
    static Value Empty() { return WSA_INVALID_EVENT; }
    static bool IsValid(Value v) { return v != WSA_INVALID_EVENT; }
    static void Close(Value v) { WSACloseEvent(v); }
};
using UniqueWsaEvent = Unique<WsaEventTraits>;

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { CloseServiceHandle(v); }
};
using UniqueServiceHandle = Unique<ServiceHandleTraits>;

struct RegKeyTraits {
    using Value = HKEY;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { RegCloseKey(v); }
};
using UniqueRegKey = Unique<RegKeyTraits>;

// Security descriptors, ACLs and SID strings that the API allocated with LocalAlloc.
struct LocalTraits {
    using Value = HLOCAL;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { LocalFree(v); }
};
using UniqueLocal = Unique<LocalTraits>;

struct FileTraits {
    using Value = FILE*;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { fclose(v); }
};
using UniqueFile = Unique<FileTraits>;

struct FindTraits {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) { return v != INVALID_HANDLE_VALUE; }
    static void Close(Value v) { FindClose(v); }
};
// A directory search of FindFirstFileW.
using UniqueFind = Unique<FindTraits>;

// Winsock 2.2 for as long as it lives; cleaned up only when it started.
class ScopedWinsock {
public:
    ScopedWinsock() : started_(WSAStartup(MAKEWORD(2, 2), &data_) == 0) {}
    ~ScopedWinsock() {
        if (started_) {
            WSACleanup();
        }
    }
    ScopedWinsock(const ScopedWinsock&) = delete;
    ScopedWinsock& operator=(const ScopedWinsock&) = delete;
    bool started() const { return started_; }

private:
    WSADATA data_ = {};
    bool started_;
};

class ScopedLock {
public:
    explicit ScopedLock(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~ScopedLock() { LeaveCriticalSection(&section_); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CRITICAL_SECTION& section_;
};
