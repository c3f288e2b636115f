// The service loop driven from outside: velmora.exe console as a child process, real loopback TCP.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

class ServiceLoop : public testing::Test {
protected:
    void TearDown() override { service_.Kill(); }
    ConsoleService service_;
};

// A file held as fopen holds it can only be rewritten in place, one shared only for reading not
// even that: neither keeps the service from starting, nor leaves the file stale.
TEST_F(ServiceLoop, TriesOnlyValidPortsOfAHandEditedFileAndKeepsItsToken) {
    const DWORD rw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    // port edited by hand ("{base}": the name's, "{next}": the one after), ports taken from it up,
    // sharing of a reader holding the file (0: none), log line, port published, exits
    std::tuple<std::string, int, DWORD, std::string, std::string, bool> rows[] = {
        {"65536", 0, 0, "listening on 127.0.0.1:{base}\r\n", "{base}", false},
        {"65535", 0, 0, "listening on 127.0.0.1:65535\r\n", "65535", false},
        {"65534", 2, 0, "failed to bind any port from 65534\r\n", "65534", true},
        {"{base}", 0, rw, "listening on 127.0.0.1:{base}\r\n", "{base}", false},
        {"{base}", 1, rw, "listening on 127.0.0.1:{next}\r\n", "{next}", false},
        {"{base}", 1, FILE_SHARE_READ, "not yet written (err=32), retrying each second\r\n",
         "{next}", false}};
    for (auto& [port, taken, share, logLine, portAfter, exits] : rows) {
        SCOPED_TRACE(port + " held " + std::to_string(share));
        std::wstring name = UniqueServiceName(L"port");
        std::wstring dir = DataDirectoryOf(name);
        int base = ExpectedBasePort(name);
        for (std::string* text : {&port, &logLine, &portAfter}) {
            *text = Filled(Filled(*text, "{base}", std::to_string(base)), "{next}",
                           std::to_string(base + 1));
        }
        const std::string token = "\ntoken=" + kToken + "\n";
        CreateDirectoryW(dir.c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(dir + L"\\service.conf", "port=" + port + token));
        UniqueHandle reader(share ? CreateFileW((dir + L"\\service.conf").c_str(), GENERIC_READ,
                                                share, nullptr, OPEN_EXISTING, 0, nullptr)
                                  : INVALID_HANDLE_VALUE);
        ASSERT_EQ(reader.valid(), share != 0);
        std::vector<UniqueSocket> blockers;
        for (int held = std::stoi(port); held < std::stoi(port) + taken; ++held) {
            blockers.push_back(ListenOn("127.0.0.1", held));
            ASSERT_TRUE(blockers.back()) << "port " << held << " is in use on this machine";
        }
        ChildProcess child;
        ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"console --name " + name, child));
        std::wstring log = dir + L"\\service.log";
        // Whichever way the loop settles its port, it says so once.
        WaitUntil(
            [&] {
                std::string text = ReadFileBytes(log);
                return text.find("listening on") != text.npos ||
                       text.find("failed to bind") != text.npos;
            },
            20000);
        EXPECT_NE(ReadFileBytes(log).find(logLine), std::string::npos) << ReadFileBytes(log);
        // The console command exits 0 whatever the loop returned.
        EXPECT_EQ(child.Wait(exits ? 20000 : 0), exits ? 0u : static_cast<DWORD>(STILL_ACTIVE));
        reader.reset();
        // Published once the reader lets go, with no connection needed to wake the loop.
        const std::string published = "port=" + portAfter + token;
        EXPECT_TRUE(
            WaitUntil([&] { return ReadFileBytes(dir + L"\\service.conf") == published; }, 10000));
        child.Kill();
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

