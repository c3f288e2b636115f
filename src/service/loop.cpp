#include "service/loop.h"

#include <string>
#include "api/connection.h"
#include "app/handles.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/state.h"
#include "config/endpoint_file.h"
#include "core/tracked_core.h"
// After winsock2.h.
#include <mswsock.h>

namespace {

constexpr DWORD kResultAccessDenied = ERROR_ACCESS_DENIED;     // 5
constexpr DWORD kResultWaitFailed = ERROR_INVALID_HANDLE;      // 6
constexpr DWORD kResultNoWinsock = ERROR_NETWORK_UNREACHABLE;  // 1231
constexpr DWORD kResultNoPort = WSAEADDRINUSE;                 // 10048
constexpr int kPortRange = 20;
constexpr int kBacklog = 4;
constexpr DWORD kAcceptRetryMs = 500;

// Neither the listening socket nor a connection may be inherited by the core: a child holding
// them would keep the control port or a client's connection open.
UniqueSocket CreateListener() {
    return UniqueSocket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

bool BindAndListen(SOCKET listener, int32_t port) {
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
           listen(listener, kBacklog) == 0;
}

// Connections are taken with AcceptEx, whose completion signals the accept event as the result
// of an I/O request. Wine loses FD_ACCEPT notifications of WSAEventSelect now and then under
// load, which leaves a connection waiting in the backlog until the next one arrives.
struct PendingAccept {
    LPFN_ACCEPTEX acceptEx = nullptr;
    UniqueSocket connection;
    OVERLAPPED overlapped = {};
    char addresses[2 * (sizeof(sockaddr_in) + 16)] = {};
};

LPFN_ACCEPTEX FindAcceptEx(SOCKET listener) {
    GUID guid = WSAID_ACCEPTEX;
    LPFN_ACCEPTEX acceptEx = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(listener, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &acceptEx,
                 sizeof acceptEx, &bytes, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return acceptEx;
}

// Starts taking the next connection; the accept event is set when one is there. Returns the
// Win32 error, or 0.
DWORD PostAccept(SOCKET listener, PendingAccept& pending, HANDLE acceptEvent) {
    pending.connection = CreateListener();
    if (!pending.connection) {
        return static_cast<DWORD>(WSAGetLastError());
    }
    ResetEvent(acceptEvent);
    pending.overlapped = OVERLAPPED{};
    pending.overlapped.hEvent = acceptEvent;
    DWORD received = 0;
    const DWORD addressLength = sizeof(sockaddr_in) + 16;
    if (!pending.acceptEx(listener, pending.connection.get(), pending.addresses, 0, addressLength,
                          addressLength, &received, &pending.overlapped)) {
        DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (error != ERROR_IO_PENDING) {
            pending.connection.reset();
            return error;
        }
    }
    return 0;
}

// The accept completed: hands a good connection to ServeConnection.
void ServeAccepted(SOCKET listener, PendingAccept& pending, const std::string& token) {
    DWORD bytes = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(listener, &pending.overlapped, &bytes, FALSE, &flags)) {
        // A client that reset its connection before it was taken: nothing to serve.
        pending.connection.reset();
        return;
    }
    SOCKET connection = pending.connection.release();
    // Lets getpeername and the socket options see the accepted connection.
    setsockopt(connection, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
               reinterpret_cast<const char*>(&listener), sizeof listener);
    ServeConnection(connection, token);
}

}  // namespace

bool AcceptErrorIsTransient(DWORD error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAENOBUFS:
        case WSAEMFILE:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return true;
        default:
            return false;
    }
}

DWORD RunServiceLoop() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        WriteLog("WSAStartup failed");
        return kResultNoWinsock;
    }

    EndpointInfo endpoint;
    EndpointSource source = EndpointSource::kNew;
    if (!SettleEndpoint(endpoint, source)) {
        WriteLog("FATAL: cannot write %ls (directory hijacked or permission denied)",
                 GetEndpointFilePath().c_str());
        WSACleanup();
        return kResultAccessDenied;
    }

    UniqueSocket listener;
    const int32_t basePort = endpoint.port;
    bool bound = false;
    for (int i = 0; i < kPortRange && basePort + i <= kHighestPort; ++i) {
        listener = CreateListener();
        if (!listener) {
            break;
        }
        if (BindAndListen(listener.get(), basePort + i)) {
            endpoint.port = basePort + i;
            bound = true;
            break;
        }
        listener.reset();
    }
    if (!bound) {
        listener.reset();
        WriteLog("failed to bind any port from %d", static_cast<int>(basePort));
        WSACleanup();
        return kResultNoPort;
    }
    ServiceState.listenPort = static_cast<uint16_t>(endpoint.port);

    // The file is left alone when it names what is in use: a reader holding it open must not
    // keep the service from starting.
    bool published = source == EndpointSource::kFile && endpoint.port == basePort;
    if (!published && !WriteEndpointFile(endpoint)) {
        WriteLog("FATAL: cannot write %ls (directory hijacked or permission denied)",
                 GetEndpointFilePath().c_str());
        listener.reset();
        WSACleanup();
        return kResultAccessDenied;
    }
    WriteLog("listening on 127.0.0.1:%d", static_cast<int>(endpoint.port));

    UniqueHandle acceptEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PendingAccept pending;
    pending.acceptEx = FindAcceptEx(listener.get());
    DWORD result = ERROR_SUCCESS;
    DWORD acceptError = pending.acceptEx != nullptr && acceptEvent
                            ? PostAccept(listener.get(), pending, acceptEvent.get())
                            : static_cast<DWORD>(WSAEOPNOTSUPP);

    // The stop event comes first, so a stop wins when both are signalled. A client that resets
    // its connection before it is taken, or a moment without sockets, must not end the service:
    // without a pending accept the loop waits a little on the stop event alone and posts again.
    HANDLE waitSet[2] = {ServiceState.stopEvent, acceptEvent.get()};
    for (;;) {
        if (acceptError != 0 && !AcceptErrorIsTransient(acceptError)) {
            WriteLog("accept failed (err=%lu), exiting loop", acceptError);
            result = kResultWaitFailed;
            break;
        }
        DWORD signalled = pending.connection
                              ? WaitForMultipleObjects(2, waitSet, FALSE, INFINITE)
                              : WaitForMultipleObjects(1, waitSet, FALSE, kAcceptRetryMs);
        if (signalled == WAIT_OBJECT_0) {
            break;
        }
        if (signalled == WAIT_FAILED) {
            DWORD error = GetLastError();
            WriteLog("wait failed (err=%lu), exiting loop", error);
            result = kResultWaitFailed;
            break;
        }
        if (signalled == WAIT_OBJECT_0 + 1) {
            ServeAccepted(listener.get(), pending, endpoint.token);
        }
        acceptError = PostAccept(listener.get(), pending, acceptEvent.get());
    }

    // The pending accept writes into `pending` until it is cancelled and finished.
    if (pending.connection) {
        DWORD bytes = 0;
        CancelIoEx(reinterpret_cast<HANDLE>(listener.get()), &pending.overlapped);
        GetOverlappedResult(reinterpret_cast<HANDLE>(listener.get()), &pending.overlapped, &bytes,
                            TRUE);
        pending.connection.reset();
    }
    acceptEvent.reset();
    listener.reset();
    {
        ScopedLock lock(ServiceState.coreLock);
        StopCore();
    }
    WSACleanup();
    if (result == ERROR_SUCCESS) {
        WriteLog("service loop exited");
    }
    return result;
}
