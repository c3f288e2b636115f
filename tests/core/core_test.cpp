// What only the inside shows: how a stop ends the core, what it inherits, its tail and folder.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>
#include "base/log.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/text.h"
#include "core/command.h"
#include "core/launch.h"
#include "core/restart_throttle.h"
#include "core/process_stop.h"
#include "core/tail.h"
#include "core/tracked_core.h"
#include "support.h"

namespace {

std::string Log() {
    FlushLog(5000);
    return WithoutCr(ReadFileBytes(GetServiceLogPath()));
}

class CoreStop : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceState.serviceName = UniqueServiceName(L"corestop");
        CreateDirectoryW(GetDataDirectory().c_str(), nullptr);
        exe_ = PrivateStandin(ServiceState.serviceName);
        ASSERT_FALSE(exe_.empty());
    }
    void TearDown() override { TerminateProcess(core_.get(), 1); }
    void StartCore(const std::string& config, DWORD flags) {
        std::wstring path = GetDataDirectory() + L"\\core.conf";
        ASSERT_TRUE(WriteFileBytes(path, config));
        StartedCore core = StartStandin(exe_, path, flags);
        ASSERT_TRUE(core.process);
        core_ = std::move(core.process);
        pid_ = core.pid;
        std::wstring event = L"velmora-standin-break-" + std::to_wstring(pid_);
        ASSERT_TRUE(WaitUntil(
            [&] { return UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, event.c_str())).valid(); },
            10000));
    }
    std::string Line(const char* format, DWORD second = 0) {
        char line[160];
        snprintf(line, sizeof line, format, static_cast<unsigned long>(pid_),
                 static_cast<unsigned long>(second));
        return line;
    }
    void ExpectEnded() {
        ASSERT_EQ(WaitForSingleObject(core_.get(), 0), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(core_.get(), &code);
        EXPECT_EQ(code, 0u);
    }

    std::wstring exe_;
    UniqueHandle core_;
    DWORD pid_ = 0;
};

// Stands in for a delivered break: the stand-in treats its named event as one.
bool SimulateBreak(DWORD processId, DWORD& error) {
    std::wstring name = L"velmora-standin-break-" + std::to_wstring(processId);
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    error = event && SetEvent(event.get()) ? ERROR_SUCCESS : GetLastError();
    return error == ERROR_SUCCESS;
}

TEST_F(CoreStop, EndsCoreWithExitCodeZeroAndLogsHow) {
    const std::tuple<const char*, DWORD, bool, const char*> rows[] = {
        {"", 8000, true, "core %lu exited gracefully\n"},
        {"ignore-break=1\n", 500, false, "core %lu did not exit in %lums, terminating\n"}};
    for (const auto& [config, timeoutMs, graceful, line] : rows) {
        SCOPED_TRACE(line);
        // Started as the service starts a core: a process group of its own, no window.
        StartCore(config, CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW);
        EXPECT_EQ(StopProcessWith(SimulateBreak, core_.get(), pid_, timeoutMs), graceful);
        ExpectEnded();
        EXPECT_NE(Log().find(Line(line, timeoutMs)), std::string::npos) << Log();
    }
}

// The helper is this program re-invoked. A core started without a group of its own shares the
// group of its parent, so the break reaches every process on its console, the helper too.
TEST_F(CoreStop, BreakHelperStopsCoreGracefullyAndSurvivesItsOwnBreak) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine 8 cannot deliver CTRL_BREAK_EVENT; its forced path is shown by "
                        "tests/scripts/console_ctrl_c.sh";
    }
    for (DWORD flags :
         {DWORD{CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW}, DWORD{CREATE_NEW_CONSOLE}}) {
        SCOPED_TRACE(flags);
        StartCore("", flags);
        EXPECT_TRUE(StopProcessGracefully(core_.get(), pid_, kGracefulStopMs));
        ExpectEnded();
        EXPECT_NE(Log().find(Line("core %lu exited gracefully\n")), std::string::npos) << Log();
    }
}

