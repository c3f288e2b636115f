// velmora.exe install and uninstall under the service control manager, driven from outside.
#include <gtest/gtest.h>

#include <string>
#include "app/text.h"
#include "service_probe.h"
#include "support.h"

namespace {

constexpr DWORD kServiceStartMs = 30000;
const char kVersionBody[] = "{\"protocol\":1}";

// Prepared from the Linux side by tests/fixtures/install_protected.sh: directories and programs
// that grant write access to no untrusted principal, as Wine reads file modes.
std::wstring ProtectedDirectory() {
    return FullPath(TestDirectory() + L"\\..\\protected");
}
std::wstring ProtectedCore() {
    return ProtectedDirectory() + L"\\core\\standin-core.exe";
}
std::wstring ProtectedGui() {
    return ProtectedDirectory() + L"\\gui\\velmoractl.exe";
}

struct Outcome {
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

// Console lines and log lines come out of text-mode streams: CR LF on Windows.
std::string Lines(std::string text) {
    size_t at;
    while ((at = text.find("\r\n")) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

Outcome Velmora(const std::wstring& arguments) {
    Outcome run;
    run.exitCode = RunProgram(ProgramPath(L"velmora.exe"), arguments, &run.out, &run.err, 120000);
    run.out = Lines(run.out);
    run.err = Lines(run.err);
    return run;
}

std::string Utf8(const std::wstring& text) {
    return ToUtf8(text);
}

class Installation : public testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(ProtectedCore()) || !FileExists(ProtectedGui())) {
            GTEST_SKIP() << "needs the protected directories that "
                            "tests/fixtures/install_protected.sh prepares";
        }
        name_ = UniqueServiceName(L"inst");
        dataDirectory_ = DataDirectoryOf(name_);
    }
    void TearDown() override {
        if (!name_.empty()) {
            Velmora(L"uninstall --name \"" + name_ + L"\"");
        }
    }
    Outcome Install(const std::wstring& core, const std::wstring& gui = L"") {
        std::wstring arguments = L"install --name \"" + name_ + L"\" --core \"" + core + L"\"";
        if (!gui.empty()) {
            arguments += L" --gui \"" + gui + L"\"";
        }
        return Velmora(arguments);
    }
    Outcome Uninstall() { return Velmora(L"uninstall --name \"" + name_ + L"\""); }
    std::string SuccessLine() const {
        return "service '" + Utf8(name_) + "' installed and started\n";
    }
    std::string RemovedLine() const { return "service '" + Utf8(name_) + "' removed\n"; }
    bool WaitForState(DWORD state) {
        return WaitUntil([&] { return ViewService(name_).state == state; }, kServiceStartMs, 100);
    }
    // Installs with both protected programs and waits until the service answers.
    void InstallAndWaitForService() {
        Outcome run = Install(ProtectedCore(), ProtectedGui());
        ASSERT_EQ(run.exitCode, 0u) << run.err;
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
        ASSERT_NE(WaitForVersionAnswer(name_, kServiceStartMs), 0);
    }

    std::wstring name_;
    std::wstring dataDirectory_;
};

TEST_F(Installation, CreatesAutoStartServiceThatAnswersOnThePublishedPort) {
    Outcome run = Install(ProtectedCore(), ProtectedGui());
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, SuccessLine());

    ServiceView view = ViewService(name_);
    ASSERT_TRUE(view.exists);
    EXPECT_EQ(view.serviceType & SERVICE_WIN32_OWN_PROCESS,
              static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(view.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(view.imagePath,
              L"\"" + ProgramPath(L"velmora.exe") + L"\" run --name \"" + name_ + L"\"");

    std::wstring value;
    ASSERT_TRUE(ReadParameterValue(name_, L"CoreBinary", value));
    EXPECT_EQ(value, ProtectedCore());
    ASSERT_TRUE(ReadParameterValue(name_, L"GuiBinary", value));
    EXPECT_EQ(value, ProtectedGui());

    std::string body;
    EXPECT_NE(WaitForVersionAnswer(name_, kServiceStartMs, &body), 0)
        << ReadFileBytes(dataDirectory_ + L"\\service.log");
    EXPECT_EQ(body, kVersionBody);
}

TEST_F(Installation, ReinstallOfRunningServiceStopsReconfiguresAndStartsIt) {
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());
    DWORD firstProcess = ViewService(name_).processId;

    Outcome run = Install(ProtectedCore(), ProtectedCore());
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, SuccessLine());
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_NE(ViewService(name_).processId, firstProcess);
    std::wstring value;
    ASSERT_TRUE(ReadParameterValue(name_, L"GuiBinary", value));
    EXPECT_EQ(value, ProtectedCore());
    EXPECT_NE(WaitForVersionAnswer(name_, kServiceStartMs), 0);
}

