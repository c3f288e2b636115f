// velmora.exe driven from outside through its command line, with ProgramData pointing at a fresh
// folder that the child inherits.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "support.h"

namespace {

const std::string kUsage =
    "usage: velmora.exe <install|uninstall|run|console> --name <service-name> "
    "[--core <sing-box.exe>] [--gui <app.exe>]\n";

TEST(Entry, ExitsWithTheCodeAndMessageOfEachMistake) {
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        std::string stderrText;
        bool dataDirectoryCreated;  // empty; else nothing at all is created
    } rows[] = {
        {L"", 2, kUsage, false},
        {L"--name svc", 2, kUsage, false},
        {L"frob --name a\\b", 2, kUsage, false},
        {L"CONSOLE --name svc", 2, "unknown command\n", true},
        {L"install --name svc", 2, "install requires --core <sing-box.exe>\n", true},
        {L"run --name svc", 1, "not started by SCM (err=1063); use 'console' to debug\n", true}};
    for (const auto& c : rows) {
        SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
        ScopedProgramData programData;
        // A folder that a name with a separator, "a\b", would create something in.
        CreateDirectoryW((programData.root + L"\\a").c_str(), nullptr);
        std::string out;
        std::string err;
        EXPECT_EQ(RunProgram(ProgramPath(L"velmora.exe"), c.arguments, &out, &err), c.exitCode);
        EXPECT_EQ(WithoutCr(err), c.stderrText);
        EXPECT_EQ(out, "");
        std::vector<std::wstring> created = {L"a"};
        if (c.dataDirectoryCreated) {
            created.push_back(L"svc");
        }
        EXPECT_EQ(EntriesOf(programData.root), created);
        EXPECT_TRUE(EntriesOf(programData.root + L"\\a").empty());
        EXPECT_TRUE(EntriesOf(programData.root + L"\\svc").empty());
    }
}

}  // namespace
