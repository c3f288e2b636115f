// Driven over loopback TCP by this program, registered as GuiBinary or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

const char kToken[] = "0123456789abcdef0123456789abcdef";
const char kUntrusted[] = "{\"ok\":false,\"error\":\"untrusted caller\"}";
const char kUnauthorized[] = "{\"ok\":false,\"error\":\"unauthorized\"}";
const char kRunning[] = "{\"running\":true}";
const char kNotRunning[] = "{\"running\":false}";
const char kStarted[] = "{\"ok\":true}";
const char kGraceful[] = "{\"ok\":true,\"graceful\":true}";
const char kForced[] = "{\"ok\":true,\"graceful\":false}";

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), towupper);
    return text;
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// Started as velmora starts a core, so that a break to it reaches no one else.
UniqueHandle StartStray(const std::wstring& exe, const std::wstring& config) {
    StartedCore stray = StartStandin(exe, config, CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW);
    // A sweep can only find it once its image can be read.
    WaitUntil([&] { return !ProcessesRunning(exe).empty(); }, 10000);
    return std::move(stray.process);
}

// The folder's name holds a space, so every path does.
class ControlApi : public testing::Test {
protected:
    void SetUp() override {
        name = UniqueServiceName(L"e2e api");
        corePath = PrivateStandin(name);
        ASSERT_FALSE(corePath.empty());
        folder = corePath.substr(0, corePath.rfind(L'\\'));
        CreateDirectoryW((folder + L"\\other").c_str(), nullptr);
        ASSERT_TRUE(SetParameter(name, L"CoreBinary", corePath));
        ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
        CreateDirectoryW(DataDirectoryOf(name).c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(
            DataDirectoryOf(name) + L"\\service.conf",
            "port=" + std::to_string(ExpectedBasePort(name)) + "\ntoken=" + kToken + "\n"));
        ASSERT_TRUE(service.Start(name)) << service.Log();
    }
    void TearDown() override {
        service.Kill();
        EndProcessesOf(corePath);
        EndProcessesOf(folder + L"\\other\\standin-core.exe");
        DeleteParameters(name);
    }
    std::wstring Config(const std::string& lines) {
        EXPECT_TRUE(WriteFileBytes(folder + L"\\core.conf", lines));
        return folder + L"\\core.conf";
    }
    std::string Call(const std::string& method, const std::string& path,
                     const std::string& body = "") {
        return SendRequest(service.port, method, path, service.token, body).body;
    }
    std::string Start(const std::wstring& configPath) {
        return Call("POST", "/start", ToUtf8(configPath));
    }
    std::string File(const wchar_t* fileName) {
        return ReadFileBytes(DataDirectoryOf(name) + L"\\" + fileName);
    }

    std::wstring name, folder, corePath;
    ConsoleService service;
};

