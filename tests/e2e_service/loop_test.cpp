// The service loop driven from outside: velmora.exe console as a child process, real loopback TCP.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "support.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

class ServiceLoop : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    void TearDown() override { service_.Kill(); }
    ConsoleService service_;
};

TEST_F(ServiceLoop, TriesOnlyValidPortsOfAHandEditedFileAndKeepsItsToken) {
    const std::string file = "\ntoken=" + kToken + "\n";
    struct {
        std::string before;      // service.conf as edited by hand
        std::vector<int> taken;  // ports other programs hold
        std::string logLine;     // "{base}" stands for the name's base port
        std::string after;
        bool exits;
    } rows[] = {
        {"port=70000" + file, {}, "listening on 127.0.0.1:{base}\r\n", "port={base}" + file, false},
        {"port=65534" + file,
         {65534, 65535},
         "failed to bind any port from 65534\r\n",
         "port=65534" + file,
         true}};
    for (auto& c : rows) {
        SCOPED_TRACE(c.before);
        std::wstring name = UniqueServiceName(L"port");
        std::wstring dir = DataDirectoryOf(name);
        CreateDirectoryW(dir.c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(dir + L"\\service.conf", c.before));
        std::vector<UniqueSocket> blockers;
        for (int port : c.taken) {
            blockers.push_back(ListenOn("127.0.0.1", port));
            ASSERT_TRUE(blockers.back()) << "port " << port << " is in use on this machine";
        }
        for (std::string* text : {&c.logLine, &c.after}) {
            *text = Filled(*text, "{base}", std::to_string(ExpectedBasePort(name)));
        }
        ChildProcess child;
        ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"console --name " + name, child));
        std::wstring log = dir + L"\\service.log";
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadFileBytes(log).find(c.logLine) != std::string::npos; }, 20000))
            << ReadFileBytes(log);
        // The console command exits 0 whatever the loop returned.
        EXPECT_EQ(child.Wait(c.exits ? 20000 : 0), c.exits ? 0u : static_cast<DWORD>(STILL_ACTIVE));
        child.Kill();
        EXPECT_EQ(ReadFileBytes(dir + L"\\service.conf"), c.after);
    }
}

TEST_F(ServiceLoop, ListensOnLoopbackOnlyAndExclusively) {
    ASSERT_TRUE(service_.Start(UniqueServiceName(L"loop-bind"))) << service_.Log();
    // Beside a listener without SO_EXCLUSIVEADDRUSE, Windows lets these binds take its port
    // (Wine refuses them either way).
    EXPECT_FALSE(ListenOn("127.0.0.1", service_.port, SO_REUSEADDR));
    EXPECT_FALSE(ListenOn("0.0.0.0", service_.port, SO_REUSEADDR));
    EXPECT_FALSE(ConnectLoopback(service_.port, "127.0.0.2"));
    EXPECT_TRUE(ConnectLoopback(service_.port));
}

TEST_F(ServiceLoop, ServesSeveralPendingConnectionsInTurn) {
    ASSERT_TRUE(service_.Start(UniqueServiceName(L"loop-pending"))) << service_.Log();
    std::vector<UniqueSocket> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(ConnectLoopback(service_.port));
        ASSERT_TRUE(clients.back());
        send(clients.back().get(), "GET /version HTTP/1.1\r\n\r\n", 25, 0);
    }
    for (UniqueSocket& client : clients) {
        EXPECT_NE(ReceiveAll(client.get()).find("{\"protocol\":1}"), std::string::npos);
    }
}

}  // namespace
