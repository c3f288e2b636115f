// velmora.exe driven from outside through its command line, with ProgramData pointing at a fresh
// folder that the child inherits.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "../app/data_root.h"
#include "support.h"

namespace {

const std::string kUsage =
    "usage: velmora.exe <install|uninstall|run|console> --name <service-name> "
    "[--core <sing-box.exe>] [--gui <app.exe>]\n";

// Standard output and error are text streams: each "\n" written arrives as CR LF.
std::string AsWritten(std::string raw) {
    for (size_t at = raw.find("\r\n"); at != std::string::npos; at = raw.find("\r\n", at)) {
        raw.erase(at, 1);
    }
    return raw;
}

struct EntryCase {
    const char* label;
    std::wstring arguments;  // "{name}" stands for the test's own service name
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const EntryCase& c, std::ostream* os) {
    *os << c.label;
}

std::string CaseName(const ::testing::TestParamInfo<EntryCase>& info) {
    return info.param.label;
}

class EntryCommandLine : public DataRootTest {
protected:
    void SetUp() override {
        DataRootTest::SetUp();
        // A folder that a name with a separator, "a\b", would create something in.
        CreateDirectoryW((root + L"\\a").c_str(), nullptr);
    }

    DWORD Run(std::wstring arguments) {
        for (size_t at = arguments.find(L"{name}"); at != std::wstring::npos;
             at = arguments.find(L"{name}")) {
            arguments.replace(at, 6, ServiceState.serviceName);
        }
        std::string out;
        std::string err;
        DWORD code = RunProgram(ProgramPath(L"velmora.exe"), arguments, &out, &err);
        stdoutText = AsWritten(out);
        stderrText = AsWritten(err);
        return code;
    }

    bool NothingCreated() {
        return EntriesOf(root) == std::vector<std::wstring>{L"a"} &&
               EntriesOf(root + L"\\a").empty();
    }

    std::string stdoutText;
    std::string stderrText;
};

class UsageError : public EntryCommandLine, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(UsageError, PrintsUsageExitsTwoAndCreatesNothing) {
    EXPECT_EQ(Run(GetParam().arguments), 2u);
    EXPECT_EQ(stderrText, kUsage);
    EXPECT_EQ(stdoutText, "");
    EXPECT_TRUE(NothingCreated());
}

INSTANTIATE_TEST_SUITE_P(Entry, UsageError,
                         ::testing::Values(EntryCase{"NoArguments", L""},
                                           EntryCase{"NameWithoutCommand", L"--name {name}"},
                                           EntryCase{"CommandWithoutName", L"console"},
                                           EntryCase{"NameOptionLast", L"console --name"},
                                           EntryCase{"EmptyName", L"--name \"\" console"},
                                           EntryCase{"DotDotName", L"frob --name .."},
                                           EntryCase{"SeparatorInName", L"frob --name a\\b"},
                                           EntryCase{"TrailingDotName", L"frob --name \"{name}.\""},
                                           EntryCase{"OverlongName",
                                                     L"frob --name " + std::wstring(257, L'n')}),
                         CaseName);

class UnknownCommand : public EntryCommandLine, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(UnknownCommand, SaysSoAfterCreatingDataDirectory) {
    EXPECT_EQ(Run(GetParam().arguments), 2u);
    EXPECT_EQ(stderrText, "unknown command\n");
    EXPECT_TRUE(FileExists(dataDir));
}

INSTANTIATE_TEST_SUITE_P(Entry, UnknownCommand,
                         ::testing::Values(EntryCase{"OtherCase", L"CONSOLE --name {name}"},
                                           EntryCase{"OtherWord", L"frob --name {name}"},
                                           EntryCase{"AfterEmptyArgument",
                                                     L"\"\" --name {name} Run"}),
                         CaseName);

class InstallWithoutCore : public EntryCommandLine,
                           public ::testing::WithParamInterface<EntryCase> {};

TEST_P(InstallWithoutCore, AsksForCoreAndExitsTwo) {
    EXPECT_EQ(Run(GetParam().arguments), 2u);
    EXPECT_EQ(stderrText, "install requires --core <sing-box.exe>\n");
    EXPECT_TRUE(FileExists(dataDir));
    EXPECT_TRUE(EntriesOf(dataDir).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Entry, InstallWithoutCore,
    ::testing::Values(EntryCase{"NoCoreOption", L"install --name {name}"},
                      EntryCase{"CoreOptionLast", L"install --name {name} --core"},
                      EntryCase{"EmptyCore", L"install --core \"\" --name {name}"}),
    CaseName);

TEST_F(EntryCommandLine, RunFromPromptReportsDispatcherError) {
    EXPECT_EQ(Run(L"run --name {name}"), 1u);
    EXPECT_EQ(stderrText, "not started by SCM (err=1063); use 'console' to debug\n");
}

TEST_F(EntryCommandLine, ConsoleEchoesLogLinesWithoutStamp) {
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"),
                             L"console --name " + ServiceState.serviceName, child));
    std::wstring log = dataDir + L"\\service.log";
    bool listening = WaitUntil(
        [&] { return ReadFileBytes(log).find("listening on 127.0.0.1:") != std::string::npos; },
        20000);
    child.Kill();
    ASSERT_TRUE(listening) << child.Stderr();

    std::string out = AsWritten(child.Stdout());
    EXPECT_EQ(out.rfind("running in console mode, ctrl-c to stop\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nlistening on 127.0.0.1:"), std::string::npos) << out;
    EXPECT_EQ(out.find('['), std::string::npos) << out;
    EXPECT_NE(ReadFileBytes(log).find("] listening on 127.0.0.1:"), std::string::npos);
}

}  // namespace
