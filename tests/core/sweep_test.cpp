#include <cwctype>
#include <string>
#include "app/state.h"
#include "core/core.h"
#include "core_support.h"

namespace {

class StraySweep : public CoreFixture {
protected:
    void StartStray(const std::wstring& exe, const std::string& config, ChildProcess& stray) {
        std::wstring path = WriteConfig(MakeTempFolder(L"velmora-stray"), L"core.conf", config);
        ASSERT_TRUE(StartStandin(exe, L"run -c \"" + path + L"\"", stray));
    }
    std::string SweepLine(DWORD pid) {
        return "sweeping stray core pid=" + std::to_string(pid) + "\n";
    }
};

TEST_F(StraySweep, NothingToSweepIsGracefulAndSilent) {
    EXPECT_TRUE(SweepStrayCores(corePath_));
    EXPECT_EQ(ServiceLogText().find("sweeping"), std::string::npos);
}

TEST_F(StraySweep, StopsCopyOfCoreStartedOutside) {
    ChildProcess stray;
    StartStray(corePath_, "ignore-break=1\n", stray);
    EXPECT_FALSE(SweepStrayCores(corePath_));
    EXPECT_EQ(ExitCodeAfter(stray.process.get(), 5000), 0u);
    EXPECT_NE(ServiceLogText().find(SweepLine(stray.pid)), std::string::npos);
}

TEST_F(StraySweep, StrayThatHonoursBreakLeavesResultGraceful) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine 8 does not implement GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT)";
    }
    ChildProcess stray;
    StartStray(corePath_, "", stray);
    EXPECT_TRUE(SweepStrayCores(corePath_));
    EXPECT_EQ(ExitCodeAfter(stray.process.get(), 5000), 0u);
}

TEST_F(StraySweep, LeavesSameNamedProgramInOtherFolderAlone) {
    ChildProcess other;
    StartStray(CopyStandin(L"velmora-other"), "", other);
    EXPECT_TRUE(SweepStrayCores(corePath_));
    EXPECT_EQ(WaitForSingleObject(other.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ServiceLogText().find("sweeping"), std::string::npos);
    other.Kill();
}

TEST_F(StraySweep, BareFileNameNeverPassesFullPathTest) {
    ChildProcess stray;
    StartStray(corePath_, "", stray);
    EXPECT_TRUE(SweepStrayCores(L"standin-core.exe"));
    EXPECT_EQ(WaitForSingleObject(stray.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ServiceLogText().find("sweeping"), std::string::npos);
    stray.Kill();
}

TEST_F(StraySweep, MatchesImagePathInOtherLetterCase) {
    ChildProcess stray;
    StartStray(corePath_, "", stray);
    std::wstring upper = corePath_;
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    ASSERT_NE(upper, corePath_);
    SweepStrayCores(upper);
    EXPECT_EQ(WaitForSingleObject(stray.process.get(), 5000), WAIT_OBJECT_0);
    EXPECT_NE(ServiceLogText().find(SweepLine(stray.pid)), std::string::npos);
}

TEST_F(StraySweep, LaunchSweepsStrayBeforeStarting) {
    ChildProcess stray;
    StartStray(corePath_, "", stray);
    ASSERT_EQ(LaunchCore(WriteConfig(folder_, L"core.conf", "")), "");
    EXPECT_EQ(WaitForSingleObject(stray.process.get(), 0), WAIT_OBJECT_0);
    EXPECT_NE(ServiceLogText().find(SweepLine(stray.pid)), std::string::npos);
    ScopedLock lock(ServiceState.coreLock);
    EXPECT_TRUE(IsCoreRunning());
}

}  // namespace
