#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/entry.h"

namespace {

struct ScanCase {
    const char* label;
    std::vector<std::wstring> args;  // after the program name
    CommandLine expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.label;
}

class ArgumentScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ArgumentScan, TakesCommandAndOptionsAsTheEntryDefines) {
    std::vector<const wchar_t*> argv = {L"velmora.exe"};
    for (const std::wstring& arg : GetParam().args) {
        argv.push_back(arg.c_str());
    }
    CommandLine line = ScanArguments(static_cast<int>(argv.size()), argv.data());
    const CommandLine& expected = GetParam().expected;
    EXPECT_EQ(line.command, expected.command);
    EXPECT_EQ(line.name, expected.name);
    EXPECT_EQ(line.core, expected.core);
    EXPECT_EQ(line.gui, expected.gui);
}

INSTANTIATE_TEST_SUITE_P(
    Entry, ArgumentScan,
    ::testing::Values(
        ScanCase{"CommandFirst", {L"console", L"--name", L"svc"}, {L"console", L"svc", L"", L""}},
        ScanCase{"OptionsFirst",
                 {L"--gui", L"g.exe", L"--core", L"c.exe", L"--name", L"svc", L"install"},
                 {L"install", L"svc", L"c.exe", L"g.exe"}},
        ScanCase{"RepeatedOptionKeepsLastValue",
                 {L"--name", L"a", L"run", L"--name", L"b", L"--core", L"1", L"--core", L"2"},
                 {L"run", L"b", L"2", L""}},
        ScanCase{"ValuesVerbatimEvenWithDashOrSpaces",
                 {L"install", L"--name", L"-svc", L"--gui", L"C:\\Program Files\\a b.exe"},
                 {L"install", L"-svc", L"", L"C:\\Program Files\\a b.exe"}},
        ScanCase{"EmptyValueKept", {L"--name", L"", L"console"}, {L"console", L"", L"", L""}},
        ScanCase{"OptionAsLastArgumentIgnored",
                 {L"console", L"--name", L"svc", L"--core"},
                 {L"console", L"svc", L"", L""}},
        ScanCase{"OptionNameTakenAsValue",
                 {L"--name", L"svc", L"--core", L"--gui", L"run"},
                 {L"run", L"svc", L"--gui", L""}},
        ScanCase{"EmptyArgumentNeverCommand",
                 {L"", L"--name", L"svc", L"uninstall"},
                 {L"uninstall", L"svc", L"", L""}},
        ScanCase{"FirstWordIsCommandRestIgnored",
                 {L"console", L"extra", L"--name", L"svc", L"words"},
                 {L"console", L"svc", L"", L""}},
        ScanCase{"UnknownOptionsIgnored",
                 {L"-v", L"--verbose", L"console", L"--name", L"svc"},
                 {L"console", L"svc", L"", L""}},
        ScanCase{
            "OptionNamesCaseSensitive", {L"--NAME", L"svc", L"console"}, {L"svc", L"", L"", L""}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.label; });

struct NameCase {
    const char* label;
    std::wstring name;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.label;
}

class AcceptedServiceName : public ::testing::TestWithParam<NameCase> {};
class RejectedServiceName : public ::testing::TestWithParam<NameCase> {};

TEST_P(AcceptedServiceName, IsValid) {
    EXPECT_TRUE(IsValidServiceName(GetParam().name));
}

TEST_P(RejectedServiceName, IsUsageError) {
    EXPECT_FALSE(IsValidServiceName(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Entry, AcceptedServiceName,
                         ::testing::Values(NameCase{"Plain", L"svc"},
                                           NameCase{"WithInnerSpaceAndDots", L"my svc.v2"},
                                           NameCase{"LeadingDots", L"..svc"},
                                           NameCase{"NonAscii", L"dienst-\u00FC\u20AC\U0001F600"},
                                           NameCase{"LongestAllowed", std::wstring(256, L'n')}),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                             return info.param.label;
                         });

INSTANTIATE_TEST_SUITE_P(
    Entry, RejectedServiceName,
    ::testing::Values(NameCase{"Empty", L""}, NameCase{"Dot", L"."}, NameCase{"DotDot", L".."},
                      NameCase{"ThreeDots", L"..."}, NameCase{"TrailingDot", L"svc."},
                      NameCase{"TrailingSpace", L"svc "}, NameCase{"Backslash", L"a\\b"},
                      NameCase{"Slash", L"a/b"}, NameCase{"Colon", L"c:svc"},
                      NameCase{"Star", L"s*"}, NameCase{"Question", L"s?"},
                      NameCase{"Quote", L"s\"v"}, NameCase{"Less", L"s<"},
                      NameCase{"Greater", L"s>"}, NameCase{"Bar", L"s|v"}, NameCase{"Tab", L"s\tv"},
                      NameCase{"Unit1F", L"s\x1Fv"}, NameCase{"Del", L"s\x7Fv"},
                      NameCase{"C1Control", L"s\x85v"},
                      NameCase{"TooLong", std::wstring(257, L'n')}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.label; });

}  // namespace
