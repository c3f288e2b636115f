#include "install/old_service.h"

namespace {

constexpr DWORD kStopPollMs = 500;

}  // namespace

bool WaitForServiceStop(SC_HANDLE service, int maxQueries) {
    for (int query = 0; query < maxQueries; ++query) {
        Sleep(kStopPollMs);
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
    }
    return false;
}
