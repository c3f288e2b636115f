// The core tests' own entry. Besides running the tests, the program can hold a core the way the
// service does (--hold-core), so that a test can kill the holder and watch the job end the core.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include "app/state.h"
#include "app/text.h"
#include "core/core.h"

namespace {

// The process entry normally initialises the core lock before anything else.
class CoreLockEnvironment : public ::testing::Environment {
public:
    void SetUp() override { InitializeCriticalSection(&ServiceState.coreLock); }
};

// test_core --hold-core <service name> <config>: launches the core and lives until killed.
int HoldCore(const char* serviceName, const char* configPath) {
    InitializeCriticalSection(&ServiceState.coreLock);
    ServiceState.serviceName = FromUtf8(serviceName);
    std::string result = LaunchCore(FromUtf8(configPath));
    printf("launch result: [%s]\n", result.c_str());
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--hold-core") == 0) {
        return HoldCore(argv[2], argv[3]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new CoreLockEnvironment);
    return RUN_ALL_TESTS();
}
