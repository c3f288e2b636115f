#include "loopback.h"

#include "support.h"

bool LoopbackListener::Open() {
    socket.reset(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (!socket) {
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    int length = sizeof address;
    if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket.get(), SOMAXCONN) != 0 ||
        getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    port = ntohs(address.sin_port);
    return true;
}

UniqueSocket LoopbackListener::Accept(DWORD timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket.get(), &readable);
    timeval wait = {static_cast<long>(timeoutMs / 1000),
                    static_cast<long>(timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) {
        return UniqueSocket();
    }
    UniqueSocket connection(accept(socket.get(), nullptr, nullptr));
    if (connection) {
        SetHandleInformation(reinterpret_cast<HANDLE>(connection.get()), HANDLE_FLAG_INHERIT, 0);
    }
    return connection;
}

bool WaitForData(SOCKET connection, DWORD timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection, &readable);
    timeval wait = {static_cast<long>(timeoutMs / 1000),
                    static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

ClientResult RunClient(uint16_t port, const std::vector<std::string>& segments, DWORD pauseMs,
                       bool shutdownSend) {
    ClientResult result;
    UniqueSocket s(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return result;
    }
    result.connected = true;
    ULONGLONG start = GetTickCount64();
    DWORD timeout = 30000;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0 && pauseMs > 0) {
            Sleep(pauseMs);
        }
        send(s.get(), segments[i].data(), static_cast<int>(segments[i].size()), 0);
    }
    if (shutdownSend) {
        shutdown(s.get(), SD_SEND);
    }
    char buffer[4096];
    int n;
    while ((n = recv(s.get(), buffer, sizeof buffer, 0)) > 0) {
        result.raw.append(buffer, static_cast<size_t>(n));
    }
    result.closedAfterMs = GetTickCount64() - start;
    ParseResponse(result.raw, result.status, result.body);
    return result;
}
