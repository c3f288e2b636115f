#include "service/loop.h"

#include <string>
#include "api/connection.h"
#include "app/handles.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/state.h"
#include "config/endpoint.h"
#include "core/core.h"

namespace {

constexpr DWORD kResultAccessDenied = ERROR_ACCESS_DENIED;     // 5
constexpr DWORD kResultWaitFailed = ERROR_INVALID_HANDLE;      // 6
constexpr DWORD kResultNoWinsock = ERROR_NETWORK_UNREACHABLE;  // 1231
constexpr DWORD kResultNoPort = WSAEADDRINUSE;                 // 10048
constexpr int kPortRange = 20;
constexpr int32_t kHighestPort = 65535;
constexpr int kBacklog = 4;

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

// The endpoint in use: the published one when valid, else a new pair. False when no token
// could be generated.
bool SettleEndpoint(EndpointInfo& endpoint) {
    if (ReadEndpointFile(endpoint)) {
        // A hand-edited port beyond the last valid one leaves nothing to try; keep the token.
        if (endpoint.port > kHighestPort) {
            endpoint.port = ComputeBasePort();
        }
        return true;
    }
    endpoint.port = ComputeBasePort();
    return GenerateAccessToken(endpoint.token);
}

void ServePendingConnections(SOCKET listener, WSAEVENT acceptEvent, const std::string& token) {
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(listener, acceptEvent, &events);
    for (;;) {
        if (WaitForSingleObject(ServiceState.stopEvent, 0) == WAIT_OBJECT_0) {
            return;
        }
        SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET) {
            return;
        }
        SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
        WSAEventSelect(connection, nullptr, 0);
        u_long blocking = 0;
        ioctlsocket(connection, FIONBIO, &blocking);
        ServeConnection(connection, token);
    }
}

}  // namespace

DWORD RunServiceLoop() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        WriteLog("WSAStartup failed");
        return kResultNoWinsock;
    }

    EndpointInfo endpoint;
    if (!SettleEndpoint(endpoint)) {
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

    if (!WriteEndpointFile(endpoint)) {
        WriteLog("FATAL: cannot write %ls (directory hijacked or permission denied)",
                 GetEndpointFilePath().c_str());
        listener.reset();
        WSACleanup();
        return kResultAccessDenied;
    }
    WriteLog("listening on 127.0.0.1:%d", static_cast<int>(endpoint.port));

    UniqueWsaEvent acceptEvent(WSACreateEvent());
    WSAEventSelect(listener.get(), acceptEvent.get(), FD_ACCEPT);

    // The stop event comes first, so a stop wins when both are signalled.
    HANDLE waitSet[2] = {ServiceState.stopEvent, acceptEvent.get()};
    DWORD result = ERROR_SUCCESS;
    for (;;) {
        DWORD signalled = WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
        if (signalled == WAIT_OBJECT_0) {
            break;
        }
        if (signalled == WAIT_FAILED) {
            DWORD error = GetLastError();
            WriteLog("wait failed (err=%lu), exiting loop", error);
            result = kResultWaitFailed;
            break;
        }
        ServePendingConnections(listener.get(), acceptEvent.get(), endpoint.token);
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