TEST_F(Installation, ReinstallOfStoppedServiceGoesOnAndStartsIt) {
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());
    ASSERT_TRUE(StopServiceFromOutside(name_, kServiceStartMs));

    Outcome run = Install(ProtectedCore(), ProtectedGui());
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, SuccessLine());
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_NE(WaitForVersionAnswer(name_, kServiceStartMs), 0);
}

TEST_F(Installation, ReinstallWithoutGuiKeepsTheEarlierGuiBinary) {
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());

    Outcome run = Install(ProtectedGui());
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    std::wstring value;
    ASSERT_TRUE(ReadParameterValue(name_, L"CoreBinary", value));
    EXPECT_EQ(value, ProtectedGui());
    ASSERT_TRUE(ReadParameterValue(name_, L"GuiBinary", value));
    EXPECT_EQ(value, ProtectedGui());
}

TEST_F(Installation, UninstallStopsAndDeletesRunningServiceAndRemovesItsFiles) {
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());
    // The two files that a short-lived service may not have written yet.
    ASSERT_TRUE(WriteFileBytes(dataDirectory_ + L"\\core.stderr.log", "core\n"));
    ASSERT_TRUE(WriteFileBytes(dataDirectory_ + L"\\service.log.1", "rotated\n"));

    Outcome run = Uninstall();
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, RemovedLine());
    EXPECT_TRUE(WaitUntil([&] { return !ViewService(name_).exists; }, kServiceStartMs, 100));
    EXPECT_FALSE(FileExists(dataDirectory_));
}

TEST_F(Installation, UninstallKeepsForeignFileAndItsDirectory) {
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());
    ASSERT_TRUE(WriteFileBytes(dataDirectory_ + L"\\foreign.txt", "not ours"));

    Outcome run = Uninstall();
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, RemovedLine());
    EXPECT_EQ(ReadFileBytes(dataDirectory_ + L"\\foreign.txt"), "not ours");
    for (const wchar_t* file :
         {L"service.conf", L"core.stderr.log", L"service.log", L"service.log.1"}) {
        EXPECT_FALSE(FileExists(dataDirectory_ + L"\\" + file)) << Utf8(file);
    }
    DeleteFileW((dataDirectory_ + L"\\foreign.txt").c_str());
    RemoveDirectoryW(dataDirectory_.c_str());
}

TEST_F(Installation, UninstallOfUnknownNameReportsRemoval) {
    Outcome run = Uninstall();
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, RemovedLine());
    EXPECT_FALSE(ViewService(name_).exists);
    EXPECT_FALSE(FileExists(dataDirectory_));
}

TEST_F(Installation, FailureActionsRestartThreeTimes) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine's ChangeServiceConfig2W accepts failure actions but "
                        "QueryServiceConfig2W cannot read them back (error 124)";
    }
    ASSERT_NO_FATAL_FAILURE(InstallAndWaitForService());
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    BYTE buffer[8192] = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                     sizeof buffer, &needed));
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
    EXPECT_EQ(failure->dwResetPeriod, 3600u);
    ASSERT_EQ(failure->cActions, 3u);
    const DWORD delays[] = {5000, 30000, 60000};
    for (DWORD i = 0; i < 3; ++i) {
        EXPECT_EQ(failure->lpsaActions[i].Type, SC_ACTION_RESTART);
        EXPECT_EQ(failure->lpsaActions[i].Delay, delays[i]);
    }
}

