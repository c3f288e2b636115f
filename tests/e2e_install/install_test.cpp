// Installing and removing from outside; tests/fixtures/install_protected.sh closes P: to others.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

constexpr DWORD kServiceMs = 30000;
const std::wstring kVelmora = L"P:\\app\\velmora.exe";
const std::wstring kCore = L"P:\\app\\core\\standin-core.exe";
const std::wstring kGui = L"P:\\app\\gui\\velmoractl.exe";

bool IsLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

struct Outcome {
    DWORD exitCode = 0;
    std::string out, err;
};

struct ServiceView {
    bool exists = false;
    DWORD state = 0, processId = 0, startType = 0;
    std::wstring imagePath;
};

// Opened once; holding it keeps no service from being deleted.
SC_HANDLE Manager() {
    static const UniqueServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return manager.get();
}

ServiceView ViewService(const std::wstring& name) {
    UniqueServiceHandle service(
        OpenServiceW(Manager(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    SERVICE_STATUS_PROCESS status = {};
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    if (service &&
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed) &&
        QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed) &&
        config->dwServiceType == SERVICE_WIN32_OWN_PROCESS) {
        return {true, status.dwCurrentState, status.dwProcessId, config->dwStartType,
                config->lpBinaryPathName};
    }
    return {service.valid(), 0, 0, 0, L""};
}

// A registry text under HKLM, or "<absent>".
std::wstring RegistryText(const std::wstring& key, const wchar_t* valueName,
                          DWORD flags = RRF_RT_REG_SZ) {
    wchar_t value[1024] = L"<absent>";
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName, flags, nullptr, value, &size);
    return value;
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
        return {run.exitCode, WithoutCr(run.out), WithoutCr(run.err)};
    }
    Outcome Install(const std::wstring& core, const std::wstring& gui = L"",
                    const std::wstring& exe = kVelmora) {
        std::wstring guiOption = gui.empty() ? L"" : L" --gui \"" + gui + L"\"";
        return Velmora(L"install --core \"" + core + L"\"" + guiOption, exe);
    }
    bool Answers() {
        auto answers = [&] {
            std::string conf = ReadFileBytes(ServiceDataDirectoryOf(name_) + L"\\service.conf");
            int port = conf.rfind("port=", 0) == 0 ? atoi(conf.c_str() + 5) : 0;
            return port != 0 && SendRequest(port, "GET", "/version").body == "{\"protocol\":1}";
        };
        return WaitUntil(answers, kServiceMs, 200);
    }
    std::string Log() { return WithoutCr(ReadFileBytes(data_ + L"\\service.log")); }
    std::wstring Parameter(const wchar_t* valueName) {
        return RegistryText(L"SYSTEM\\CurrentControlSet\\Services\\" + name_ + L"\\Parameters",
                            valueName);
    }

    std::wstring name_, data_;
};

// Into a planted data directory, with a hundred of the names to move it aside to taken ahead.
TEST_F(Installation, InstallsUpdatesAndRemovesAServiceThatServesTheTrustedApplication) {
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    const char* planted[][2] = {{"service.conf", "port=1\ntoken=planted\n"},
                                {"service.conf.tmp", "port=2\ntoken=swapped\n"},
                                {"foreign.txt", "not ours"}};
    for (auto& file : planted) {
        ASSERT_TRUE(WriteFileBytes(data_ + L"\\" + FromUtf8(file[0]), file[1]));
    }
    auto taken = [&](int n) { return data_ + L".untrusted-" + std::to_wstring(n); };
    for (int n = 1; n <= 100; ++n) {
        ASSERT_TRUE(CreateDirectoryW(taken(n).c_str(), nullptr));
    }
    Outcome run = Install(kCore);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, "service '" + ToUtf8(name_) + "' installed and started\n");
    const std::string notice =
        "data dir was pre-created by a non-admin user, recreating: " + ToUtf8(data_) +
        "\nmoved aside, contents kept for inspection: ";
    ASSERT_EQ(run.err.rfind(notice + ToUtf8(data_) + ".untrusted-", 0), 0u) << run.err;
    // The rest of the line: a name with anything after it leads nowhere.
    std::wstring aside =
        FromUtf8(run.err.substr(notice.size(), run.err.size() - notice.size() - 1));
    for (auto& file : planted) {
        EXPECT_EQ(ReadFileBytes(aside + L"\\" + FromUtf8(file[0])), file[1]) << file[0];
    }
    for (int n = 1; n <= 100; ++n) {
        EXPECT_TRUE(EntriesOf(taken(n)).empty()) << n;
        RemoveDirectoryW(taken(n).c_str());
    }
    EXPECT_TRUE(std::regex_match(
        ReadFileBytes(data_ + L"\\service.conf"),
        std::regex("port=" + std::to_string(ExpectedBasePort(name_)) + "\ntoken=[0-9a-f]{32}\n")));
    ServiceView view = ViewService(name_);
    EXPECT_EQ(view.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(view.imagePath, L"\"" + kVelmora + L"\" run --name \"" + name_ + L"\"");
    EXPECT_EQ(Parameter(L"CoreBinary"), kCore);
    EXPECT_EQ(Parameter(L"GuiBinary"), L"<absent>");
    const std::wstring source =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name_;
    EXPECT_EQ(RegistryText(source, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND),
              kVelmora);
    DWORD types = 0, size = sizeof types;
    RegGetValueW(HKEY_LOCAL_MACHINE, source.c_str(), L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
                 &types, &size);
    EXPECT_EQ(types, 7u);  // error, warning, information
    ASSERT_TRUE(Answers());

    // Over the running one; a core given with ".." and 8.3 is stored as the long path callers show.
    DWORD firstProcess = ViewService(name_).processId;
    wchar_t shortCore[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(kCore.c_str(), shortCore, MAX_PATH), 0u);
    run = Install(L"P:\\app\\gui\\..\\core\\" + std::wstring(wcsrchr(shortCore, L'\\') + 1), kGui);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    ASSERT_TRUE(Answers());
    EXPECT_NE(ViewService(name_).processId, firstProcess);
    EXPECT_EQ(Parameter(L"CoreBinary"), kCore);
    EXPECT_EQ(Parameter(L"GuiBinary"), kGui);

    // Over a stopped service, without --gui: the earlier GuiBinary stays.
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(
        UniqueServiceHandle(OpenServiceW(Manager(), name_.c_str(), SERVICE_STOP)).get(),
        SERVICE_CONTROL_STOP, &status));
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
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Installation, OverServiceThatIgnoresStopExits4AndRemovalStillDeletesIt) {
    std::wstring image = L"\"" + ProgramPath(L"stubborn-service.exe") + L"\"";
    ASSERT_TRUE(StartServiceW(
        UniqueServiceHandle(
            CreateServiceW(Manager(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr))
            .get(),
        0, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return ViewService(name_).state == SERVICE_RUNNING; }, kServiceMs));

    Outcome run = Install(kCore);
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_NE(run.err.find("old service did not stop; aborting install\n"), std::string::npos)
        << run.err;
    EXPECT_NE(Log().find("] install: old service did not stop, aborting\n"), std::string::npos);
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

struct Refusal {
    const char* label;
    std::wstring exe, core, gui, refused;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.label; }
};

