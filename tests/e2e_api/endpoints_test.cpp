// The control endpoints of a running `velmora.exe console`, driven over loopback TCP by this
// test program (registered as GuiBinary, or not) and by velmoractl, with the stand-in core.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "app/text.h"
#include "support.h"

namespace {

const char kUntrusted[] = "{\"ok\":false,\"error\":\"untrusted caller\"}";
const char kUnauthorized[] = "{\"ok\":false,\"error\":\"unauthorized\"}";
const char kRunning[] = "{\"running\":true}";
const char kNotRunning[] = "{\"running\":false}";
const char kStarted[] = "{\"ok\":true}";
const char kGraceful[] = "{\"ok\":true,\"graceful\":true}";
const char kForced[] = "{\"ok\":true,\"graceful\":false}";
const char kWarning[] = "WARNING: GuiBinary not registered, peer verification disabled";

std::string Failure(const std::string& escapedText) {
    return "{\"ok\":false,\"error\":\"" + escapedText + "\"}";
}

// A Windows path as it appears inside a JSON string: every backslash doubled.
std::string InJson(const std::wstring& path) {
    std::string out;
    for (char c : ToUtf8(path)) {
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return out;
}

std::string PrintedLine(const std::string& out) {
    std::string line = out;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

}  // namespace

// One console-mode service per test, with a private copy of the stand-in core: the sweep ends
// every process of the core's image, so tests running side by side must not share one.
class ControlApi : public testing::Test {
protected:
    void SetUp() override {
        name = UniqueServiceName(L"e2eapi");
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + name;
        // Process ids come back in later runs, and with them the names.
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        corePath = folder + L"\\standin-core.exe";
        ASSERT_TRUE(CopyFileW(ProgramPath(L"standin-core.exe").c_str(), corePath.c_str(), FALSE));
        ASSERT_TRUE(SetParameter(name, L"CoreBinary", corePath));
        ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
        // A name can come back from an earlier run (process ids are reused): its old log would
        // pass for the new service's start and its counts.
        for (const wchar_t* file : {L"service.log", L"service.log.1", L"service.conf"}) {
            DeleteFileW((DataDirectoryOf(name) + L"\\" + file).c_str());
        }
        ASSERT_TRUE(service.Start(name)) << service.Log();
    }

    void TearDown() override {
        service.Kill();
        for (DWORD pid : ProcessesRunning(corePath)) {
            UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (process) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 5000);
            }
        }
        DeleteParameters(name);
    }

    // A configuration file for the stand-in core, with its behaviour as key=value lines.
    std::wstring Config(const std::string& lines, const std::wstring& fileName = L"core.conf") {
        std::wstring path = folder + L"\\" + fileName;
        EXPECT_TRUE(WriteFileBytes(path, lines));
        return path;
    }

    HttpResult Call(const std::string& method, const std::string& path,
                    const std::string& body = "") {
        return SendRequest(service.port, method, path, service.token, body);
    }
    HttpResult Start(const std::wstring& configPath) {
        return Call("POST", "/start", ToUtf8(configPath));
    }

    DWORD Velmoractl(const std::wstring& arguments, std::string* out) {
        return RunProgram(ProgramPath(L"velmoractl.exe"), L"--name \"" + name + L"\" " + arguments,
                          out);
    }

    std::wstring name;
    std::wstring folder;
    std::wstring corePath;
    ConsoleService service;
};

// --- The two checks of the caller ---

TEST_F(ControlApi, RefusesUntrustedCallerBeforeCheckingToken) {
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", ProgramPath(L"velmoractl.exe")));
    HttpResult right = Call("GET", "/status");
    EXPECT_EQ(right.status, 401);
    EXPECT_EQ(right.body, kUntrusted);
    HttpResult wrong = SendRequest(service.port, "GET", "/status", "wrong");
    EXPECT_EQ(wrong.body, kUntrusted);
    EXPECT_EQ(CountOf(service.Log(), "rejected peer pid=" + std::to_string(GetCurrentProcessId())),
              2u)
        << service.Log();

    ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
    EXPECT_EQ(SendRequest(service.port, "GET", "/status", "wrong").body, kUnauthorized);
}

