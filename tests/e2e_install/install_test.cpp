// velmora.exe install and uninstall under the service control manager, driven from outside. The
// programs live on P:, a volume that tests/fixtures/install_protected.sh lays out so that every
// folder above them grants write access to no untrusted principal (Wine reads Linux modes).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

constexpr DWORD kServiceMs = 30000;
const std::wstring kVelmora = L"P:\\app\\velmora.exe";
const std::wstring kCore = L"P:\\app\\core\\standin-core.exe";
const std::wstring kGui = L"P:\\app\\gui\\velmoractl.exe";
const char kRecreating[] = "data dir was pre-created by a non-admin user, recreating: ";

bool IsLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

struct Outcome {
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

struct ServiceView {
    bool exists = false;
    DWORD state = 0;
    DWORD processId = 0;
    DWORD startType = 0;
    std::wstring imagePath;
};

ServiceView ViewService(const std::wstring& name) {
    ServiceView view;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    SERVICE_STATUS_PROCESS status = {};
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    view.exists = service.valid();
    if (view.exists &&
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed) &&
        QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed) &&
        config->dwServiceType == SERVICE_WIN32_OWN_PROCESS) {
        view = {true, status.dwCurrentState, status.dwProcessId, config->dwStartType,
                config->lpBinaryPathName};
    }
    return view;
}

class Installation : public testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(kVelmora)) {
            GTEST_SKIP() << "needs drive P: that tests/fixtures/install_protected.sh prepares";
        }
        name_ = UniqueServiceName(L"inst");
        data_ = DataDirectoryOf(name_);
    }
    void TearDown() override {
        if (!name_.empty()) {
            Velmora(L"uninstall");
        }
        // An old service that ignores the stop would outlive its removal.
        EndProcessesOf(ProgramPath(L"stubborn-service.exe"));
    }
    Outcome Velmora(const std::wstring& command, const std::wstring& exe = kVelmora) {
        Outcome run;
        run.exitCode = RunProgram(exe, command + L" --name \"" + name_ + L"\"", &run.out, &run.err);
        run.out = WithoutCr(run.out);
        run.err = WithoutCr(run.err);
        return run;
    }
    Outcome Install(const std::wstring& core, const std::wstring& gui = L"",
                    const std::wstring& exe = kVelmora) {
        std::wstring command = L"install --core \"" + core + L"\"";
        return Velmora(gui.empty() ? command : command + L" --gui \"" + gui + L"\"", exe);
    }
    bool Answers() {
        return WaitUntil(
            [&] {
                std::string conf = ReadFileBytes(ServiceDataDirectoryOf(name_) + L"\\service.conf");
                return conf.rfind("port=", 0) == 0 &&
                       SendRequest(atoi(conf.c_str() + 5), "GET", "/version").body ==
                           "{\"protocol\":1}";
            },
            kServiceMs, 200);
    }
    std::wstring Parameter(const wchar_t* valueName) {
        std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name_ + L"\\Parameters";
        wchar_t value[1024] = L"<absent>";
        DWORD size = sizeof value;
        RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName, RRF_RT_REG_SZ, nullptr, value,
                     &size);
        return value;
    }

    std::wstring name_;
    std::wstring data_;
};

TEST_F(Installation, InstallsUpdatesAndRemovesAServiceThatServesTheTrustedApplication) {
    Outcome run = Install(kCore);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, "service '" + ToUtf8(name_) + "' installed and started\n");
    ServiceView view = ViewService(name_);
    EXPECT_EQ(view.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(view.imagePath, L"\"" + kVelmora + L"\" run --name \"" + name_ + L"\"");
    EXPECT_EQ(Parameter(L"CoreBinary"), kCore);
    EXPECT_EQ(Parameter(L"GuiBinary"), L"<absent>");
    ASSERT_TRUE(Answers());

    // Over the running service; the core given with ".." is stored as its full path.
    DWORD firstProcess = ViewService(name_).processId;
    run = Install(L"P:\\app\\gui\\..\\core\\standin-core.exe", kGui);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    ASSERT_TRUE(Answers());
    EXPECT_NE(ViewService(name_).processId, firstProcess);
    EXPECT_EQ(Parameter(L"CoreBinary"), kCore);
    EXPECT_EQ(Parameter(L"GuiBinary"), kGui);

    // The registered trusted application with the service's own token gets in.
    ChildProcess client;
    std::wstring serviceData = ServiceDataDirectoryOf(name_);
    {
        ScopedProgramData programData(serviceData.substr(0, serviceData.rfind(L'\\')));
        ASSERT_TRUE(StartProgram(kGui, L"--name \"" + name_ + L"\" status", client));
    }
    EXPECT_EQ(client.Wait(kServiceMs), 0u) << client.Stderr();
    EXPECT_EQ(WithoutCr(client.Stdout()), "200 {\"running\":false}\n");

    // Over a stopped service, without --gui: the earlier GuiBinary stays.
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service(OpenServiceW(manager.get(), name_.c_str(), SERVICE_STOP));
        SERVICE_STATUS status = {};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    }
    ASSERT_TRUE(WaitUntil([&] { return ViewService(name_).state == SERVICE_STOPPED; }, kServiceMs));
    run = Install(kCore);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    ASSERT_TRUE(Answers());
    EXPECT_EQ(Parameter(L"GuiBinary"), kGui);

    ASSERT_TRUE(WriteFileBytes(data_ + L"\\core.stderr.log.1", "rotated\n"));
    run = Velmora(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, "service '" + ToUtf8(name_) + "' removed\n");
    EXPECT_TRUE(WaitUntil([&] { return !ViewService(name_).exists; }, kServiceMs));
    EXPECT_FALSE(FileExists(data_));
}

