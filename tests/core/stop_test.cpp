#include <string>
#include "app/state.h"
#include "core/core.h"
#include "core_support.h"

namespace {

constexpr const char* kWineNoBreak =
    "Wine 8 does not implement GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT), so no break reaches "
    "the core";

bool RefuseBreak(DWORD, DWORD& error) {
    error = ERROR_ACCESS_DENIED;
    return false;
}

// Stands in for a delivered console break: the stand-in treats its named event as one.
bool SimulateBreak(DWORD processId, DWORD& error) {
    std::wstring name = L"velmora-standin-break-" + std::to_wstring(processId);
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (!event || !SetEvent(event.get())) {
        error = GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

class GracefulStop : public CoreFixture {
protected:
    void StartCore(const std::string& config) {
        std::wstring path = WriteConfig(folder_, L"core.conf", config);
        ASSERT_TRUE(StartStandin(corePath_, L"run -c \"" + path + L"\"", core_));
    }
    std::string Line(const char* format, DWORD second = 0) {
        char line[160];
        snprintf(line, sizeof line, format, static_cast<unsigned long>(core_.pid),
                 static_cast<unsigned long>(second));
        return line;
    }

    ChildProcess core_;
};

TEST_F(GracefulStop, DeliveredBreakThatEndsCoreIsGraceful) {
    StartCore("");
    EXPECT_TRUE(StopProcessWith(SimulateBreak, core_.process.get(), core_.pid, kGracefulStopMs));
    EXPECT_EQ(ExitCodeAfter(core_.process.get(), 0), 0u);
    EXPECT_NE(ServiceLogText().find(Line("core %lu exited gracefully\n")), std::string::npos);
}

TEST_F(GracefulStop, CoreIgnoringDeliveredBreakIsTerminatedAfterTimeout) {
    StartCore("ignore-break=1\n");
    EXPECT_FALSE(StopProcessWith(SimulateBreak, core_.process.get(), core_.pid, 500));
    EXPECT_EQ(ExitCodeAfter(core_.process.get(), 0), 0u);
    EXPECT_NE(ServiceLogText().find(Line("core %lu did not exit in %lums, terminating\n", 500)),
              std::string::npos);
    EXPECT_NE(core_.Stderr().find("break ignored"), std::string::npos);
}

TEST_F(GracefulStop, UndeliverableBreakTerminatesAtOnceWithExitCodeZero) {
    StartCore("");
    EXPECT_FALSE(StopProcessWith(RefuseBreak, core_.process.get(), core_.pid, kGracefulStopMs));
    EXPECT_EQ(ExitCodeAfter(core_.process.get(), 0), 0u);
    std::string log = ServiceLogText();
    EXPECT_NE(log.find(Line("ctrl-break to %lu failed (err=5), terminating\n")), std::string::npos);
    EXPECT_EQ(log.find("did not exit"), std::string::npos);
}

TEST_F(GracefulStop, RealBreakEndsCoreGracefully) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << kWineNoBreak;
    }
    StartCore("");
    EXPECT_TRUE(StopProcessGracefully(core_.process.get(), core_.pid, kGracefulStopMs));
    EXPECT_EQ(ExitCodeAfter(core_.process.get(), 0), 0u);
    EXPECT_NE(ServiceLogText().find(Line("core %lu exited gracefully\n")), std::string::npos);
}

TEST_F(GracefulStop, CoreNotEndedByRealBreakIsTerminatedWithExitCodeZero) {
    StartCore("ignore-break=1\n");
    EXPECT_FALSE(StopProcessGracefully(core_.process.get(), core_.pid, 1000));
    EXPECT_EQ(ExitCodeAfter(core_.process.get(), 0), 0u);
    std::string log = ServiceLogText();
    if (RunningUnderWine()) {
        EXPECT_NE(log.find(Line("ctrl-break to %lu failed (err=")), std::string::npos) << log;
        EXPECT_NE(log.find("), terminating\n"), std::string::npos) << log;
    } else {
        EXPECT_NE(log.find(Line("core %lu did not exit in %lums, terminating\n", 1000)),
                  std::string::npos)
            << log;
    }
}

}  // namespace
