// velmora.exe run under the real service control manager (Wine's services.exe).
#include <gtest/gtest.h>

#include <vector>
#include "app/text.h"
#include "config/endpoint.h"
#include "support.h"

namespace {

class ServiceControlManager : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_.valid()) << GetLastError();
    }
    void TearDown() override {
        if (service_) {
            SERVICE_STATUS status;
            ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED, 20000);
            DeleteService(service_.get());
            service_.reset();
        }
        WSACleanup();
    }
    void Register(const std::wstring& name) {
        name_ = name;
        std::wstring command =
            L"\"" + ProgramPath(L"velmora.exe") + L"\" run --name \"" + name + L"\"";
        service_.reset(CreateServiceW(manager_.get(), name.c_str(), name.c_str(),
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service_.valid()) << GetLastError();
    }
    SERVICE_STATUS Query() {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service_.get(), &status);
        return status;
    }
    bool WaitForState(DWORD state, DWORD timeoutMs) {
        return WaitUntil([&] { return Query().dwCurrentState == state; }, timeoutMs, 100);
    }
    std::string Log() { return ReadFileBytes(ServiceDataDirectoryOf(name_) + L"\\service.log"); }

    UniqueServiceHandle manager_;
    UniqueServiceHandle service_;
    std::wstring name_;
};

TEST_F(ServiceControlManager, StartsServesAndStopsWithExitCodeZero) {
    Register(UniqueServiceName(L"scm-run"));
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              Query().dwControlsAccepted);
    ASSERT_TRUE(WaitUntil([&] { return Log().find("listening on") != std::string::npos; }, 20000));

    EndpointInfo endpoint;
    ParseEndpointText(ReadFileBytes(ServiceDataDirectoryOf(name_) + L"\\service.conf"), endpoint);
    EXPECT_EQ("{\"protocol\":1}", SendRequest(endpoint.port, "GET", "/version").body);

    // Interrogate is answered and changes nothing.
    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().dwCurrentState);
    // Pause is not among the accepted controls.
    EXPECT_FALSE(ControlService(service_.get(), SERVICE_CONTROL_PAUSE, &status));

    ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, 20000));
    EXPECT_EQ(0u, Query().dwWin32ExitCode);
    EXPECT_NE(std::string::npos, Log().find("service loop exited\r\n"));
    // The endpoint file stays for the next start.
    EXPECT_TRUE(FileExists(ServiceDataDirectoryOf(name_) + L"\\service.conf"));
}

TEST_F(ServiceControlManager, StopEndsCoreAndItsChild) {
    Register(UniqueServiceName(L"scm-core"));
    // A private copy of the core: the sweep ends every process of the core's image.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name_;
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring core = folder + L"\\standin-core.exe";
    ASSERT_TRUE(CopyFileW(ProgramPath(L"standin-core.exe").c_str(), core.c_str(), FALSE));
    std::wstring config = folder + L"\\core.conf";
    ASSERT_TRUE(WriteFileBytes(config, "spawn-child=1\n"));
    ASSERT_TRUE(SetParameter(name_, L"CoreBinary", core));
    ASSERT_TRUE(SetParameter(name_, L"GuiBinary", OwnImagePath()));

    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("listening on") != std::string::npos; }, 20000));
    EndpointInfo endpoint;
    ParseEndpointText(ReadFileBytes(ServiceDataDirectoryOf(name_) + L"\\service.conf"), endpoint);
    ASSERT_EQ("{\"ok\":true}",
              SendRequest(endpoint.port, "POST", "/start", endpoint.token, ToUtf8(config)).body);
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(core).size() == 2; }, 10000));

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, 30000));
    EXPECT_EQ(0u, Query().dwWin32ExitCode);
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(core).empty(); }, 15000))
        << "the core or its child outlived the service";
}

TEST_F(ServiceControlManager, AllPortsTakenStopsWithAddressInUse) {
    Register(UniqueServiceName(L"scm-full"));
    int base = ComputeBasePortFor(name_);
    std::vector<UniqueSocket> blockers;
    for (int i = 0; i < 20; ++i) {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(base + i));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ASSERT_EQ(0, bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address))
            << "port " << base + i << " in use";
        listen(s.get(), 1);
        blockers.push_back(std::move(s));
    }
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, 20000));
    EXPECT_EQ(static_cast<DWORD>(WSAEADDRINUSE), Query().dwWin32ExitCode);
}

TEST_F(ServiceControlManager, UnwritableEndpointFileStopsWithAccessDenied) {
    Register(UniqueServiceName(L"scm-unwritable"));
    std::wstring dir = ServiceDataDirectoryOf(name_);
    CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\service.conf").c_str(), nullptr));
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, 20000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Query().dwWin32ExitCode);
}

TEST(RunCommand, TypedAtPromptReportsDispatcherError) {
    std::string err;
    DWORD code = RunProgram(ProgramPath(L"velmora.exe"), L"run --name prompt-run", nullptr, &err);
    EXPECT_EQ(1u, code);
    EXPECT_NE(std::string::npos, err.find("not started by SCM (err=1063); use 'console' to debug"))
        << err;
}

}  // namespace
