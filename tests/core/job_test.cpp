#include <string>
#include "app/paths.h"
#include "app/state.h"
#include "app/text.h"
#include "core/core.h"
#include "core_support.h"

namespace {

class CoreJob : public CoreFixture {
protected:
    // Waits for the stand-in's "child pid=" line and opens the child.
    UniqueHandle OpenChildOfCore() {
        DWORD childPid = 0;
        WaitUntil(
            [&] {
                childPid = NumberAfter(CoreStderrText(), "child pid=");
                return childPid != 0;
            },
            10000);
        return UniqueHandle(childPid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, childPid) : nullptr);
    }
};

TEST_F(CoreJob, CoreAndChildEndWhenCoreIsForgotten) {
    ASSERT_EQ(LaunchCore(WriteConfig(folder_, L"core.conf", "spawn-child=1\n")), "");
    UniqueHandle core(OpenProcess(SYNCHRONIZE, FALSE, CoreState.processInfo.dwProcessId));
    UniqueHandle child = OpenChildOfCore();
    ASSERT_TRUE(core.valid());
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    {
        ScopedLock lock(ServiceState.coreLock);
        ForgetCore();
    }
    EXPECT_EQ(WaitForSingleObject(core.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0);
}

TEST_F(CoreJob, ChildEndsWhenCoreIsStopped) {
    ASSERT_EQ(LaunchCore(WriteConfig(folder_, L"core.conf", "spawn-child=1\n")), "");
    UniqueHandle child = OpenChildOfCore();
    ASSERT_TRUE(child.valid());
    {
        ScopedLock lock(ServiceState.coreLock);
        StopCore();
    }
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0);
}

TEST_F(CoreJob, ChildOfCoreThatExitsEarlyEnds) {
    EXPECT_EQ(LaunchCore(WriteConfig(folder_, L"core.conf", "spawn-child=1\nexit-now=bye\n")),
              "bye");
    UniqueHandle child = OpenChildOfCore();
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0);
}

TEST_F(CoreJob, CoreAndChildEndWhenServiceProcessIsKilled) {
    // Another copy of this test program holds the core the way the service does.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring config = WriteConfig(folder_, L"core.conf", "spawn-child=1\n");
    ChildProcess holder;
    ASSERT_TRUE(
        StartProgram(self, L"--hold-core \"" + serviceName_ + L"\" \"" + config + L"\"", holder));
    ASSERT_TRUE(WaitUntil(
        [&] {
            return holder.Stdout().find("launch result: [") != std::string::npos ||
                   holder.Wait(0) != STILL_ACTIVE;
        },
        20000));
    ASSERT_NE(holder.Stdout().find("launch result: []"), std::string::npos) << holder.Stdout();
    UniqueHandle core(OpenProcess(SYNCHRONIZE, FALSE,
                                  NumberAfter(CoreStderrText(), "standin-core started pid=")));
    UniqueHandle child = OpenChildOfCore();
    ASSERT_TRUE(core.valid());
    ASSERT_TRUE(child.valid());

    holder.Kill();
    EXPECT_EQ(WaitForSingleObject(core.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