// Only an absent GuiBinary lets anyone through; one unread or empty refuses.
TEST_F(ControlApi, ChecksTheCallerBeforeTheTokenAndTheRoute) {
    // gui: nullptr this program, L"" none, L"7" a number, L"^" this program in capitals, L"-" an
    // empty text, else a program beside it.
    const std::tuple<const char*, const wchar_t*, const char*, const char*, const char*,
                     const char*, bool>
        rows[] = {
            {"Trusted", nullptr, kToken, kNotRunning, "", "127.0.0.1", false},
            {"WrongToken", nullptr, "0123456789ABCDEF0123456789ABCDEF", kUnauthorized, "",
             "127.0.0.1", false},
            {"OtherProgramAnyToken", L"velmoractl.exe", "x", kUntrusted,
             "rejected peer pid=", "127.0.0.1", false},
            {"NoGuiBinary", L"", kToken, kNotRunning,
             "WARNING: GuiBinary not registered, peer verification disabled", "127.0.0.1", false},
            {"UnreadableGuiBinary", L"7", kToken, kUntrusted, "rejected peer: GuiBinary unreadable",
             "127.0.0.1", false},
            {"EmptyGuiBinary", L"-", kToken, kUntrusted, "rejected peer: GuiBinary is empty",
             "127.0.0.1", false},
            {"GuiBinaryInOtherCase", L"^", kToken, kNotRunning, "", "127.0.0.1", false},
            {"ClientOnOtherLoopbackAddress", nullptr, kToken, kUntrusted, "", "127.0.0.2", false},
            {"ClientHalfClosed", nullptr, kToken, kUntrusted, "", "127.0.0.1", true}};
    for (const auto& [rowName, rowGui, token, body, logged, clientEnd, halfClosed] : rows) {
        SCOPED_TRACE(rowName);
        std::wstring gui = rowGui == nullptr ? OwnImagePath() : rowGui;
        DeleteParameters(name);
        DWORD seven = 7;
        std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
        ASSERT_TRUE(gui.empty() ||
                    (gui == L"7" ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"GuiBinary",
                                                   REG_DWORD, &seven, sizeof seven) == ERROR_SUCCESS
                                 : SetParameter(name, L"GuiBinary",
                                                gui == L"^"   ? Upper(OwnImagePath())
                                                : gui == L"-" ? L""
                                                : rowGui      ? ProgramPath(gui)
                                                              : gui)));
        UniqueSocket client = ConnectLoopback(service.port, "127.0.0.1", clientEnd);
        ASSERT_TRUE(client);
        std::string request =
            "GET /status HTTP/1.1\r\nx-auth-token: " + std::string(token) + "\r\n\r\n";
        send(client.get(), request.data(), static_cast<int>(request.size()), 0);
        if (halfClosed) {
            shutdown(client.get(), SD_SEND);
        }
        std::string reply = ReceiveAll(client.get());
        EXPECT_EQ(reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4)), body) << reply;
        EXPECT_TRUE(service.LogShows(logged)) << service.Log();
    }
}

