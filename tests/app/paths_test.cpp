#include <gtest/gtest.h>
#include <string>
#include "app/paths.h"
#include "app/state.h"
#include "data_root.h"

namespace {

struct LocationCase {
    const char* label;
    const wchar_t* programData;  // nullptr: variable absent
    std::wstring dataDirectory;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const LocationCase& c, std::ostream* os) {
    *os << c.label;
}

class DataLocation : public DataRootTest, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(DataLocation, FollowsProgramDataAndName) {
    SetEnvironmentVariableW(L"ProgramData", GetParam().programData);
    ServiceState.serviceName = L"svc";
    const std::wstring& expected = GetParam().dataDirectory;
    EXPECT_EQ(GetDataDirectory(), expected);
    EXPECT_EQ(GetEndpointFilePath(), expected + L"\\service.conf");
    EXPECT_EQ(GetCoreStderrLogPath(), expected + L"\\core.stderr.log");
    EXPECT_EQ(GetServiceLogPath(), expected + L"\\service.log");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DataLocation,
    ::testing::Values(LocationCase{"Set", L"D:\\Data", L"D:\\Data\\svc"},
                      LocationCase{"Unset", nullptr, L"C:\\ProgramData\\svc"},
                      LocationCase{"Empty", L"", L"C:\\ProgramData\\svc"},
                      LocationCase{"TrailingBackslashKept", L"D:\\Data\\", L"D:\\Data\\\\svc"},
                      LocationCase{"NonAscii", L"D:\\\u00C4\u20AC", L"D:\\\u00C4\u20AC\\svc"}),
    [](const ::testing::TestParamInfo<LocationCase>& info) { return info.param.label; });

class LongProgramData : public DataRootTest, public ::testing::WithParamInterface<size_t> {};

// Around the 260-character buffer of the usual lookup and well past it.
TEST_P(LongProgramData, UsesWholeValue) {
    std::wstring value = L"D:\\" + std::wstring(GetParam() - 4, L'p') + L"q";
    ASSERT_EQ(value.size(), GetParam());
    ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", value.c_str()));
    ServiceState.serviceName = L"svc";
    EXPECT_EQ(GetDataDirectory(), value + L"\\svc");
}

INSTANTIATE_TEST_SUITE_P(Paths, LongProgramData,
                         ::testing::Values(259u, 260u, 261u, 300u, 4000u, 32000u));

}  // namespace
