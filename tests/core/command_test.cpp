#include <gtest/gtest.h>
#include <string>
#include "core/command.h"

namespace {

TEST(CoreCommandLine, QuotesBothPaths) {
    EXPECT_EQ(BuildCoreCommandLine(L"C:\\Program Files\\core\\sing-box.exe", L"D:\\my cfg\\a.json"),
              L"\"C:\\Program Files\\core\\sing-box.exe\" run -c \"D:\\my cfg\\a.json\"");
}

TEST(CoreCommandLine, DoublesTrailingBackslashesOfConfigOnly) {
    // Inner backslashes are literal; only those before the closing quote would escape it.
    EXPECT_EQ(BuildCoreCommandLine(L"C:\\core\\", L"D:\\cfg\\dir\\\\"),
              L"\"C:\\core\\\" run -c \"D:\\cfg\\dir\\\\\\\\\"");
}

TEST(CoreCommandLine, RefusesPathsThatCannotBeQuoted) {
    EXPECT_TRUE(IsQuotablePath(L"D:\\cfg\\a b.json"));
    EXPECT_FALSE(IsQuotablePath(L"D:\\cfg\\a\" --other \"b.json"));
    EXPECT_FALSE(IsQuotablePath(std::wstring(L"D:\\a.json\0junk", 14)));
}

struct DirectoryCase {
    const char* name;
    std::wstring config;
    std::wstring expected;
};

void PrintTo(const DirectoryCase& c, std::ostream* os) {
    *os << c.name;
}

class CoreWorkingFolder : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(CoreWorkingFolder, IsFolderOfConfig) {
    EXPECT_EQ(CoreWorkingDirectory(GetParam().config), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CoreWorkingFolder,
    ::testing::Values(DirectoryCase{"FileInFolder", L"D:\\cfg\\a.json", L"D:\\cfg"},
                      DirectoryCase{"BareFileNameInheritsService", L"a.json", L""},
                      DirectoryCase{"FileAtDriveRootKeepsRoot", L"C:\\a.json", L"C:\\"},
                      DirectoryCase{"RootOfCurrentDrive", L"\\a.json", L"\\"},
                      DirectoryCase{"TrailingBackslash", L"D:\\cfg\\", L"D:\\cfg"},
                      DirectoryCase{"Unc", L"\\\\host\\share\\a.json", L"\\\\host\\share"}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