// The connection table is read afresh for each round of requests, never kept from an earlier one.
TEST_F(ControlApi, JudgesAReusedSourcePortByItsNewOwner) {
    UniqueSocket trusted = ConnectLoopback(service.port);
    sockaddr_in local = {};
    int length = sizeof local;
    ASSERT_EQ(getsockname(trusted.get(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    std::string request = "GET /status HTTP/1.1\r\nx-auth-token: " + service.token + "\r\n\r\n";
    send(trusted.get(), request.data(), static_cast<int>(request.size()), 0);
    std::string reply = ReceiveAll(trusted.get());
    ASSERT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), kNotRunning);
    trusted.reset();
    std::string out, err;
    std::wstring args = L"--name \"" + name + L"\" status --bind 127.0.0.1:" +
                        std::to_wstring(ntohs(local.sin_port));
    EXPECT_EQ(RunProgram(ProgramPath(L"velmoractl.exe"), args, &out, &err), 1u);
    EXPECT_EQ(WithoutCr(out), "401 " + std::string(kUntrusted) + "\n") << err;
}

// Exit code 259 is a live process's code too, so only the process object tells.
TEST_F(ControlApi, CoreShowsEachStateOfSupervision) {
    enum Action { kNone, kStart, kKill, kStop };
    // name, action, core.conf, state waited for, restarts, exit code ("": none), exit line, logged
    const std::tuple<const char*, Action, const char*, const char*, const char*, const char*,
                     const char*, const char*>
        rows[] = {
            {"Fresh", kNone, "", "stopped", "0", "", "", ""},
            {"Started", kStart, "stderr=last words\n", "running", "0", "", "", "core started pid="},
            {"KilledFromOutside", kKill, "stderr=last words\n", "restarting", "0", "7",
             "last words", "exited (code=7): last words"},
            {"RunningAgain", kNone, "", "running", "1", "7", "last words", ""},
            {"KilledAgain", kKill, "exit-now=bad config\n", "restarting", "1", "9", "last words",
             ""},
            {"FailedRestartIsPlannedAgain", kNone, "", "restarting", "2", "1", "bad config", ""},
            {"StopEndsThePendingRestart", kStop, "", "stopped", "2", "1", "bad config", ""},
            {"StartedAfresh", kStart, "exit-after-ms=1500\nexit-code=259\n", "running", "0", "", "",
             ""},
            {"KeepsEnding", kNone, "", "given-up", "4", "259", "standin-core: exiting on its own",
             "core keeps exiting, giving up after 4 restarts"},
            {"StoppedAfterGivingUp", kStop, "", "stopped", "4", "259",
             "standin-core: exiting on its own", ""},
        };
    SYSTEMTIME utc = {};
    GetSystemTime(&utc);
    char before[32];
    snprintf(before, sizeof before, "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
             utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    std::vector<DWORD> first;
    for (const auto& [rowName, action, config, state, restarts, exitCode, exitLine, logged] :
         rows) {
        SCOPED_TRACE(rowName);
        std::vector<DWORD> running = ProcessesRunning(corePath);
        if (action == kStart) {
            ASSERT_EQ(Start(Config(config)), kStarted);
            first = ProcessesRunning(corePath);
        } else if (action == kKill) {
            ASSERT_EQ(running.size(), 1u);
            Config(config);  // what the next start reads
            UniqueHandle core(OpenProcess(PROCESS_TERMINATE, FALSE, running[0]));
            ASSERT_TRUE(TerminateProcess(core.get(), std::stoul(exitCode)));
        } else if (action == kStop) {
            ASSERT_EQ(Call("POST", "/stop"), kGraceful);
        }
        std::map<std::string, std::string> core;
        std::string body;
        EXPECT_TRUE(WaitUntil(
            [&, wanted = state, count = restarts] {
                body = Call("GET", "/core");
                return ParseJsonObject(body, core) && core["state"] == wanted &&
                       core["restarts"] == count;
            },
            40000))
            << body;
        bool isRunning = std::string(state) == "running";
        bool restarting = std::string(state) == "restarting", exited = *exitCode != '\0';
        std::string keys;
        for (const auto& field : core) {
            keys += field.first + " ";
        }
        EXPECT_EQ(keys, std::string("config lastExit ") +
                            (exited ? "lastExit.at lastExit.code lastExit.line " : "") + "pid " +
                            (restarting ? "restartInMs " : "") + "restarts startedAt state ");
        // "YYYY-MM-DDTHH:MM:SSZ", not before the test began
        auto isTime = [&](const std::string& t) {
            return t.size() == 20 && t[10] == 'T' && t.back() == 'Z' && t >= before;
        };
        EXPECT_TRUE(!restarting || std::stoul(core["restartInMs"]) <= 1000ul
                                                                          << std::stoi(restarts));
        EXPECT_EQ(core["lastExit.code"] + core["lastExit.line"], std::string(exitCode) + exitLine);
        EXPECT_TRUE(exited ? isTime(core["lastExit.at"]) : core["lastExit"] == "null") << body;
        EXPECT_TRUE(isRunning ? isTime(core["startedAt"]) : core["startedAt"] == "null") << body;
        std::vector<DWORD> now = ProcessesRunning(corePath);
        EXPECT_EQ(core["pid"], isRunning && now.size() == 1 ? std::to_string(now[0]) : "null");
        EXPECT_EQ(core["config"], first.empty() ? "null" : ToUtf8(folder + L"\\core.conf"));
        EXPECT_TRUE(service.LogShows(logged)) << service.Log();
        // A restarted core writes a file of its own; the killed run's is the previous one.
        if (isRunning && restarts == std::string("1")) {
            std::string firstRun = "started pid=" + std::to_string(first[0]) + "\n";
            EXPECT_NE(File(L"core.stderr.log.1").find(firstRun), std::string::npos);
            EXPECT_EQ(File(L"core.stderr.log").find(firstRun), std::string::npos);
        }
    }
}

// Sent as written, so the README cannot drift; in an answer "<...>" stands for a varying value.
TEST_F(ControlApi, AnswersEveryExampleOfTheProtocolReference) {
    std::string readme = WithoutCr(ReadFileBytes(FromUtf8(VELMORA_README)));
    std::wstring config = Config("");
    size_t examples = 0;
    for (size_t at = readme.find("```http\n"); at != std::string::npos;
         at = readme.find("```http\n", at + 1)) {
        std::istringstream block(readme.substr(at + 8, readme.find("```\n", at + 8) - at - 8));
        std::string head, body, answer, line;
        bool inBody = false;
        while (std::getline(block, line)) {
            std::string text = line.size() > 2 ? line.substr(2) : "";
            if (line[0] == '<') {
                answer += (answer.empty() ? "" : "\r\n") + text;
            } else if (inBody) {
                body += (body.empty() ? "" : "\r\n") + text;
            } else {
                head += text + "\r\n";
                inBody = text.empty();
            }
        }
        body = Filled(body, "<config>", ToUtf8(config));
        head =
            Filled(Filled(head, "<token>", service.token), "<length>", std::to_string(body.size()));
        std::string pattern;
        for (size_t i = 0; i < answer.size(); ++i) {
            size_t close = answer.find('>', i);
            if (answer[i] == '<' && close != std::string::npos && answer[i + 1] != '\r') {
                pattern += "[^\"\r\n]+";
                i = close;
            } else {
                pattern +=
                    std::string(strchr("\\^$.|?*+()[]{}", answer[i]) ? "\\" : "") + answer[i];
            }
        }
        bool untrusted = answer.find("untrusted caller") != std::string::npos;
        SetParameter(name, L"GuiBinary",
                     untrusted ? ProgramPath(L"velmoractl.exe") : OwnImagePath());
        std::string raw = SendRaw(service.port, head + body).raw;
        EXPECT_TRUE(std::regex_match(raw, std::regex(pattern))) << head + body << "\n" << raw;
        ++examples;
    }
    EXPECT_GT(examples, 0u);
}

TEST_F(ControlApi, StartSweepsStrayAndRestartReplacesCore) {
    UniqueHandle stray = StartStray(corePath, Config(""));
    ASSERT_EQ(Start(Config("")), kStarted);
    EXPECT_EQ(WaitForSingleObject(stray.get(), 0), WAIT_OBJECT_0);
    std::vector<DWORD> first = ProcessesRunning(corePath);
    ASSERT_EQ(Start(Config("")), kStarted);
    std::vector<DWORD> second = ProcessesRunning(corePath);
    ASSERT_EQ(first.size() + second.size(), 2u);
    EXPECT_NE(second[0], first[0]);
    EXPECT_TRUE(service.LogShows("sweeping stray core pid="));
    EXPECT_EQ(CountOf(service.Log(), "sweeping stray core pid="), 1u) << service.Log();
}

// Refusals cannot push other lines out of the log (tests/scripts shows a long path cut).
TEST_F(ControlApi, LogsARefusedProcessOnceAMinute) {
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", corePath));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call("GET", "/status"), kUntrusted);
    }
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", L""));
    EXPECT_EQ(Call("GET", "/status"), kUntrusted);
    EXPECT_TRUE(service.LogShows("GuiBinary is empty"));
    EXPECT_EQ(CountOf(service.Log(), "rejected peer pid=" + std::to_string(GetCurrentProcessId())),
              1u);
}

const std::wstring kLongName = std::wstring(300, L'x') + L".exe";

// Every way a /start can fail, each with its exact text; nothing is left running.
TEST_F(ControlApi, AnswersAFailedStartWithItsExactText) {
    // CoreBinary under the folder (L"*": the stand-in, L"": none), core.conf (nullptr: none), body
    // ("$": the folder), error ("$": the folder as JSON text)
    const std::tuple<const char*, std::wstring, const char*, std::string, std::string> rows[] = {
        {"EmptyPath", L"*", "", "\r\n  \r\n \n", "empty config path"},
        {"NoCoreBinary", L"", "", "$\\core.conf",
         "service misconfigured: CoreBinary registry value missing"},
        {"CoreMissing", L"no dir\\sing-box.exe", "", "$\\core.conf",
         "core binary not found: $\\\\no dir\\\\sing-box.exe"},
        {"LongCoreBinaryReadWhole", kLongName, "", "$\\core.conf",
         "core binary not found: $\\\\" + ToUtf8(kLongName)},
        {"CoreUnquotable", L"a\" b.exe", "", "$\\core.conf",
         "core binary not found: $\\\\a\\\" b.exe"},
        {"CoreNoProgram", L"no-program.exe", "", "$\\core.conf", "CreateProcess failed (err=193)"},
        {"ConfigMissing", L"*", nullptr, "$\\\xC3\xA9t\xC3\xA9.json",
         "config not found: $\\\\\xC3\xA9t\xC3\xA9.json"},
        {"ConfigRelative", L"*", "", "core.conf", "config path must be absolute: core.conf"},
        {"ConfigOnCurrentDrive", L"*", "", "\\core.conf",
         "config path must be absolute: \\\\core.conf"},
        {"ConfigTrailingTabKept", L"*", "", "$\\core.conf\t\r\n",
         "config not found: $\\\\core.conf\\t"},
        {"ConfigUnquotable", L"*", "", "$\\core.conf\" --x \"y",
         "config not found: $\\\\core.conf\\\" --x \\\"y"},
        {"LastLineOfEarlyExit", L"*",
         "quiet=1\nspawn-child=1\nstderr=bad \"config\"\\there\\r \xC3\xA9\nexit-now=\n",
         "$\\core.conf", "bad \\\"config\\\"\\there \xC3\xA9"},
        {"LastLineOfExitWithinWindow", L"*", "quiet=1\nstderr=earlier line\nexit-after-ms=500\n",
         "$\\core.conf", "standin-core: exiting on its own"}};
    ASSERT_TRUE(WriteFileBytes(folder + L"\\no-program.exe", "just text\r\n"));
    std::string json = Filled(ToUtf8(folder), "\\", "\\\\");
    for (const auto& [rowName, coreBinary, config, body, error] : rows) {
        SCOPED_TRACE(rowName);
        DeleteParameters(name);
        SetParameter(name, L"GuiBinary", OwnImagePath());
        if (!coreBinary.empty()) {
            SetParameter(name, L"CoreBinary",
                         coreBinary == L"*" ? corePath : folder + L"\\" + coreBinary);
        }
        DeleteFileW((folder + L"\\core.conf").c_str());
        if (config != nullptr) {
            Config(config);
        }
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(Call("POST", "/start", Filled(body, "$", ToUtf8(folder))),
                  "{\"ok\":false,\"error\":\"" + Filled(error, "$", json) + "\"}");
        // Not after the output reader's 3 s drain limit, on top of the core's own time.
        EXPECT_LT(GetTickCount64() - start, 3000u);
        EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).empty(); }, 10000));
    }
}

