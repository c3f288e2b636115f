// In-process: outside the service control manager the status record is a report's only output.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>
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
    const std::tuple<DWORD, DWORD, DWORD, DWORD> rows[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, NO_ERROR, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, NO_ERROR, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, NO_ERROR, SERVICE_RUNNING},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, SERVICE_RUNNING},
        {SERVICE_STOPPED, SERVICE_CONTROL_STOP, NO_ERROR, SERVICE_STOPPED}};
    for (const auto& [state, control, result, stateAfter] : rows) {
        SCOPED_TRACE(control);
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ServiceState.stopEvent = event.get();
        ServiceState.status = SERVICE_STATUS{};
        ServiceState.status.dwCurrentState = state;
        ServiceState.nextCheckPoint = 2;
        EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), result);
        EXPECT_EQ(StopEventSet(),
                  control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN);
        SERVICE_STATUS after = ServiceState.status;
        EXPECT_EQ(after.dwCurrentState, stateAfter);
        bool pending = stateAfter == SERVICE_STOP_PENDING;
        EXPECT_EQ(after.dwCheckPoint, pending ? 2u : 0u);
        // The whole bound of a stop: break helper, graceful wait, termination and drain.
        EXPECT_EQ(after.dwWaitHint, pending ? 25000u : 0u);
        ServiceState.stopEvent = nullptr;
    }
}

// Without the handler no stop could reach the loop, so the service must not start it.
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

// WaitForMultipleObjects reports the lowest signalled index: a stop first wins over any traffic.
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

// A logoff event reaches the service's console programs whenever any user signs out.
TEST(ConsoleControl, OnlyCtrlCAndCtrlBreakStopTheLoop) {
    const std::pair<DWORD, BOOL> rows[] = {{CTRL_C_EVENT, TRUE},
                                           {CTRL_BREAK_EVENT, TRUE},
                                           {CTRL_CLOSE_EVENT, FALSE},
                                           {CTRL_LOGOFF_EVENT, FALSE},
                                           {CTRL_SHUTDOWN_EVENT, FALSE}};
    for (const auto& [event, stops] : rows) {
        UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ServiceState.stopEvent = stopEvent.get();
        EXPECT_EQ(ConsoleControlHandler(event), stops) << event;
        EXPECT_EQ(StopEventSet(), stops == TRUE) << event;
    }
    ServiceState.stopEvent = nullptr;
}

}  // namespace