TEST_F(ControlApi, AcceptsTokenWithSpacesAroundAndRefusesNearMisses) {
    std::string head = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    HttpResult spaced =
        SendRaw(service.port, head + "x-auth-token: \t " + service.token + " \t\r\n\r\n");
    EXPECT_EQ(spaced.status, 200);
    EXPECT_EQ(spaced.body, kNotRunning);

    std::string upper = service.token;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    std::string changed = service.token;
    changed.back() = changed.back() == '0' ? '1' : '0';
    for (std::string token : {upper, changed, service.token + "0", service.token.substr(1)}) {
        HttpResult result = SendRequest(service.port, "GET", "/status", token);
        EXPECT_EQ(result.status, 401) << token;
        EXPECT_EQ(result.body, kUnauthorized) << token;
    }
}

TEST_F(ControlApi, LogsWarningForEachRequestWhileGuiBinaryIsAbsent) {
    DeleteParameters(name);
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
    EXPECT_EQ(CountOf(service.Log(), kWarning), 2u) << service.Log();
}

class UnreadableGuiBinary : public ControlApi, public testing::WithParamInterface<bool> {};

TEST_P(UnreadableGuiBinary, RefusesEveryCaller) {
    if (GetParam()) {
        ASSERT_TRUE(SetParameterDword(name, L"GuiBinary", 7));
    } else {
        ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath() + std::wstring(260, L'x')));
    }
    EXPECT_EQ(Call("GET", "/status").body, kUntrusted);
    std::string out;
    EXPECT_EQ(Velmoractl(L"status", &out), 1u);
    EXPECT_EQ(PrintedLine(out), std::string("401 ") + kUntrusted);
    std::string log = service.Log();
    EXPECT_EQ(CountOf(log, "GuiBinary unreadable"), 2u) << log;
    EXPECT_EQ(CountOf(log, kWarning), 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableGuiBinary, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WrongType" : "TooLong";
                         });

TEST_F(ControlApi, ServesVelmoractlRegisteredAsGuiBinary) {
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", ProgramPath(L"velmoractl.exe")));
    std::string out;
    EXPECT_EQ(Velmoractl(L"version", &out), 0u);
    EXPECT_EQ(PrintedLine(out), "200 {\"protocol\":1}");
    EXPECT_EQ(Velmoractl(L"status", &out), 0u);
    EXPECT_EQ(PrintedLine(out), std::string("200 ") + kNotRunning);
    EXPECT_EQ(Velmoractl(L"start \"" + Config("") + L"\"", &out), 0u);
    EXPECT_EQ(PrintedLine(out), std::string("200 ") + kStarted);
    EXPECT_EQ(Velmoractl(L"status", &out), 0u);
    EXPECT_EQ(PrintedLine(out), std::string("200 ") + kRunning);
    EXPECT_EQ(Velmoractl(L"stop", &out), 0u);
    EXPECT_EQ(PrintedLine(out).substr(0, 4), "200 ");
    EXPECT_EQ(Velmoractl(L"start \"" + folder + L"\\missing.conf\"", &out), 1u);
    EXPECT_EQ(PrintedLine(out),
              "500 " + Failure("config not found: " + InJson(folder + L"\\missing.conf")));
}

// --- Status, start and restart ---

TEST_F(ControlApi, ReportsCoreRunningAndForgetsCoreThatDiedByItself) {
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
    // Alive through the start-up window, then gone on its own.
    HttpResult started = Start(Config("exit-after-ms=2500\n"));
    ASSERT_EQ(started.body, kStarted);
    EXPECT_EQ(Call("GET", "/status").body, kRunning);
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).empty(); }, 20000));
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
}

TEST_F(ControlApi, RestartReplacesRunningCore) {
    ASSERT_EQ(Start(Config("")).body, kStarted);
    std::vector<DWORD> first = ProcessesRunning(corePath);
    ASSERT_EQ(first.size(), 1u);
    HttpResult again = Start(Config(""));
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, kStarted);
    std::vector<DWORD> second = ProcessesRunning(corePath);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    EXPECT_EQ(Call("GET", "/status").body, kRunning);
    EXPECT_EQ(CountOf(service.Log(), "core started pid="), 2u) << service.Log();
}

TEST_F(ControlApi, StartClientSeesEndOfStreamWhileCoreRuns) {
    // SendRaw reads until the server closes (15 s at most). A core that inherited the
    // connection would hold it open for as long as it runs.
    ULONGLONG before = GetTickCount64();
    HttpResult started = Start(Config(""));
    ULONGLONG took = GetTickCount64() - before;
    ASSERT_EQ(started.body, kStarted);
    EXPECT_LT(took, 12000u);
    EXPECT_EQ(ProcessesRunning(corePath).size(), 1u);
}