// The core's arguments and folder, and its two output streams in one file in order.
TEST_F(ControlApi, CoreRunsInFolderOfConfigWithPathsIntact) {
    for (std::wstring config : {Config("stdout=one\nstderr=two\nstdout=three\n"), folder + L"\\"}) {
        ASSERT_EQ(Start(config), kStarted);
        std::string expected = "cwd=" + ToUtf8(folder) +
                               "\nargc=4\narg[1]=run\narg[2]=-c\narg[3]=" + ToUtf8(config) + "\n" +
                               (config.back() == L'\\' ? "" : "one\ntwo\nthree\n");
        std::string log = File(L"core.stderr.log");
        EXPECT_EQ(log.substr(log.find('\n') + 1), expected);
    }
}

TEST_F(ControlApi, FloodIsCappedKeepsItsLastLineAndLeavesRequestsServed) {
    ASSERT_EQ(Start(Config("quiet=1\nflood-mib=100\n")), kStarted);
    // Answered while the output is written, or after it on a fast machine.
    for (int answered = 0;
         answered == 0 || File(L"core.stderr.log").find("flood done") == std::string::npos;
         ++answered) {
        ASSERT_EQ(Call("GET", "/status"), kRunning);
        ASSERT_LT(answered, 10000);
    }
    std::string current = File(L"core.stderr.log"), rotated = File(L"core.stderr.log.1");
    EXPECT_LE(current.size(), 10u << 20);
    EXPECT_GT(rotated.size(), 9u << 20);
    EXPECT_LE(rotated.size(), 10u << 20);
    EXPECT_EQ(current.substr(current.size() - 25), "standin-core: flood done\n");
    // Whole lines on both sides of the last rotation, none lost, none out of order.
    ASSERT_EQ(current.substr(0, 6), "flood ");
    EXPECT_EQ(std::stoull(current.substr(6, 12)),
              std::stoull(rotated.substr(rotated.size() - 94, 12)) + 1);
}

