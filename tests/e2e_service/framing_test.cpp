// How a console-mode velmora reads requests off the wire: framing, limits and the deadline.
#include <gtest/gtest.h>

#include <string>
#include "support.h"

namespace {

const char kVersionBody[] = "{\"protocol\":1}";

// A connected loopback client whose bytes the test sends piece by piece.
class Client {
public:
    explicit Client(int port) : socket_(ConnectLoopback(port)) {
        connected_ = socket_.valid();
        BOOL noDelay = TRUE;
        setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
    }
    bool connected() const { return connected_; }
    // False once the server has closed the connection.
    bool Send(const std::string& bytes) {
        return send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0) ==
               static_cast<int>(bytes.size());
    }
    void ShutdownSend() { shutdown(socket_.get(), SD_SEND); }
    // Everything until the server closes (or the timeout passes).
    std::string ReadAll(DWORD timeoutMs = 20000) {
        DWORD timeout = timeoutMs;
        setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        std::string all;
        char buffer[4096];
        int n;
        while ((n = recv(socket_.get(), buffer, sizeof buffer, 0)) > 0) {
            all.append(buffer, static_cast<size_t>(n));
        }
        // A close with unread bytes still waiting arrives as a reset.
        closedByServer_ = n == 0 || WSAGetLastError() == WSAECONNRESET;
        return all;
    }
    bool closedByServer() const { return closedByServer_; }

private:
    UniqueSocket socket_;
    bool connected_ = false;
    bool closedByServer_ = false;
};

class RequestFraming : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        service_ = new ConsoleService();
        ASSERT_TRUE(service_->Start(UniqueServiceName(L"framing"))) << service_->Log();
    }
    static void TearDownTestSuite() {
        service_->Kill();
        delete service_;
        WSACleanup();
    }
    static int Port() { return service_->port; }
    static ConsoleService* service_;
};

ConsoleService* RequestFraming::service_ = nullptr;

TEST_F(RequestFraming, VersionAnswersAnyMethodWithoutToken) {
    for (const char* method : {"GET", "POST", "DELETE", "get", "FROB"}) {
        HttpResult result = SendRequest(Port(), method, "/version");
        EXPECT_EQ(200, result.status) << method;
        EXPECT_EQ(kVersionBody, result.body) << method;
        EXPECT_NE(std::string::npos, result.raw.find("Content-Type: application/json\r\n"));
        EXPECT_NE(std::string::npos, result.raw.find("Content-Length: 14\r\n"));
        EXPECT_NE(std::string::npos, result.raw.find("Connection: close\r\n"));
    }
}

TEST_F(RequestFraming, UnknownPathIsNotFound) {
    HttpResult result = SendRequest(Port(), "GET", "/nothing-here", service_->token);
    EXPECT_EQ(404, result.status);
    EXPECT_EQ("{\"ok\":false,\"error\":\"not found\"}", result.body);
    EXPECT_EQ(0u, result.raw.find("HTTP/1.1 404 Not Found\r\n"));
}

TEST_F(RequestFraming, RequestSplitIntoSmallSegmentsIsAssembled) {
    Client client(Port());
    ASSERT_TRUE(client.connected());
    const std::string request = "GET /version HTTP/1.1\r\nHost: x\r\n\r\n";
    for (char c : request) {
        client.Send(std::string(1, c));
        Sleep(2);
    }
    std::string response = client.ReadAll();
    EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\n")) << response;
}

TEST_F(RequestFraming, RequestLineWithoutHeadersIsServed) {
    HttpResult result = SendRaw(Port(), "GET /version HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200, result.status);
}

TEST_F(RequestFraming, MalformedRequestsAreClosedWithoutResponse) {
    // No second space: method and path without a version.
    HttpResult noVersion = SendRaw(Port(), "GET /version\r\n\r\n");
    EXPECT_TRUE(noVersion.connected);
    EXPECT_EQ("", noVersion.raw);
    // Peer closes its sending side before the header end.
    Client halfClosed(Port());
    ASSERT_TRUE(halfClosed.connected());
    halfClosed.Send("GET /version HTTP/1.1\r\n");
    halfClosed.ShutdownSend();
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ("", halfClosed.ReadAll());
    EXPECT_TRUE(halfClosed.closedByServer());
    EXPECT_LT(GetTickCount64() - start, 4000u) << "a closed peer is not waited for";
}

TEST_F(RequestFraming, BareLineFeedsNeverEndTheHead) {
    ULONGLONG start = GetTickCount64();
    HttpResult result = SendRaw(Port(), "GET /version HTTP/1.1\nHost: x\n\n", 30000);
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ("", result.raw);
    // Closed when the request deadline runs out, not earlier and not much later.
    EXPECT_GE(elapsed, 4000u);
    EXPECT_LT(elapsed, 15000u);
}

TEST_F(RequestFraming, OversizedHeadIsClosedWithoutResponse) {
    Client client(Port());
    ASSERT_TRUE(client.connected());
    std::string head = "GET /version HTTP/1.1\r\nX-Fill: " + std::string(70000, 'a');
    client.Send(head);
    std::string response = client.ReadAll();
    EXPECT_EQ("", response);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(RequestFraming, ShortBodyIsServedWhenDeadlinePasses) {
    Client client(Port());
    ASSERT_TRUE(client.connected());
    ULONGLONG start = GetTickCount64();
    client.Send("POST /version HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd");
    std::string response = client.ReadAll();
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\n")) << response;
    EXPECT_GE(elapsed, 4000u);
    EXPECT_LT(elapsed, 15000u);
}

TEST_F(RequestFraming, DrippingClientIsCutOffAtTheDeadline) {
    Client client(Port());
    ASSERT_TRUE(client.connected());
    ULONGLONG start = GetTickCount64();
    // One byte a second would keep a per-receive time-out happy forever.
    bool closed = false;
    for (int i = 0; i < 30 && !closed; ++i) {
        closed = !client.Send("X");
        Sleep(1000);
    }
    std::string response = client.ReadAll(1000);
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ("", response);
    EXPECT_LT(elapsed, 20000u) << "the server kept a dripping client past its deadline";
    // And the loop is free again.
    EXPECT_EQ(200, SendRequest(Port(), "GET", "/version").status);
}

TEST_F(RequestFraming, ContentLengthAboveLimitIsNotWaitedFor) {
    ULONGLONG start = GetTickCount64();
    HttpResult result =
        SendRaw(Port(), "POST /version HTTP/1.1\r\nContent-Length: 999999\r\n\r\nab");
    EXPECT_EQ(200, result.status);
    EXPECT_LT(GetTickCount64() - start, 4000u);
}

}  // namespace