class RefusedInstallation : public Installation, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusedInstallation, ExitsWithCode3NamingThePlaceAndChangesNothingElse) {
    const std::string refusal = "refusing to install: '" + ToUtf8(GetParam().refused) +
                                "' is writable by non-administrators";
    Outcome run = Install(GetParam().core, GetParam().gui, GetParam().exe);
    EXPECT_EQ(run.exitCode, 3u);
    // Under Wine every directory reads as a non-admin user's, so the recreation notice comes first.
    EXPECT_NE(run.err.find(refusal + "; install the app under Program Files first\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(Log().find("] " + refusal + "\n"), std::string::npos);
    EXPECT_FALSE(ViewService(name_).exists);
    EXPECT_EQ(Parameter(L"CoreBinary"), L"<absent>");
    EXPECT_FALSE(FileExists(data_ + L"\\service.conf"));
}

const std::wstring kBuilt = TestDirectory();
const std::wstring kBuiltCore = ProgramPath(L"standin-core.exe");
// A link in a protected folder is judged by where it leads: the open P:\open.
const Refusal kRefusals[] = {
    {"OwnExecutableInBuildFolder", ProgramPath(L"velmora.exe"), kCore, kGui, kBuilt},
    {"WritableCoreDirectory", kVelmora, kBuiltCore, L"", kBuilt},
    {"WritableGuiDirectory", kVelmora, kCore, ProgramPath(L"velmoractl.exe"), kBuilt},
    {"OnlyCoreReportedWhenBothFail", kVelmora, kBuiltCore, L"P:\\app\\missing\\x.exe", kBuilt},
    {"WritableAncestor", kVelmora, L"P:\\open\\core\\standin-core.exe", L"", L"P:\\open"},
    {"ForeignOwner", kVelmora, L"P:\\foreign\\standin-core.exe", L"", L"P:\\foreign"},
    {"MissingDirectory", kVelmora, L"P:\\app\\missing\\sing-box.exe", kGui, L"P:\\app\\missing"},
    {"WritableCoreFile", kVelmora, L"P:\\app\\writable-file\\standin-core.exe", kGui,
     L"P:\\app\\writable-file\\standin-core.exe"},
    {"RelativeCoreIsResolvedFirst", kVelmora, L"standin-core.exe", L"",
     std::filesystem::current_path().wstring()},
    {"OwnExecutableThroughLinkedFolder", L"P:\\linked\\velmora.exe", kCore, L"", L"P:\\open"},
    {"GuiThroughLinkedFile", kVelmora, kCore, L"P:\\app\\gui\\linked.exe", L"P:\\open"}};
INSTANTIATE_TEST_SUITE_P(Places, RefusedInstallation, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.label); });

// The fixture script planted these links, to files named like the service's.
TEST_F(Installation, LinkedDataDirectoryLosesNoFileThroughTheLink) {
    const std::wstring fixture = kBuilt.substr(0, kBuilt.rfind(L'\\')) + L"\\protected";
    const struct {
        const wchar_t *command, *use;
        DWORD exitCode, exitCodeUnderWine;  // Wine cannot remove a link whose target holds files
    } rows[] = {{L"install --core standin-core.exe", L"harden", 3, 1},
                {L"uninstall", L"remove", 0, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.command));
        name_ = L"linked-" + std::wstring(row.use);
        std::wstring link = fixture + L"\\programdata\\" + name_;
        ASSERT_TRUE(IsLink(link));
        ScopedProgramData programData(fixture + L"\\programdata");
        Outcome run = Velmora(row.command);
        EXPECT_EQ(run.exitCode, RunningUnderWine() ? row.exitCodeUnderWine : row.exitCode)
            << run.err;
        for (const wchar_t* file : {L"service.conf", L"core.stderr.log", L"service.log"}) {
            EXPECT_EQ(ReadFileBytes(fixture + L"\\link-target-" + row.use + L"\\" + file),
                      "keep\n");
        }
        if (!RunningUnderWine()) {
            EXPECT_FALSE(IsLink(link));
        } else if (run.exitCode == 1) {
            EXPECT_NE(run.err.find("cannot secure the data directory (err="), std::string::npos);
        }
    }
}

}  // namespace