// Any user may hold the file open; with write sharing (as fopen), the previous output is kept.
TEST_F(ControlApi, OutputReachesTheFileOnceAReaderLetsGoOfIt) {
    std::wstring log = DataDirectoryOf(name) + L"\\core.stderr.log";
    for (DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
        SCOPED_TRACE(share);
        ASSERT_TRUE(WriteFileBytes(log, "earlier\n"));
        UniqueHandle reader(
            CreateFileW(log.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        // An early end is told by this launch's output, never by an earlier run's.
        EXPECT_EQ(Start(Config("quiet=1\nexit-now=\n")),
                  "{\"ok\":false,\"error\":\"core exited immediately\"}");
        EXPECT_EQ(File(L"core.stderr.log.1"), share & FILE_SHARE_WRITE ? "earlier\n" : "");
        ASSERT_EQ(Start(Config("quiet=1\nignore-break=1\n")), kStarted);
        reader.reset();
        // Output of this run, not of a restart: the core reports a break and runs on.
        std::wstring event =
            L"velmora-standin-break-" + std::to_wstring(ProcessesRunning(corePath).at(0));
        ASSERT_TRUE(
            SetEvent(UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str())).get()));
        EXPECT_TRUE(WaitUntil(
            [&] { return File(L"core.stderr.log") == "standin-core: break ignored\n"; }, 15000))
            << File(L"core.stderr.log");
        Call("POST", "/stop");
    }
}