// --- Failures of /start, with their exact texts ---

TEST_F(ControlApi, AnswersEmptyConfigPathForBodyOfLineEndsAndSpaces) {
    HttpResult result = Call("POST", "/start", "\r\n  \r\n \n");
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, "{\"ok\":false,\"error\":\"empty config path\"}");
    EXPECT_TRUE(ProcessesRunning(corePath).empty());
}

TEST_F(ControlApi, KeepsTrailingTabOfConfigPath) {
    std::wstring config = Config("");
    HttpResult result = Call("POST", "/start", ToUtf8(config) + "\t\r\n");
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("config not found: " + InJson(config) + "\\t"));
}

TEST_F(ControlApi, ReportsMissingCoreBinarySetting) {
    DeleteParameters(name);
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
    HttpResult result = Start(Config(""));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("service misconfigured: CoreBinary registry value missing"));
}

TEST_F(ControlApi, ReportsCoreBinaryNotFoundWithDoubledBackslashes) {
    std::wstring missing = folder + L"\\no such dir\\sing-box.exe";
    ASSERT_TRUE(SetParameter(name, L"CoreBinary", missing));
    HttpResult result = Start(Config(""));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("core binary not found: " + InJson(missing)));
}

TEST_F(ControlApi, ReportsConfigNotFoundWithDoubledBackslashes) {
    std::wstring missing = folder + L"\\config \xE9t\xE9.json";
    HttpResult result = Start(missing);
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("config not found: " + InJson(missing)));
}

TEST_F(ControlApi, ReportsCoreThatCannotBeCreated) {
    // It exists, but it is no program.
    std::wstring notAProgram = folder + L"\\not-a-program.exe";
    ASSERT_TRUE(WriteFileBytes(notAProgram, "just text\r\n"));
    ASSERT_TRUE(SetParameter(name, L"CoreBinary", notAProgram));
    HttpResult result = Start(Config(""));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body.rfind("{\"ok\":false,\"error\":\"CreateProcess failed (err=", 0), 0u)
        << result.body;
}

TEST_F(ControlApi, ReportsLastLineOfCoreThatExitedEarly) {
    // A quote, a tab, a carriage return inside the line and a non-ASCII character.
    HttpResult result =
        Start(Config("quiet=1\nstderr=bad \"config\"\\there\\r \xC3\xA9\nexit-now=\n"));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("bad \\\"config\\\"\\there \xC3\xA9"));
}

TEST_F(ControlApi, ReplacesCutCharacterInCoreLineSoBodyStaysJson) {
    HttpResult result = Start(Config("quiet=1\nstderr=cut \xE2\x82\nexit-now=\n"));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("cut \xEF\xBF\xBD"));
}

TEST_F(ControlApi, ReportsCoreThatExitedSilently) {
    HttpResult result = Start(Config("quiet=1\nexit-now=\n"));
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(result.body, Failure("core exited immediately"));
}

// --- Stop ---

TEST_F(ControlApi, StopWithNothingRunningIsGraceful) {
    HttpResult result = Call("POST", "/stop");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, kGraceful);
}

TEST_F(ControlApi, StopOfCoreThatIgnoresBreakIsNotGraceful) {
    ASSERT_EQ(Start(Config("ignore-break=1\n")).body, kStarted);
    HttpResult result = Call("POST", "/stop");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, kForced);
    EXPECT_TRUE(ProcessesRunning(corePath).empty());
    EXPECT_EQ(Call("GET", "/status").body, kNotRunning);
}

TEST_F(ControlApi, StopThatEndsStrayCoreIsNotGraceful) {
    ChildProcess stray;
    ASSERT_TRUE(StartProgram(corePath, L"run -c \"" + Config("") + L"\"", stray));
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).size() == 1; }, 10000));
    HttpResult result = Call("POST", "/stop");
    EXPECT_EQ(result.body, kForced);
    EXPECT_NE(stray.Wait(10000), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(ControlApi, CoreChildDiesWithKilledService) {
    ASSERT_EQ(Start(Config("spawn-child=1\n")).body, kStarted);
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).size() == 2; }, 10000));
    service.Kill();
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).empty(); }, 15000));
}
