// The entry's reading of its arguments and of service names, as tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "app/entry.h"

namespace {

TEST(ArgumentScan, TakesTheFirstWordAndTheLastValueOfEachOption) {
    const std::pair<std::vector<std::wstring>, CommandLine> rows[] = {
        {{L"--gui", L"g.exe", L"--core", L"c.exe", L"--name", L"svc", L"install"},
         {L"install", L"svc", L"c.exe", L"g.exe"}},
        {{L"--name", L"a", L"run", L"--name", L"b", L"--core", L"1", L"--core", L"2"},
         {L"run", L"b", L"2", L""}},
        {{L"install", L"--name", L"-svc", L"--gui", L"C:\\Program Files\\a b.exe"},
         {L"install", L"-svc", L"", L"C:\\Program Files\\a b.exe"}},
        {{L"--name", L"", L"console"}, {L"console", L"", L"", L""}},
        {{L"console", L"--name", L"svc", L"--core"}, {L"console", L"svc", L"", L""}},
        {{L"--name", L"svc", L"--core", L"--gui", L"run"}, {L"run", L"svc", L"--gui", L""}},
        {{L"", L"--name", L"svc", L"uninstall"}, {L"uninstall", L"svc", L"", L""}},
        {{L"-v", L"console", L"extra", L"--name", L"svc", L"words"},
         {L"console", L"svc", L"", L""}},
        {{L"--NAME", L"svc", L"console"}, {L"svc", L"", L"", L""}}};
    for (const auto& c : rows) {
        std::vector<const wchar_t*> argv = {L"velmora.exe"};
        for (const std::wstring& arg : c.first) {
            argv.push_back(arg.c_str());
        }
        CommandLine line = ScanArguments(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(argv.size());
        EXPECT_EQ(line.command, c.second.command);
        EXPECT_EQ(line.name, c.second.name);
        EXPECT_EQ(line.core, c.second.core);
        EXPECT_EQ(line.gui, c.second.gui);
    }
}

// A name becomes a folder under ProgramData and a registry key.
TEST(ServiceName, IsRefusedWhenItWouldPointElsewhere) {
    const std::pair<std::wstring, bool> cases[] = {{L"svc", true},
                                                   {L"my svc.v2", true},
                                                   {L"..svc", true},
                                                   {L"d\u00FC\u20AC\U0001F600", true},
                                                   {std::wstring(256, L'n'), true},
                                                   {L"", false},
                                                   {L".", false},
                                                   {L"..", false},
                                                   {L"...", false},
                                                   {L"svc.", false},
                                                   {L"svc ", false},
                                                   {L"a\\b", false},
                                                   {L"a/b", false},
                                                   {L"c:svc", false},
                                                   {L"s*", false},
                                                   {L"s?", false},
                                                   {L"s\"v", false},
                                                   {L"s<", false},
                                                   {L"s>", false},
                                                   {L"s|v", false},
                                                   {L"s\tv", false},
                                                   {L"s\x1Fv", false},
                                                   {L"s\x7Fv", false},
                                                   {L"s\x85v", false},
                                                   {std::wstring(257, L'n'), false}};
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidServiceName(c.first), c.second) << c.first.size() << " units";
    }
}

}  // namespace
