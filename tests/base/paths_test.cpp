// Where the data files live, from ProgramData and the service name.
#include <gtest/gtest.h>

#include <string>
#include "base/paths.h"
#include "base/state.h"
#include "support.h"

namespace {

TEST(DataLocation, FollowsProgramDataAndName) {
    ScopedProgramData programData;
    ServiceState.serviceName = L"svc";
    // The long values lie around the 260-character buffer of the usual lookup and far past it.
    const std::wstring lengths[] = {L"D:\\" + std::wstring(257, L'p'),
                                    L"D:\\" + std::wstring(31997, L'p')};
    const std::pair<const wchar_t*, std::wstring> rows[] = {
        {L"D:\\Data", L"D:\\Data\\svc"},
        {nullptr, L"C:\\ProgramData\\svc"},
        {L"", L"C:\\ProgramData\\svc"},
        {L"D:\\Data\\", L"D:\\Data\\\\svc"},
        {L"D:\\\u00C4\u20AC", L"D:\\\u00C4\u20AC\\svc"},
        {lengths[0].c_str(), lengths[0] + L"\\svc"},
        {lengths[1].c_str(), lengths[1] + L"\\svc"}};
    for (const auto& c : rows) {
        SetEnvironmentVariableW(L"ProgramData", c.first);
        SCOPED_TRACE(c.second.size());
        EXPECT_EQ(GetDataDirectory(), c.second);
        EXPECT_EQ(GetEndpointFilePath(), c.second + L"\\service.conf");
        EXPECT_EQ(GetCoreStderrLogPath(), c.second + L"\\core.stderr.log");
        EXPECT_EQ(GetServiceLogPath(), c.second + L"\\service.log");
    }
}

}  // namespace
