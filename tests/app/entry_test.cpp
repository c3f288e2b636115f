// The entry's reading of its arguments and of service names, as tables.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>
#include "app/entry.h"
#include "base/text.h"

namespace {

TEST(ArgumentScan, TakesTheFirstWordAndTheLastValueOfEachOption) {
    const std::pair<std::vector<const wchar_t*>, CommandLine> rows[] = {
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
        std::vector<const wchar_t*> argv = c.first;
        argv.insert(argv.begin(), L"velmora.exe");
        CommandLine line = ScanArguments(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(argv.size());
        EXPECT_EQ(std::tie(line.command, line.name, line.core, line.gui),
                  std::tie(c.second.command, c.second.name, c.second.core, c.second.gui));
    }
}

// A name becomes a folder under ProgramData and a registry key.
TEST(ServiceName, IsRefusedWhenItWouldPointElsewhere) {
    const std::wstring valid[] = {L"svc", L"my svc.v2", L"..svc", L"d\u00FC\u20AC\U0001F600",
                                  std::wstring(256, L'n')};
    const std::wstring refused[] = {L"",       L".",      L"..",     L"...",
                                    L"svc.",   L"svc ",   L"a\\b",   L"a/b",
                                    L"c:svc",  L"s*",     L"s?",     L"s\"v",
                                    L"s<",     L"s>",     L"s|v",    L"s\tv",
                                    L"s\x1Fv", L"s\x7Fv", L"s\x85v", std::wstring(257, L'n')};
    for (const std::wstring& name : valid) {
        EXPECT_TRUE(IsValidServiceName(name)) << name.size() << " units";
    }
    for (const std::wstring& name : refused) {
        EXPECT_FALSE(IsValidServiceName(name)) << ToUtf8(name);
    }
}

}  // namespace
