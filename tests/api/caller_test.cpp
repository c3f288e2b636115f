// Caller checks over real loopback connections: which process owns a client end shows only inside.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>
#include "api/caller.h"
#include "api/connection.h"
#include "api/routes.h"
#include "base/state.h"
#include "support.h"

namespace {

class CallerVerification : public testing::Test {
protected:
    void SetUp() override {
        name_ = UniqueServiceName(L"caller");
        ServiceState.serviceName = name_;
        CreateDirectoryW(DataDirectoryOf(name_).c_str(), nullptr);
        listener_ = ListenOn("127.0.0.1", 0);
        ASSERT_TRUE(listener_);
        sockaddr_in address = {};
        int length = sizeof address;
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        ServiceState.listenPort = ntohs(address.sin_port);
    }
    void TearDown() override { DeleteParameters(name_); }

    // Once its client has sent, so Wine knows the client's process; not inherited by our clients.
    UniqueSocket AcceptSent() {
        UniqueSocket connection(accept(listener_.get(), nullptr, nullptr));
        SetHandleInformation(reinterpret_cast<HANDLE>(connection.get()), HANDLE_FLAG_INHERIT, 0);
        WSAPOLLFD readable = {connection.get(), POLLRDNORM, 0};
        if (!connection || WSAPoll(&readable, 1, 20000) != 1) {
            connection.reset();
        }
        return connection;
    }
    std::wstring name_;
    UniqueSocket listener_;
};

TEST_F(CallerVerification, MatchesEachOfSeveralOpenConnectionsToItsOwnProcess) {
    ASSERT_TRUE(SetParameter(name_, L"GuiBinary", ProgramPath(L"velmoractl.exe")));
    ASSERT_TRUE(WriteFileBytes(DataDirectoryOf(name_) + L"\\service.conf",
                               "port=" + std::to_string(ServiceState.listenPort) +
                                   "\ntoken=0123456789abcdef0123456789abcdef\n"));
    ChildProcess clients[4];
    for (ChildProcess& client : clients) {
        ASSERT_TRUE(StartProgram(ProgramPath(L"velmoractl.exe"),
                                 L"--name \"" + name_ + L"\" version", client));
    }
    std::vector<UniqueSocket> connections;
    for (int i = 0; i < 4; ++i) {
        connections.push_back(AcceptSent());
        ASSERT_TRUE(connections.back());
    }
    // All four are open at once; each is answered with the process it was matched to.
    for (UniqueSocket& connection : connections) {
        sockaddr_in peer = {};
        int length = sizeof peer;
        getpeername(connection.get(), reinterpret_cast<sockaddr*>(&peer), &length);
        PeerTable table;
        DWORD pid = FindPeerPid(ntohs(peer.sin_port), ServiceState.listenPort, table);
        EXPECT_EQ(VerifyPeer(connection.get(), table), PeerCheck::kTrusted);
        SendResponse(connection.get(), 200, "{\"pid\":" + std::to_string(pid) + "}");
        connection.reset();
    }
    for (ChildProcess& client : clients) {
        EXPECT_EQ(client.Wait(20000), 0u);
        EXPECT_EQ(client.Stdout(), "200 {\"pid\":" + std::to_string(client.pid) + "}\r\n");
    }
}

// A table that could not be read (once a round) answers "cannot verify", never "untrusted".
TEST_F(CallerVerification, TellsACallerThatCouldNotBeCheckedSo) {
    ASSERT_TRUE(SetParameter(name_, L"GuiBinary", OwnImagePath()));
    UniqueSocket client = ConnectLoopback(ServiceState.listenPort);
    send(client.get(), "x", 1, 0);
    UniqueSocket connection = AcceptSent();
    ASSERT_TRUE(connection);
    const HttpRequest request = {"GET", "/none", "GET /none HTTP/1.1\r\nx-auth-token: t", "", true};
    const std::tuple<PeerTable::State, int, std::string> rows[] = {
        {PeerTable::State::kUnread, 404, "{\"ok\":false,\"error\":\"not found\"}"},
        {PeerTable::State::kFailed, 503, "{\"ok\":false,\"error\":\"cannot verify caller\"}"},
        {PeerTable::State::kRead, 401, "{\"ok\":false,\"error\":\"untrusted caller\"}"}};
    for (const auto& [state, status, body] : rows) {
        PeerTable table;
        table.state = state;
        table.bytes.assign(64, 0);  // a table of no rows
        Response response = DispatchRequest(connection.get(), request, "t", table);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, body);
        EXPECT_EQ(table.state == PeerTable::State::kFailed, status == 503);
    }
}

}  // namespace
