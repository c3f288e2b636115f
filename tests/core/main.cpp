// Also the break helper, as velmora.exe is: the stop path starts its own image for that.
#include <gtest/gtest.h>
#include "base/state.h"
#include "base/text.h"
#include "core/console_break.h"

int main(int argc, char** argv) {
    if (argc == 3 && FromUtf8(argv[1]) == kBreakCommandWord) {
        return RunBreakHelper(FromUtf8(argv[2]).c_str());
    }
    InitializeCriticalSection(&ServiceState.coreLock);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
