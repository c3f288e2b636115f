// The service's status reports and both control handlers, in-process. Outside the service control
// manager the handler cannot be registered, so the status record is the only output of a report.
#include <gtest/gtest.h>

#include <thread>
#include "base/handles.h"
#include "base/log.h"
#include "base/state.h"
#include "service/loop.h"
#include "service/scm.h"
#include "support.h"

namespace {

bool StopEventSet() {
    return WaitForSingleObject(ServiceState.stopEvent, 0) == WAIT_OBJECT_0;
}

// The handler reports stopping only while the service runs; the stopped report stays the last.
TEST(ServiceControl, ReportsStoppingOnlyForStopAndShutdownAndNeverAfterStopped) {
    InitializeCriticalSection(&ServiceState.statusLock);
    const struct {
        DWORD state;
        DWORD control;
        DWORD result;
        DWORD stateAfter;
    } rows[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, NO_ERROR, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, NO_ERROR, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, NO_ERROR, SERVICE_RUNNING},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, SERVICE_RUNNING},
        {SERVICE_RUNNING, SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED, SERVICE_RUNNING},
        {SERVICE_RUNNING, 200, ERROR_CALL_NOT_IMPLEMENTED, SERVICE_RUNNING},
        {SERVICE_STOPPED, SERVICE_CONTROL_STOP, NO_ERROR, SERVICE_STOPPED}};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.control);
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ServiceState.stopEvent = event.get();
        ServiceState.status = SERVICE_STATUS{};
        ServiceState.status.dwCurrentState = c.state;
        ServiceState.nextCheckPoint = 2;
        EXPECT_EQ(ServiceControlHandler(c.control, 0, nullptr, nullptr), c.result);
        bool stops = c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN;
        EXPECT_EQ(StopEventSet(), stops);
        SERVICE_STATUS after = ServiceState.status;
        EXPECT_EQ(after.dwCurrentState, c.stateAfter);
        bool pending = c.stateAfter == SERVICE_STOP_PENDING;
        EXPECT_EQ(after.dwCheckPoint, pending ? 2u : 0u);
        // The whole bound of a stop: break helper, graceful wait, termination and drain.
        EXPECT_EQ(after.dwWaitHint, pending ? 25000u : 0u);
        ServiceState.stopEvent = nullptr;
    }
}

// Outside the service control manager the handler cannot be registered; without it no stop
// could reach the loop, so the service must not start it.
TEST(ServiceControl, DoesNotRunTheLoopWithoutAControlHandler) {
    ScopedProgramData programData;
    ServiceState.serviceName = L"nohandler";
    ServiceState.stopEvent = nullptr;
    ASSERT_TRUE(CreateDirectoryW(DataDirectoryOf(L"nohandler").c_str(), nullptr));
    ServiceMain(0, nullptr);
    FlushLog(5000);
    std::string log = ReadFileBytes(DataDirectoryOf(L"nohandler") + L"\\service.log");
    EXPECT_NE(log.find("cannot register the service control handler (err="), std::string::npos)
        << log;
    EXPECT_EQ(log.find("listening"), std::string::npos) << log;
    EXPECT_EQ(ServiceState.stopEvent, nullptr);
}

// A loop that cannot finish its stop (here its teardown waits for the core lock, held elsewhere)
// ends with its process after the stop's bound. The test program runs itself as that process.
TEST(StopBound, EndsAProcessWhoseLoopDoesNotReturn) {
    wchar_t stuck[64] = {};
    if (GetEnvironmentVariableW(L"VELMORA_TEST_STUCK_LOOP", stuck, 64) > 0) {
        ServiceState.serviceName = stuck;
        InitializeCriticalSection(&ServiceState.coreLock);
        InitializeCriticalSection(&ServiceState.statusLock);
        std::thread([] {
            EnterCriticalSection(&ServiceState.coreLock);
            WaitUntil([] { return ServiceState.stopEvent != nullptr; }, 10000);
            SetEvent(ServiceState.stopEvent);
            Sleep(INFINITE);
        }).detach();
        RunConsole();
        FAIL() << "the loop returned while its core lock was held";
    }
    std::wstring name = UniqueServiceName(L"stuck");
    CreateDirectoryW(DataDirectoryOf(name).c_str(), nullptr);
    SetEnvironmentVariableW(L"VELMORA_TEST_STUCK_LOOP", name.c_str());
    ChildProcess child;
    bool started =
        StartProgram(ProgramPath(L"test_service.exe"),
                     L"--gtest_filter=StopBound.EndsAProcessWhoseLoopDoesNotReturn", child);
    SetEnvironmentVariableW(L"VELMORA_TEST_STUCK_LOOP", nullptr);
    ASSERT_TRUE(started);
    ULONGLONG start = GetTickCount64();
    DWORD code = child.Wait(40000);
    child.Kill();
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_TIMEOUT)) << child.Stdout();
    EXPECT_GE(GetTickCount64() - start, 20000u);
    EXPECT_NE(ReadFileBytes(DataDirectoryOf(name) + L"\\service.log")
                  .find("service loop did not stop in 25000ms, ending the process"),
              std::string::npos);
}

// WaitForMultipleObjects reports the lowest signalled index: only a stop first wins over a
// stream of connections or receives.
TEST(LoopWait, PutsTheStopBeforeEverythingElse) {
    HANDLE stop = HANDLE(1), accept = HANDLE(2), received = HANDLE(3), core = HANDLE(4);
    for (int present = 0; present < 8; ++present) {
        LoopWaitSet set =
            BuildLoopWaitSet(stop, present & 1 ? accept : nullptr, present & 2 ? received : nullptr,
                             present & 4 ? core : nullptr);
        EXPECT_EQ(set.handles[0], stop) << present;
        EXPECT_EQ(set.count, 1u + (present & 1) + (present >> 1 & 1) + (present >> 2 & 1));
        EXPECT_EQ(present & 1 ? set.handles[set.acceptIndex] : nullptr,
                  present & 1 ? accept : nullptr);
        EXPECT_EQ(present & 2 ? set.handles[set.receivedIndex] : nullptr,
                  present & 2 ? received : nullptr);
    }
}

TEST(ConsoleControl, OnlyCtrlCAndCtrlBreakStopTheLoop) {
    const std::pair<DWORD, BOOL> cases[] = {{CTRL_C_EVENT, TRUE},
                                            {CTRL_BREAK_EVENT, TRUE},
                                            {CTRL_CLOSE_EVENT, FALSE},
                                            {CTRL_LOGOFF_EVENT, FALSE},
                                            {CTRL_SHUTDOWN_EVENT, FALSE}};
    for (const auto& c : cases) {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ServiceState.stopEvent = event.get();
        EXPECT_EQ(ConsoleControlHandler(c.first), c.second) << c.first;
        EXPECT_EQ(StopEventSet(), c.second == TRUE) << c.first;
    }
    ServiceState.stopEvent = nullptr;
}

}  // namespace
