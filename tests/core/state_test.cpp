#include <string>
#include "app/state.h"
#include "core/core.h"
#include "core_support.h"

namespace {

class TrackedCore : public CoreFixture {
protected:
    // Launches a core with this config and opens a handle of the test's own to it.
    void Launch(const std::string& config) {
        ASSERT_EQ(LaunchCore(WriteConfig(folder_, L"core.conf", config)), "");
        pid_ = CoreState.processInfo.dwProcessId;
        process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid_));
        ASSERT_TRUE(process_.valid());
    }
    static void ExpectRecordCleared() {
        EXPECT_FALSE(CoreState.running);
        EXPECT_EQ(CoreState.processInfo.hProcess, nullptr);
        EXPECT_EQ(CoreState.processInfo.hThread, nullptr);
        EXPECT_EQ(CoreState.processInfo.dwProcessId, 0u);
        EXPECT_EQ(CoreState.processInfo.dwThreadId, 0u);
        EXPECT_EQ(CoreState.job, nullptr);
    }

    DWORD pid_ = 0;
    UniqueHandle process_;
};

TEST_F(TrackedCore, StopWithNothingTrackedIsGracefulAndSilent) {
    ScopedLock lock(ServiceState.coreLock);
    EXPECT_TRUE(StopCore());
    EXPECT_EQ(ServiceLogText(), "");
}

TEST_F(TrackedCore, StopEndsCoreThatIgnoresBreakAndClearsRecord) {
    Launch("ignore-break=1\n");
    bool graceful;
    {
        ScopedLock lock(ServiceState.coreLock);
        graceful = StopCore();
        ExpectRecordCleared();
    }
    EXPECT_FALSE(graceful);
    EXPECT_EQ(ExitCodeAfter(process_.get(), 5000), 0u);
    std::string pid = std::to_string(pid_);
    std::string log = ServiceLogText();
    if (RunningUnderWine()) {
        EXPECT_NE(log.find("ctrl-break to " + pid + " failed (err="), std::string::npos) << log;
    } else {
        EXPECT_NE(log.find("core " + pid + " did not exit in 8000ms, terminating"),
                  std::string::npos)
            << log;
    }
}

TEST_F(TrackedCore, StopOfCoreThatHonoursBreakIsGraceful) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine 8 does not implement GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT)";
    }
    Launch("");
    ScopedLock lock(ServiceState.coreLock);
    EXPECT_TRUE(StopCore());
    EXPECT_NE(ServiceLogText().find("core " + std::to_string(pid_) + " exited gracefully"),
              std::string::npos);
}

// 259 is also the code GetExitCodeProcess reports for a live process.
class EndedCore : public TrackedCore, public ::testing::WithParamInterface<DWORD> {};

TEST_P(EndedCore, IsForgottenByStatus) {
    Launch("exit-after-ms=2500\nexit-code=" + std::to_string(GetParam()) + "\n");
    ASSERT_EQ(ExitCodeAfter(process_.get(), 20000), GetParam());
    ScopedLock lock(ServiceState.coreLock);
    EXPECT_FALSE(IsCoreRunning());
    ExpectRecordCleared();
    EXPECT_TRUE(StopCore());
}

TEST_P(EndedCore, IsForgottenByStopWithoutSignal) {
    Launch("exit-after-ms=2500\nexit-code=" + std::to_string(GetParam()) + "\n");
    ASSERT_EQ(ExitCodeAfter(process_.get(), 20000), GetParam());
    {
        ScopedLock lock(ServiceState.coreLock);
        EXPECT_TRUE(StopCore());
        ExpectRecordCleared();
    }
    std::string log = ServiceLogText();
    EXPECT_EQ(log.find("ctrl-break"), std::string::npos) << log;
    EXPECT_EQ(log.find("terminating"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(ExitCodes, EndedCore, ::testing::Values(7u, 259u));

}  // namespace
