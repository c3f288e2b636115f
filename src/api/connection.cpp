#include "api/connection.h"

#include "api/routes.h"

namespace {

uint64_t finishedCount = 0;

void CALLBACK ReceiveDone(DWORD error, DWORD received, LPWSAOVERLAPPED overlapped, DWORD) {
    auto& connection = *static_cast<ClientConnection*>(overlapped->hEvent);
    connection.receiving = false;
    // Closed while the receive was under way, or answered with what came by the deadline.
    if (!connection.socket || connection.finished) {
        return;
    }
    if (error != 0 || received == 0) {
        EndReceiving(connection);
        return;
    }
    connection.text.append(connection.chunk, received);
    connection.scan = ScanRequest(connection.text);
    if (connection.scan.complete || connection.text.size() >= kRequestLimit) {
        EndReceiving(connection);
        return;
    }
    BeginReceiving(connection);
}

}  // namespace

void EndReceiving(ClientConnection& connection) {
    connection.finished = true;
    connection.finishedOrder = ++finishedCount;
}

void BeginReceiving(ClientConnection& connection) {
    connection.overlapped = WSAOVERLAPPED{};
    // With a completion routine the event member is the caller's: it carries the record.
    connection.overlapped.hEvent = &connection;
    WSABUF buffer = {static_cast<ULONG>(sizeof connection.chunk), connection.chunk};
    DWORD flags = 0;
    connection.receiving = true;
    // Completed at once or later, the routine runs at the loop's next alertable wait.
    if (WSARecv(connection.socket.get(), &buffer, 1, nullptr, &flags, &connection.overlapped,
                ReceiveDone) != 0 &&
        WSAGetLastError() != WSA_IO_PENDING) {
        connection.receiving = false;
        EndReceiving(connection);
    }
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
    std::string head = FormatResponseHead(status, body.size());
    send(connection, head.data(), static_cast<int>(head.size()), 0);
    send(connection, body.data(), static_cast<int>(body.size()), 0);
}