TEST_F(Installation, WithoutAdministratorRightsFailsAtTheManager) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine runs every process as one user with full rights: there is no "
                        "second account to install without administrator rights";
    }
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager) {
        GTEST_SKIP() << "this test process has administrator rights";
    }
    Outcome run = Install(ProtectedCore());
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.err.find("OpenSCManager failed (err=5), need admin\n"), std::string::npos)
        << run.err;
}

// A refused installation: the path the messages must name, and nothing else may have happened.
struct Refusal {
    const char* label;
    std::wstring (*core)();
    std::wstring (*gui)();
    std::wstring (*refused)();
};

std::wstring BuildDirectory() {
    return TestDirectory();
}
std::wstring CoreInBuildDirectory() {
    return ProgramPath(L"standin-core.exe");
}
std::wstring NoGui() {
    return L"";
}
std::wstring MissingDirectory() {
    return ProtectedDirectory() + L"\\missing";
}
std::wstring CoreInMissingDirectory() {
    return MissingDirectory() + L"\\sing-box.exe";
}
std::wstring WritableCoreFile() {
    return ProtectedDirectory() + L"\\writable-file\\standin-core.exe";
}

void PrintTo(const Refusal& refusal, std::ostream* os) {
    *os << refusal.label;
}

class RefusedInstallation : public Installation, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusedInstallation, ExitsWithCode3AndChangesNothingElse) {
    const Refusal& refusal = GetParam();
    std::wstring refused = refusal.refused();
    Outcome run = Install(refusal.core(), refusal.gui());

    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_EQ(run.err, "refusing to install: '" + Utf8(refused) +
                           "' is writable by non-administrators; install the app under Program "
                           "Files first\n");
    EXPECT_EQ(run.out, "");
    std::string log = Lines(ReadFileBytes(dataDirectory_ + L"\\service.log"));
    EXPECT_NE(log.find("] refusing to install: '" + Utf8(refused) +
                       "' is writable by non-administrators\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(ViewService(name_).exists);
    std::wstring value;
    EXPECT_FALSE(ReadParameterValue(name_, L"CoreBinary", value));
    EXPECT_FALSE(ReadParameterValue(name_, L"GuiBinary", value));
    EXPECT_FALSE(FileExists(dataDirectory_ + L"\\service.conf"));
}

INSTANTIATE_TEST_SUITE_P(
    WritableOrMissing, RefusedInstallation,
    testing::Values(
        Refusal{"WritableCoreDirectory", CoreInBuildDirectory, NoGui, BuildDirectory},
        Refusal{"WritableGuiDirectory", ProtectedCore, CoreInBuildDirectory, BuildDirectory},
        Refusal{"OnlyCoreReportedWhenBothWritable", CoreInBuildDirectory, CoreInMissingDirectory,
                BuildDirectory},
        Refusal{"MissingCoreDirectory", CoreInMissingDirectory, ProtectedGui, MissingDirectory},
        Refusal{"WritableCoreFileInProtectedDirectory", WritableCoreFile, ProtectedGui,
                WritableCoreFile}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.label); });

// Uninstall with the data directory replaced by a link that the fixture script planted.
TEST(LinkedDataDirectoryRemoval, RemovesNoFileThroughTheLink) {
    std::wstring programData = ProtectedDirectory() + L"\\programdata";
    std::wstring target = ProtectedDirectory() + L"\\link-target-remove";
    DWORD attributes = GetFileAttributesW((programData + L"\\linked-remove").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "needs the link that tests/fixtures/install_protected.sh prepares";
    }
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmora.exe"), L"uninstall --name linked-remove", child,
                             L"ProgramData=" + programData));
    EXPECT_EQ(child.Wait(60000), 0u) << child.Stderr();
    EXPECT_EQ(Lines(child.Stdout()), "service 'linked-remove' removed\n");
    for (const wchar_t* file :
         {L"service.conf", L"core.stderr.log", L"service.log", L"service.log.1"}) {
        EXPECT_EQ(ReadFileBytes(target + L"\\" + file), "keep\n") << Utf8(file);
    }
}

}  // namespace