// Joined while still suspended, the core cannot start anything outside the job.
TEST_F(CoreStop, JoinsItsJobBeforeItRuns) {
    StartedCore core = StartStandin(exe_, L"none", CREATE_SUSPENDED | CREATE_NO_WINDOW);
    ASSERT_TRUE(core.process);
    core_ = std::move(core.process);
    UniqueHandle job = JoinKillOnCloseJob(core_.get());
    BOOL in = FALSE;
    EXPECT_TRUE(IsProcessInJob(core_.get(), job.get(), &in) && in);
    // One suspension undone: nothing resumed the core before.
    EXPECT_EQ(ResumeThread(core.thread.get()), 1u);
}

TEST_F(CoreStop, CoreInheritsNoServiceSocket) {
    ASSERT_TRUE(SetParameter(ServiceState.serviceName, L"CoreBinary", exe_));
    std::wstring config = GetDataDirectory() + L"\\core.conf";
    ASSERT_TRUE(WriteFileBytes(config, ""));
    UniqueSocket listener = ListenOn("127.0.0.1", 0);
    // Inheritable, as the service's sockets would be by default.
    ASSERT_TRUE(SetHandleInformation(reinterpret_cast<HANDLE>(listener.get()), HANDLE_FLAG_INHERIT,
                                     HANDLE_FLAG_INHERIT));
    sockaddr_in address = {};
    int length = sizeof address;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(LaunchCore(config), "");
    listener.reset();
    // Only a copy held by the core could keep the port taken now.
    EXPECT_TRUE(ListenOn("127.0.0.1", ntohs(address.sin_port), SO_EXCLUSIVEADDRUSE));
    {
        ScopedLock lock(ServiceState.coreLock);
        EXPECT_TRUE(IsCoreRunning());
        StopCore();
    }
    DeleteParameters(ServiceState.serviceName);
}

TEST(StderrTail, IsLastNonBlankLineOfLast4096Bytes) {
    const std::pair<std::string, std::string> rows[] = {
        {"fatal: bad\r\n\r\n  \r\n", "fatal: bad"},
        {"a\n  \tlast  \r \r\n", "  \tlast"},  // leading spaces and tabs stay
        {"one\ntwo", "two"},
        {"\r\n  \n\n", ""},
        {"caf\xc3\xa9 \xff\n", "caf\xc3\xa9 \xff"},
        {"early\n" + std::string(4096, '\n'), ""},  // earlier bytes unseen
        {std::string(5000, 'y') + std::string(4096, 'x'), std::string(4096, 'x')}};
    for (const auto& [output, tail] : rows) {
        EXPECT_EQ(LastNonBlankLine(output), tail) << output.substr(0, 40);
    }
}

// Runs in a row, each given as how long it lasted (ms; 0 for a restart that failed to start),
// and what follows each: the delay before the next start, or 0 for giving up.
TEST(RestartThrottle, DoublesFromOneSecondResetsAfterASteadyRunAndGivesUpAtTheFifthExit) {
    const int64_t steady = 10 * 60 * 1000;
    const std::tuple<const char*, std::vector<int64_t>, std::vector<uint32_t>, int> rows[] = {
        {"FailedStartsCount", {5000, 0, 0, 0, 0}, {1000, 2000, 4000, 8000, 0}, 4},
        {"SteadyRunResets", {2000, 2000, 2000, steady, 2000}, {1000, 2000, 4000, 1000, 2000}, -1},
        {"JustShortOfSteady", {2000, 2000, 2000, steady - 1, 2000}, {1000, 2000, 4000, 8000, 0}, 4},
    };
    for (const auto& [name, runs, delays, restartsWhenGivingUp] : rows) {
        RestartThrottle throttle;
        for (size_t i = 0; i < runs.size(); ++i) {
            RestartDecision next = NoteCoreExit(throttle, static_cast<uint64_t>(runs[i]));
            EXPECT_EQ(next.giveUp, delays[i] == 0) << name << " exit " << i;
            EXPECT_EQ(next.giveUp ? 0u : next.delayMs, delays[i]) << name << " exit " << i;
            if (next.giveUp) {
                EXPECT_EQ(next.restartsMade, restartsWhenGivingUp) << name;
            }
        }
    }
}

// The folder of the configuration itself shows from outside (tests/e2e_api).
TEST(CoreWorkingFolder, IsFolderOfConfig) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"C:\\a.json", L"C:\\"}, {L"\\\\host\\share\\a", L"\\\\host\\share"}};
    for (const auto& [config, folder] : rows) {
        EXPECT_EQ(CoreWorkingDirectory(config), folder) << ToUtf8(config);
    }
}

}  // namespace
