#include "api/connection.h"

#include "api/request.h"
#include "api/routes.h"
#include "app/handles.h"

namespace {

// Reads until the request is complete, the peer stops, a receive fails, the limit is reached or
// the whole-request deadline passes. Returns what arrived.
std::string ReceiveRequest(SOCKET connection, RequestScan& scan) {
    std::string text;
    ULONGLONG deadline = GetTickCount64() + kRequestDeadlineMs;
    char chunk[kReceiveChunk];
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        // Each receive waits at most the time left, so a client that drips bytes cannot hold
        // the single service loop beyond the deadline. 0 would mean "wait forever".
        DWORD left = static_cast<DWORD>(deadline - now);
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left),
                   sizeof left);
        int received = recv(connection, chunk, static_cast<int>(sizeof chunk), 0);
        if (received <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(received));
        scan = ScanRequest(text);
        if (scan.complete || text.size() >= kRequestLimit) {
            break;
        }
    }
    return text;
}

}  // namespace

void ServeConnection(SOCKET connection, const std::string& accessToken) {
    UniqueSocket owned(connection);
    RequestScan scan;
    std::string text = ReceiveRequest(connection, scan);
    HttpRequest request;
    if (!scan.headerEndFound || !ParseRequest(text, scan.headerEnd, request)) {
        return;
    }
    Response response = DispatchRequest(connection, request, accessToken);
    SendResponse(connection, response.status, response.body);
}

void SendResponse(SOCKET connection, int status, const std::string& body) {
    std::string head = FormatResponseHead(status, body.size());
    send(connection, head.data(), static_cast<int>(head.size()), 0);
    send(connection, body.data(), static_cast<int>(body.size()), 0);
}
