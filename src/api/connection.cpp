#include "api/connection.h"

#include "api/routes.h"

namespace {

uint64_t finishedCount = 0;

// False when nothing more is to be read.
bool Absorb(ClientConnection& connection, DWORD error, DWORD received) {
    if (error != 0 || received == 0) {
        EndReceiving(connection);
        return false;
    }
    connection.text.append(connection.chunk, received);
    connection.scan = ScanRequest(connection.text);
    if (connection.scan.complete || connection.text.size() >= kRequestLimit) {
        EndReceiving(connection);
        return false;
    }
    return true;
}

}  // namespace

void EndReceiving(ClientConnection& connection) {
    connection.finished = true;
    connection.finishedOrder = ++finishedCount;
}

void BeginReceiving(ClientConnection& connection, HANDLE received) {
    for (;;) {
        connection.overlapped = WSAOVERLAPPED{};
        connection.overlapped.hEvent = received;
        WSABUF buffer = {static_cast<ULONG>(sizeof connection.chunk), connection.chunk};
        DWORD flags = 0;
        DWORD bytes = 0;
        // Under Wine each receive is a round trip to the server: what is there already is taken
        // now, not at the next wake-up.
        if (WSARecv(connection.socket.get(), &buffer, 1, &bytes, &flags, &connection.overlapped,
                    nullptr) == 0) {
            if (!Absorb(connection, 0, bytes)) {
                return;
            }
            continue;
        }
        DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (error == WSA_IO_PENDING) {
            connection.receiving = true;
            return;
        }
        Absorb(connection, error, 0);
        return;
    }
}

bool TakeReceived(ClientConnection& connection, HANDLE received) {
    if (!connection.receiving || !HasOverlappedIoCompleted(&connection.overlapped)) {
        return false;
    }
    connection.receiving = false;
    // Closed while the receive was under way, or answered with what came by the deadline.
    if (!connection.socket || connection.finished) {
        return true;
    }
    DWORD bytes = 0;
    DWORD flags = 0;
    DWORD error = 0;
    if (!WSAGetOverlappedResult(connection.socket.get(), &connection.overlapped, &bytes, FALSE,
                                &flags)) {
        error = static_cast<DWORD>(WSAGetLastError());
    }
    if (Absorb(connection, error, bytes)) {
        BeginReceiving(connection, received);
    }
    return true;
}

void ServeReceived(ClientConnection& connection, const std::string& accessToken, PeerTable& peers) {
    HttpRequest request;
    if (connection.scan.headerEndFound &&
        ParseRequest(connection.text, connection.scan.headerEnd, request)) {
        Response response = DispatchRequest(connection.socket.get(), request, accessToken, peers);
        SendResponse(connection.socket.get(), response.status, response.body);
    }
    connection.socket.reset();
}

void SendResponse(SOCKET connection, int status, const std::string& body) {
    // One send: under Wine each is a round trip to the server.
    std::string response = FormatResponseHead(status, body.size()) + body;
    send(connection, response.data(), static_cast<int>(response.size()), 0);
}
