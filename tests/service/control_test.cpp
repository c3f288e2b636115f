// The service's status reports and both control handlers, in-process. Outside the service control
// manager the handler cannot be registered, so the status record is the only output of a report.
#include <gtest/gtest.h>

#include <thread>
#include "app/handles.h"
#include "app/state.h"
#include "service/loop.h"
#include "service/scm.h"
#include "support.h"

namespace {

SERVICE_STATUS Status() {
    ScopedLock lock(ServiceState.statusLock);
    return ServiceState.status;
}

bool StopEventSet() {
    return WaitForSingleObject(ServiceState.stopEvent, 0) == WAIT_OBJECT_0;
}

// ServiceMain runs on a thread of its own, as under the dispatcher. Holding the core lock keeps
// the loop's teardown, and with it the stopped report, waiting while the test looks.
TEST(ServiceControl, ReportsStoppingOnlyForStopAndShutdownAndNeverAfterStopped) {
    // The process entry does this before anything else.
    InitializeCriticalSection(&ServiceState.coreLock);
    InitializeCriticalSection(&ServiceState.statusLock);
    const struct {
        DWORD control;
        DWORD result;
        bool stops;
    } rows[] = {{SERVICE_CONTROL_STOP, NO_ERROR, true},
                {SERVICE_CONTROL_SHUTDOWN, NO_ERROR, true},
                {SERVICE_CONTROL_INTERROGATE, NO_ERROR, false},
                {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, false},
                {SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED, false},
                {200, ERROR_CALL_NOT_IMPLEMENTED, false}};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.control);
        ServiceState.serviceName = UniqueServiceName(L"control");
        CreateDirectoryW(DataDirectoryOf(ServiceState.serviceName).c_str(), nullptr);
        // As the process entry sets it.
        ServiceState.nextCheckPoint = 1;
        std::thread service([] { ServiceMain(0, nullptr); });
        bool running = WaitUntil([] { return Status().dwCurrentState == SERVICE_RUNNING; }, 20000);
        SERVICE_STATUS before = Status();
        SERVICE_STATUS after = {};
        if (running) {
            ScopedLock hold(ServiceState.coreLock);
            EXPECT_EQ(ServiceControlHandler(c.control, 0, nullptr, nullptr), c.result);
            EXPECT_EQ(StopEventSet(), c.stops);
            after = Status();
            SetEvent(ServiceState.stopEvent);
        }
        service.join();
        ASSERT_TRUE(running);
        EXPECT_EQ(before.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
        EXPECT_EQ(before.dwCheckPoint, 0u);
        EXPECT_EQ(after.dwCurrentState,
                  static_cast<DWORD>(c.stops ? SERVICE_STOP_PENDING : SERVICE_RUNNING));
        EXPECT_EQ(after.dwControlsAccepted, c.stops ? 0u : before.dwControlsAccepted);
        // The starting report took checkpoint 1.
        EXPECT_EQ(after.dwCheckPoint, c.stops ? 2u : 0u);
        EXPECT_EQ(after.dwWaitHint, c.stops ? 12000u : 0u);
        EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(Status().dwWin32ExitCode, 0u);
        // A stop that comes after the loop has ended leaves the stopped report in place.
        EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), 0u);
        EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
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

// A post of the next accept that fails ends the loop only when the listener itself is broken;
// Wine never fails it, so the decision is shown here.
TEST(AcceptRetry, IsForResetsAndShortagesOnly) {
    const std::pair<DWORD, bool> rows[] = {{WSAECONNRESET, true}, {WSAENOBUFS, true},
                                           {WSAEMFILE, true},     {WSAEINVAL, false},
                                           {WSAENOTSOCK, false},  {WSAEOPNOTSUPP, false}};
    for (const auto& c : rows) {
        EXPECT_EQ(AcceptErrorIsTransient(c.first), c.second) << c.first;
    }
}

}  // namespace