TEST_F(ControlApi, StopSweepsOnlyProcessesOfTheCoreBinary) {
    // CoreBinary (nullptr: the stand-in's path in upper case, L"": none), a stray copy of the
    // program in another folder, whether the stray is stopped
    const std::tuple<const char*, const wchar_t*, bool, bool> rows[] = {
        {"OtherCase", nullptr, false, true},
        {"OtherFolder", nullptr, true, false},
        {"BareName", L"standin-core.exe", false, false},
        {"NoCoreBinary", L"", false, false}};
    for (const auto& [rowName, coreBinary, strayElsewhere, strayStopped] : rows) {
        SCOPED_TRACE(rowName);
        std::wstring exe = strayElsewhere ? folder + L"\\other\\standin-core.exe" : corePath;
        CopyFileW(corePath.c_str(), exe.c_str(), FALSE);
        UniqueHandle stray = StartStray(exe, Config(""));
        DeleteParameters(name);
        SetParameter(name, L"GuiBinary", OwnImagePath());
        if (coreBinary == nullptr || *coreBinary != L'\0') {
            SetParameter(name, L"CoreBinary", coreBinary == nullptr ? Upper(corePath) : coreBinary);
        }
        // Under Wine no break arrives, so a stopped stray has been terminated.
        EXPECT_EQ(Call("POST", "/stop"), strayStopped && RunningUnderWine() ? kForced : kGraceful);
        EXPECT_EQ(WaitForSingleObject(stray.get(), 5000) == WAIT_OBJECT_0, strayStopped);
        TerminateProcess(stray.get(), 1);
        WaitForSingleObject(stray.get(), 5000);
    }
}

// A stop closes the job too, which the service tests show.
TEST_F(ControlApi, CoreChildDiesWithKilledService) {
    ASSERT_EQ(Start(Config("spawn-child=1\n")), kStarted);
    ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).size() == 2; }, 10000));
    service.Kill();
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(corePath).empty(); }, 15000));
}

}  // namespace
