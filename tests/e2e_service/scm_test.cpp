// Under the real service control manager (Wine's services.exe); the loop's result is the exit code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

class ServiceControlManager : public testing::Test {
protected:
    void SetUp() override {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        name_ = UniqueServiceName(L"scm");
        dir_ = ServiceDataDirectoryOf(name_);
        std::wstring command =
            L"\"" + ProgramPath(L"velmora.exe") + L"\" run --name \"" + name_ + L"\"";
        service_.reset(CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(),
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service_) << GetLastError();
    }
    void TearDown() override {
        SERVICE_STATUS status;
        ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
        Stopped();
        DeleteService(service_.get());
        EndProcessesOf(core_);
        DeleteParameters(name_);
    }
    SERVICE_STATUS Status() {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service_.get(), &status);
        return status;
    }
    bool Stopped() {
        return WaitUntil([&] { return Status().dwCurrentState == SERVICE_STOPPED; }, 30000, 100);
    }
    std::string Log() { return ReadFileBytes(dir_ + L"\\service.log"); }

    UniqueServiceHandle manager_, service_;
    std::wstring name_, dir_, core_;
};

TEST_F(ServiceControlManager, StopEndsTheCoreAndItsChildWithExitCodeZero) {
    std::wstring core = core_ = PrivateStandin(name_);
    ASSERT_FALSE(core.empty());
    std::wstring config = core.substr(0, core.rfind(L'\\')) + L"\\core.conf";
    ASSERT_TRUE(WriteFileBytes(config, "spawn-child=1\n"));
    ASSERT_TRUE(SetParameter(name_, L"CoreBinary", core));
    ASSERT_TRUE(SetParameter(name_, L"GuiBinary", OwnImagePath()));

    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("listening on") != std::string::npos; }, 20000));
    // The service holds its log: a reader sharing nothing cannot take it and lose the run's lines.
    UniqueHandle reader(CreateFileW((dir_ + L"\\service.log").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(reader.valid());
    std::string conf = ReadFileBytes(dir_ + L"\\service.conf");
    int port = std::atoi(conf.c_str() + 5);
    std::string token = conf.substr(conf.find("token=") + 6, 32);
    ASSERT_EQ(SendRequest(port, "POST", "/start", token, ToUtf8(config)).body, "{\"ok\":true}");
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(core).size() == 2; }, 10000));

    // Clients that connect and send a little, then nothing, do not hold up the stop.
    std::vector<UniqueSocket> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(ConnectLoopback(port));
        send(idle.back().get(), "G", 1, 0);
    }
    SERVICE_STATUS status = {};
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(Stopped());
    reader.reset();
    // Idle clients served one after another would hold it 5 s each; a loaded machine adds less.
    EXPECT_LT(GetTickCount64() - start, 15000u);
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    EXPECT_NE(Log().find("core started pid="), std::string::npos);
    EXPECT_NE(Log().find("service loop exited\r\n"), std::string::npos);
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(core).empty(); }, 15000))
        << "the core or its child outlived the service";
    EXPECT_EQ(ReadFileBytes(dir_ + L"\\service.conf"), conf);
}

TEST_F(ServiceControlManager, StopsWithTheLoopsResultWhenNoPortOrNoFileIsLeft) {
    // all ports taken, else a folder where service.conf goes; exit code; log line ("{base}": port)
    const std::tuple<bool, DWORD, std::string> rows[] = {
        {true, static_cast<DWORD>(WSAEADDRINUSE), "failed to bind any port from {base}\r\n"},
        {false, ERROR_ACCESS_DENIED, "(directory hijacked or permission denied)\r\n"}};
    for (const auto& [allPortsTaken, exitCode, rowLine] : rows) {
        SCOPED_TRACE(rowLine);
        int base = ExpectedBasePort(name_);
        std::vector<UniqueSocket> blockers;
        for (int i = 0; allPortsTaken && i < 20; ++i) {
            blockers.push_back(ListenOn("127.0.0.1", base + i));
            ASSERT_TRUE(blockers.back()) << "port " << base + i << " is in use";
        }
        if (!allPortsTaken) {
            CreateDirectoryW(dir_.c_str(), nullptr);
            ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\service.conf").c_str(), nullptr));
        }
        ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
        ASSERT_TRUE(Stopped());
        EXPECT_EQ(Status().dwWin32ExitCode, exitCode);
        std::string logLine = Filled(rowLine, "{base}", std::to_string(base));
        EXPECT_NE(Log().find(logLine), std::string::npos) << Log();
        EXPECT_EQ(Log().find("listening on"), std::string::npos);
    }
}

}  // namespace