// Names a user could count through are taken ahead, and must not keep the planted directory.
TEST_F(Installation, PlantedDataDirectoryIsMovedAsideWholeAndRecreated) {
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    const char* planted[][2] = {{"service.conf", "port=1\ntoken=planted\n"},
                                {"service.conf.tmp", "port=2\ntoken=swapped\n"},
                                {"foreign.txt", "not ours"}};
    for (auto& file : planted) {
        ASSERT_TRUE(WriteFileBytes(data_ + L"\\" + FromUtf8(file[0]), file[1]));
    }
    std::vector<std::wstring> taken;
    for (int n = 1; n <= 100; ++n) {
        taken.push_back(data_ + L".untrusted-" + std::to_wstring(n));
        ASSERT_TRUE(CreateDirectoryW(taken.back().c_str(), nullptr));
    }
    Outcome run = Install(kCore);
    ASSERT_EQ(run.exitCode, 0u) << run.err;

    const std::string movedAside = "\nmoved aside, contents kept for inspection: ";
    ASSERT_EQ(
        run.err.rfind(kRecreating + ToUtf8(data_) + movedAside + ToUtf8(data_) + ".untrusted-", 0),
        0u)
        << run.err;
    std::wstring aside = FromUtf8(run.err.substr(run.err.find(movedAside) + movedAside.size()));
    ASSERT_EQ(aside.back(), L'\n');
    aside.pop_back();
    for (auto& file : planted) {
        EXPECT_EQ(ReadFileBytes(aside + L"\\" + FromUtf8(file[0])), file[1]) << file[0];
    }
    for (const std::wstring& name : taken) {
        EXPECT_TRUE(EntriesOf(name).empty()) << ToUtf8(name);
        RemoveDirectoryW(name.c_str());
    }
    std::string conf = ReadFileBytes(data_ + L"\\service.conf");
    std::string head = "port=" + std::to_string(ExpectedBasePort(name_)) + "\ntoken=";
    ASSERT_EQ(conf.size(), head.size() + 33) << conf;
    EXPECT_EQ(conf.substr(0, head.size()), head);
    EXPECT_EQ(conf.find_first_not_of("0123456789abcdef", head.size()), conf.size() - 1) << conf;
}

TEST_F(Installation, OverServiceThatIgnoresStopExits4AndRemovalStillDeletesIt) {
    std::wstring image = L"\"" + ProgramPath(L"stubborn-service.exe") + L"\"";
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(
            CreateServiceW(manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
    }
    ASSERT_TRUE(WaitUntil([&] { return ViewService(name_).state == SERVICE_RUNNING; }, kServiceMs));

    Outcome run = Install(kCore);
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_NE(run.err.find("old service did not stop; aborting install\n"), std::string::npos)
        << run.err;
    EXPECT_NE(WithoutCr(ReadFileBytes(data_ + L"\\service.log"))
                  .find("] install: old service did not stop, aborting\n"),
              std::string::npos);
    EXPECT_EQ(ViewService(name_).imagePath, image);

    UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, ViewService(name_).processId));
    run = Velmora(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "service '" + ToUtf8(name_) + "' removed\n");
    EXPECT_EQ(run.err, "data directory kept while the service still runs: " + ToUtf8(data_) + "\n");
    EXPECT_TRUE(FileExists(data_ + L"\\service.log"));
    // Marked for deletion: it goes once its process has ended.
    TerminateProcess(process.get(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !ViewService(name_).exists; }, kServiceMs));
}

// A refused installation: what the messages must name, and nothing else may have happened.
struct Refusal {
    const char* label;
    std::wstring exe;
    std::wstring core;
    std::wstring gui;
    std::wstring refused;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.label; }
};

class RefusedInstallation : public Installation, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusedInstallation, ExitsWithCode3NamingThePlaceAndChangesNothingElse) {
    const std::wstring& refused = GetParam().refused;
    Outcome run = Install(GetParam().core, GetParam().gui, GetParam().exe);

