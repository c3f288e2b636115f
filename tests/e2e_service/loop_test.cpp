// The service loop driven from outside: velmora.exe console as a child process, real loopback TCP.
#include <gtest/gtest.h>

#include <deque>
#include <vector>
#include "config/endpoint.h"
#include "support.h"

namespace {

struct WinsockSession {
    WinsockSession() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    ~WinsockSession() { WSACleanup(); }
};

// Holds a loopback port the way another program would.
UniqueSocket OccupyPort(int port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    BOOL exclusive = TRUE;
    setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s.get(), 1) != 0) {
        s.reset();
    }
    return s;
}

class ServiceLoop : public ::testing::Test {
protected:
    void TearDown() override {
        for (ConsoleService& service : services_) {
            service.Kill();
        }
    }
    ConsoleService& Started(const std::wstring& name) {
        services_.emplace_back();
        EXPECT_TRUE(services_.back().Start(name)) << services_.back().Log();
        return services_.back();
    }
    // A deque keeps references to earlier services valid as more are started.
    std::deque<ConsoleService> services_;
    WinsockSession winsock_;
};

TEST_F(ServiceLoop, PublishesPortAndKeepsTokenAcrossRestarts) {
    std::wstring name = UniqueServiceName(L"loop-restart");
    ConsoleService& first = Started(name);
    EXPECT_EQ(32u, first.token.size());
    EXPECT_GE(first.port, 17800);
    EXPECT_LT(first.port, 18220);
    EXPECT_EQ(200, SendRequest(first.port, "GET", "/version").status);
    first.Kill();

    ConsoleService& second = Started(name);
    EXPECT_EQ(first.token, second.token);
    EXPECT_EQ(first.port, second.port);
    EXPECT_EQ("port=" + std::to_string(second.port) + "\ntoken=" + second.token + "\n",
              ReadFileBytes(DataDirectoryOf(name) + L"\\service.conf"));
}

TEST_F(ServiceLoop, TakenBasePortMovesToNextAndNextStartBeginsThere) {
    std::wstring name = UniqueServiceName(L"loop-taken");
    int base = ComputeBasePortFor(name);
    UniqueSocket blocker = OccupyPort(base);
    ASSERT_TRUE(blocker.valid()) << "port " << base << " is in use by something else";
    ConsoleService& first = Started(name);
    EXPECT_EQ(base + 1, first.port);
    first.Kill();

    // The file now names base + 1: a new start begins its range there even with base free.
    blocker.reset();
    ConsoleService& second = Started(name);
    EXPECT_EQ(base + 1, second.port);
}

TEST_F(ServiceLoop, AllPortsTakenEndsWithoutEndpointFile) {
    std::wstring name = UniqueServiceName(L"loop-full");
    int base = ComputeBasePortFor(name);
    std::vector<UniqueSocket> blockers;
    for (int i = 0; i < 20; ++i) {
        blockers.push_back(OccupyPort(base + i));
        ASSERT_TRUE(blockers.back().valid()) << "port " << base + i << " is in use";
    }
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"console --name " + name, child));
    // Console mode exits 0 whatever the loop returned.
    EXPECT_EQ(0u, child.Wait(20000));
    std::string log = ReadFileBytes(DataDirectoryOf(name) + L"\\service.log");
    EXPECT_NE(std::string::npos,
              log.find("failed to bind any port from " + std::to_string(base) + "\r\n"))
        << log;
    EXPECT_FALSE(FileExists(DataDirectoryOf(name) + L"\\service.conf"));
}

TEST_F(ServiceLoop, UnwritableEndpointFileStopsBeforeServing) {
    std::wstring name = UniqueServiceName(L"loop-unwritable");
    std::wstring dir = DataDirectoryOf(name);
    CreateDirectoryW(dir.c_str(), nullptr);
    // A directory in the file's place: nothing can be written there.
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\service.conf").c_str(), nullptr));
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"console --name " + name, child));
    EXPECT_EQ(0u, child.Wait(20000));
    std::string log = ReadFileBytes(dir + L"\\service.log");
    EXPECT_NE(std::string::npos, log.find("FATAL: cannot write ")) << log;
    EXPECT_NE(std::string::npos, log.find("(directory hijacked or permission denied)\r\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("listening on")) << log;
    // Nothing listens on the base port of the name.
    EXPECT_FALSE(SendRaw(ComputeBasePortFor(name), "GET /version HTTP/1.1\r\n\r\n").connected);
}

TEST_F(ServiceLoop, HandEditedPortBeyondRangeFallsBackToBasePortKeepingToken) {
    std::wstring name = UniqueServiceName(L"loop-bigport");
    std::wstring dir = DataDirectoryOf(name);
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::string token = "0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(WriteFileBytes(dir + L"\\service.conf", "port=70000\ntoken=" + token + "\n"));
    ConsoleService& service = Started(name);
    EXPECT_EQ(token, service.token);
    int base = ComputeBasePortFor(name);
    EXPECT_GE(service.port, base);
    EXPECT_LT(service.port, base + 20);
}

TEST_F(ServiceLoop, PortNearTopTriesOnlyValidPorts) {
    std::wstring name = UniqueServiceName(L"loop-top");
    std::wstring dir = DataDirectoryOf(name);
    CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(dir + L"\\service.conf", "port=65534\ntoken=abc\n"));
    UniqueSocket a = OccupyPort(65534);
    UniqueSocket b = OccupyPort(65535);
    if (!a.valid() || !b.valid()) {
        GTEST_SKIP() << "ports 65534/65535 are in use on this machine";
    }
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"console --name " + name, child));
    EXPECT_EQ(0u, child.Wait(20000));
    std::string log = ReadFileBytes(dir + L"\\service.log");
    EXPECT_NE(std::string::npos, log.find("failed to bind any port from 65534")) << log;
    // Never a truncated port such as 0 or 1 published.
    EXPECT_EQ("port=65534\ntoken=abc\n", ReadFileBytes(dir + L"\\service.conf"));
}

TEST_F(ServiceLoop, ServesSeveralPendingConnectionsInTurn) {
    ConsoleService& service = Started(UniqueServiceName(L"loop-pending"));
    std::vector<UniqueSocket> clients;
    const std::string request = "GET /version HTTP/1.1\r\n\r\n";
    for (int i = 0; i < 4; ++i) {
        UniqueSocket s = ConnectLoopback(service.port);
        ASSERT_TRUE(s.valid());
        send(s.get(), request.data(), static_cast<int>(request.size()), 0);
        clients.push_back(std::move(s));
    }
    for (UniqueSocket& s : clients) {
        DWORD timeout = 15000;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        std::string response;
        char buffer[1024];
        int n;
        while ((n = recv(s.get(), buffer, sizeof buffer, 0)) > 0) {
            response.append(buffer, static_cast<size_t>(n));
        }
        EXPECT_NE(std::string::npos, response.find("{\"protocol\":1}")) << response;
    }
}

}  // namespace