// The oldest without a whole head makes room before its deadline; a request whose body is still
// on its way is not idle, however long it has waited.
TEST_F(ServiceLoop, AnswersWhileIdleClientsHoldMoreConnectionsThanItKeeps) {
    ASSERT_TRUE(service_.Start(UniqueServiceName(L"loop-idle"))) << service_.Log();
    // Every deadline lies 5 s after this; a loaded machine takes far less for what follows.
    ULONGLONG start = GetTickCount64();
    UniqueSocket underWay = ConnectLoopback(service_.port);
    ASSERT_TRUE(underWay);
    send(underWay.get(), "POST /version HTTP/1.1\r\nContent-Length: 2\r\n\r\n", 45, 0);
    std::vector<UniqueSocket> idle, clients;
    for (int i = 0; i < 80 + 4; ++i) {
        std::vector<UniqueSocket>& into = i < 80 ? idle : clients;
        std::string bytes = i < 80 ? "G" : "GET /version HTTP/1.1\r\n\r\n";
        into.push_back(ConnectLoopback(service_.port));
        ASSERT_TRUE(into.back());
        send(into.back().get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    }
    send(underWay.get(), "ab", 2, 0);
    clients.push_back(std::move(underWay));
    for (UniqueSocket& client : clients) {
        EXPECT_NE(ReceiveAll(client.get()).find("{\"protocol\":1}"), std::string::npos);
    }
    // Closed by the service to make room, before its deadline.
    EXPECT_EQ(ReceiveAll(idle.front().get(), 2000), "");
    EXPECT_LT(GetTickCount64() - start, 4500u);
}

// A user may make the data directory again, with links where the files go, or as a link.
TEST_F(ServiceLoop, WritesNoFileThroughALinkPlantedInItsDataDirectory) {
    std::wstring build = TestDirectory().substr(0, TestDirectory().rfind(L'\\'));
    ScopedProgramData programData(build + L"\\planted\\programdata");
    for (const wchar_t* name : {L"planted-files", L"planted-directory"}) {
        SCOPED_TRACE(ToUtf8(name));
        std::wstring core = PrivateStandin(name);
        ASSERT_FALSE(core.empty());
        std::wstring config = core.substr(0, core.rfind(L'\\')) + L"\\core.conf";
        ASSERT_TRUE(WriteFileBytes(config, "stderr=core output\n"));
        ASSERT_TRUE(SetParameter(name, L"CoreBinary", core));
        ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
        bool started = service_.Start(name);
        // Wine renames or removes what a directory link leads to, never the link itself, so
        // the service can only refuse to run there.
        if (RunningUnderWine() && std::wstring(name) == L"planted-directory") {
            EXPECT_FALSE(started);
            EXPECT_EQ(service_.child.Wait(10000), 0u);
            EXPECT_NE(service_.child.Stdout().find("FATAL: cannot secure the data directory"),
                      std::string::npos);
            DeleteParameters(name);
            continue;
        }
        ASSERT_TRUE(started) << service_.Log();
        EXPECT_EQ(SendRequest(service_.port, "POST", "/start", service_.token, ToUtf8(config)).body,
                  "{\"ok\":true}");
        EXPECT_TRUE(service_.LogShows("core started pid="));
        service_.Kill();
        EndProcessesOf(core);
        DeleteParameters(name);
        EXPECT_NE(ReadFileBytes(DataDirectoryOf(name) + L"\\core.stderr.log").find("core output"),
                  std::string::npos);
        EXPECT_NE(service_.Log().find(std::wstring(name) == L"planted-files"
                                          ? "listening on"
                                          : "was not the service's own: made anew"),
                  std::string::npos);
    }
    std::wstring victims = build + L"\\planted\\victims";
    for (const wchar_t* victim :
         {L"service.log", L"service.log.1", L"core.stderr.log", L"core.stderr.log.1",
          L"service.conf.tmp", L"hard", L"directory\\service.log"}) {
        EXPECT_EQ(ReadFileBytes(victims + L"\\" + victim), "victim\n") << ToUtf8(victim);
    }
    EXPECT_EQ(EntriesOf(victims + L"\\directory").size(), 1u);
}

}  // namespace