    EXPECT_EQ(run.exitCode, 3u);
    // Under Wine every directory reads as a non-admin user's, so the recreation notice comes first.
    EXPECT_NE(run.err.find("refusing to install: '" + ToUtf8(refused) +
                           "' is writable by non-administrators; install the app under Program "
                           "Files first\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(WithoutCr(ReadFileBytes(data_ + L"\\service.log"))
                  .find("] refusing to install: '" + ToUtf8(refused) +
                        "' is writable by non-administrators\n"),
              std::string::npos);
    EXPECT_FALSE(ViewService(name_).exists);
    EXPECT_EQ(Parameter(L"CoreBinary"), L"<absent>");
    EXPECT_FALSE(FileExists(data_ + L"\\service.conf"));
}

INSTANTIATE_TEST_SUITE_P(
    Places, RefusedInstallation,
    testing::Values(
        Refusal{"OwnExecutableInBuildFolder", ProgramPath(L"velmora.exe"), kCore, kGui,
                TestDirectory()},
        Refusal{"WritableCoreDirectory", kVelmora, ProgramPath(L"standin-core.exe"), L"",
                TestDirectory()},
        Refusal{"WritableGuiDirectory", kVelmora, kCore, ProgramPath(L"velmoractl.exe"),
                TestDirectory()},
        Refusal{"OnlyCoreReportedWhenBothFail", kVelmora, ProgramPath(L"standin-core.exe"),
                L"P:\\app\\missing\\x.exe", TestDirectory()},
        Refusal{"WritableAncestor", kVelmora, L"P:\\open\\core\\standin-core.exe", L"",
                L"P:\\open"},
        Refusal{"ForeignOwner", kVelmora, L"P:\\foreign\\standin-core.exe", L"", L"P:\\foreign"},
        Refusal{"MissingDirectory", kVelmora, L"P:\\app\\missing\\sing-box.exe", kGui,
                L"P:\\app\\missing"},
        Refusal{"WritableCoreFile", kVelmora, L"P:\\app\\writable-file\\standin-core.exe", kGui,
                L"P:\\app\\writable-file\\standin-core.exe"},
        Refusal{"RelativeCoreIsResolvedFirst", kVelmora, L"standin-core.exe", L"",
                std::filesystem::current_path().wstring()},
        Refusal{"OwnExecutableThroughLinkedFolder", L"P:\\linked\\velmora.exe", kCore, L"",
                L"P:\\open"},
        Refusal{"CoreThroughLinkedFolder", kVelmora, L"P:\\linked\\standin-core.exe", kGui,
                L"P:\\open"},
        Refusal{"GuiThroughLinkedFile", kVelmora, kCore, L"P:\\app\\gui\\linked.exe", L"P:\\open"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.label); });

// Links that the fixture script planted at a data directory's path, pointing at files named
// like the service's: neither hardening nor removal touches anything through them.
struct LinkCase {
    const char* command;
    const char* name;
    DWORD exitCode;
    DWORD exitCodeUnderWine;  // Wine cannot remove a link whose target holds files
    friend void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.command; }
};

class LinkedDataDirectory : public Installation, public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkedDataDirectory, LosesNoFileThroughTheLink) {
    wchar_t out[MAX_PATH] = {};
    GetFullPathNameW((TestDirectory() + L"\\..\\protected").c_str(), MAX_PATH, out, nullptr);
    name_ = L"linked-" + FromUtf8(GetParam().name);
    std::wstring link = out + (L"\\programdata\\" + name_);
    ASSERT_TRUE(IsLink(link));
    Outcome run;
    {
        ScopedProgramData programData(std::wstring(out) + L"\\programdata");
        run = Velmora(FromUtf8(GetParam().command) + L" --core \"" +
                      ProgramPath(L"standin-core.exe") + L"\"");
    }
    EXPECT_EQ(run.exitCode, RunningUnderWine() ? GetParam().exitCodeUnderWine : GetParam().exitCode)
        << run.err;
    for (const wchar_t* file : {L"service.conf", L"core.stderr.log", L"service.log"}) {
        EXPECT_EQ(
            ReadFileBytes(out + (L"\\link-target-" + FromUtf8(GetParam().name) + L"\\") + file),
            "keep\n");
    }
    if (!RunningUnderWine()) {
        EXPECT_FALSE(IsLink(link));
    } else if (run.exitCode == 1) {
        EXPECT_NE(run.err.find("cannot secure the data directory (err="), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, LinkedDataDirectory,
                         testing::Values(LinkCase{"install", "harden", 3, 1},
                                         LinkCase{"uninstall", "remove", 0, 0}),
                         [](const testing::TestParamInfo<LinkCase>& info) {
                             return std::string(info.param.command);
                         });

}  // namespace
