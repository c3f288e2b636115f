#include <string>
#include <vector>
#include "app/paths.h"
#include "app/state.h"
#include "app/text.h"
#include "core/core.h"
#include "core_support.h"

namespace {

class CoreLaunch : public CoreFixture {
protected:
    std::wstring Config(const std::string& content) {
        return WriteConfig(folder_, L"core.conf", content);
    }
    static bool Running() {
        ScopedLock lock(ServiceState.coreLock);
        return IsCoreRunning();
    }
};

TEST_F(CoreLaunch, MissingCoreBinaryIsMisconfiguration) {
    DeleteParameters(serviceName_);
    EXPECT_EQ(LaunchCore(Config("")), "service misconfigured: CoreBinary registry value missing");
}

TEST_F(CoreLaunch, RefusesCoreBinaryThatDoesNotExistOrCannotBeQuoted) {
    for (std::wstring core : {folder_ + L"\\missing.exe", folder_ + L"\\a\" b.exe"}) {
        ASSERT_TRUE(SetParameter(serviceName_, L"CoreBinary", core));
        EXPECT_EQ(LaunchCore(Config("")), "core binary not found: " + ToUtf8(core));
    }
}

TEST_F(CoreLaunch, RefusesConfigThatDoesNotExistOrCannotBeQuoted) {
    std::wstring existing = Config("");
    std::vector<std::wstring> refused = {
        folder_ + L"\\missing.conf",
        folder_ + L"\\core.conf\" --other \"x",
        // The part before the NUL exists, so only the NUL check refuses it.
        existing + std::wstring(1, L'\0') + L"junk",
    };
    for (const std::wstring& config : refused) {
        EXPECT_EQ(LaunchCore(config), "config not found: " + ToUtf8(config));
    }
    EXPECT_EQ(ServiceLogText(), "");
}

TEST_F(CoreLaunch, FailedCheckLeavesRunningCoreAlone) {
    ASSERT_EQ(LaunchCore(Config("")), "");
    DWORD pid = CoreState.processInfo.dwProcessId;
    EXPECT_EQ(LaunchCore(folder_ + L"\\missing.conf"),
              "config not found: " + ToUtf8(folder_ + L"\\missing.conf"));
    EXPECT_TRUE(Running());
    EXPECT_EQ(CoreState.processInfo.dwProcessId, pid);
}

TEST_F(CoreLaunch, CreateProcessFailureIsReportedAfterTruncatingStderrLog) {
    // A folder passes the existence check but cannot be started.
    ASSERT_TRUE(SetParameter(serviceName_, L"CoreBinary", folder_));
    ASSERT_TRUE(WriteFileBytes(GetCoreStderrLogPath(), "from an earlier run\n"));
    std::string result = LaunchCore(Config(""));
    EXPECT_EQ(result.rfind("CreateProcess failed (err=", 0), 0u) << result;
    EXPECT_GT(NumberAfter(result, "(err="), 0u) << result;
    EXPECT_EQ(result.back(), ')');
    EXPECT_EQ(CoreStderrText(), "");
    EXPECT_FALSE(Running());
}

TEST_F(CoreLaunch, StartedCoreIsTrackedAndLogged) {
    ASSERT_EQ(LaunchCore(Config("")), "");
    EXPECT_TRUE(Running());
    DWORD pid = CoreState.processInfo.dwProcessId;
    EXPECT_NE(CoreState.job, nullptr);
    EXPECT_NE(ServiceLogText().find("core started pid=" + std::to_string(pid) + "\n"),
              std::string::npos);
    EXPECT_NE(CoreStderrText().find("standin-core started pid=" + std::to_string(pid) + "\n"),
              std::string::npos);
}

struct EarlyExitCase {
    const char* name;
    std::string config;
    std::string expected;
};

void PrintTo(const EarlyExitCase& c, std::ostream* os) {
    *os << c.name;
}

class CoreEarlyExit : public CoreLaunch, public ::testing::WithParamInterface<EarlyExitCase> {};

TEST_P(CoreEarlyExit, IsReportedWithLastStderrLine) {
    EXPECT_EQ(LaunchCore(Config(GetParam().config)), GetParam().expected);
    EXPECT_FALSE(CoreState.running);
    EXPECT_EQ(CoreState.job, nullptr);
    std::string tail = GetParam().expected == "core exited immediately" ? "" : GetParam().expected;
    EXPECT_NE(ServiceLogText().find("core exited early: " + tail + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Stderr, CoreEarlyExit,
    ::testing::Values(
        EarlyExitCase{"Message", "exit-now=FATAL cannot parse config\n",
                      "FATAL cannot parse config"},
        EarlyExitCase{"NothingWritten", "quiet=1\nexit-now=\n", "core exited immediately"},
        EarlyExitCase{"BlankLinesAfterMessage",
                      "quiet=1\nstderr=boom\\r\\n\\r\\n  \\r\nexit-now=\nexit-code=0\n", "boom"}),
    [](const ::testing::TestParamInfo<EarlyExitCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(CoreLaunch, EarlyExitWithoutFreshStderrFileIsImmediate) {
    ASSERT_TRUE(WriteFileBytes(GetCoreStderrLogPath(), "stale line from an earlier run\n"));
    // Held without sharing, so this launch cannot create its file.
    UniqueHandle holder(CreateFileW(GetCoreStderrLogPath().c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(LaunchCore(Config("exit-now=fresh message\n")), "core exited immediately");
}

TEST_F(CoreLaunch, StdoutAndStderrShareFileInOrder) {
    ASSERT_EQ(LaunchCore(Config("quiet=1\nstdout=one\nstderr=two\nstdout=three\n")), "");
    EXPECT_EQ(CoreStderrText(), "one\ntwo\nthree\n");
}

TEST_F(CoreLaunch, RestartStopsRunningCoreFirst) {
    ASSERT_EQ(LaunchCore(Config("")), "");
    DWORD firstPid = CoreState.processInfo.dwProcessId;
    UniqueHandle first(OpenProcess(SYNCHRONIZE, FALSE, firstPid));
    ASSERT_TRUE(first.valid());

    ASSERT_EQ(LaunchCore(Config("")), "");
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(Running());
    EXPECT_NE(CoreState.processInfo.dwProcessId, firstPid);
}

TEST_F(CoreLaunch, StartsInFolderOfConfig) {
    std::wstring folder = MakeTempFolder(L"velmora config folder");
    ASSERT_EQ(LaunchCore(WriteConfig(folder, L"core.conf", "")), "");
    std::string stderrText = CoreStderrText();
    EXPECT_NE(stderrText.find("cwd=" + ToUtf8(folder) + "\n"), std::string::npos) << stderrText;
}

TEST_F(CoreLaunch, BareConfigNameStartsInServiceFolder) {
    WriteConfig(folder_, L"core.conf", "");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder_.c_str()));
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    std::string result = LaunchCore(L"core.conf");
    SetCurrentDirectoryW(previous);
    ASSERT_EQ(result, "");
    std::string stderrText = CoreStderrText();
    EXPECT_NE(stderrText.find("cwd=" + ToUtf8(current) + "\n"), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find("arg[3]=core.conf\n"), std::string::npos) << stderrText;
}

TEST_F(CoreLaunch, PathsWithSpacesAndTrailingBackslashArriveIntact) {
    std::wstring core = CopyStandin(L"velmora core dir");
    ASSERT_TRUE(SetParameter(serviceName_, L"CoreBinary", core));
    // A folder passes the existence check; the stand-in then runs with its defaults.
    std::wstring config = MakeTempFolder(L"velmora config dir") + L"\\";
    ASSERT_EQ(LaunchCore(config), "");
    std::string stderrText = CoreStderrText();
    EXPECT_NE(stderrText.find("argc=4\narg[1]=run\narg[2]=-c\narg[3]=" + ToUtf8(config) + "\n"),
              std::string::npos)
        << stderrText;
}

TEST_F(CoreLaunch, CoreDoesNotInheritServiceSockets) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    // socket() handles are inheritable, as the service's listening socket is.
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), SOMAXCONN), 0);
    int length = sizeof address;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);

    ASSERT_EQ(LaunchCore(Config("")), "");
    listener.reset();
    // Only a copy held by the core could keep the port taken now.
    UniqueSocket again(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    BOOL exclusive = TRUE;
    setsockopt(again.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    EXPECT_EQ(bind(again.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << "err=" << WSAGetLastError();
    EXPECT_TRUE(Running());
    again.reset();
    WSACleanup();
}

}  // namespace
