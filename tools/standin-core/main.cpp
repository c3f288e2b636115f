// standin-core: a console program that takes the core's place in tests and in a hand-run session.
//
//   standin-core run -c <config> [options]   behaves as a core
//   standin-core child                       stays alive until it is ended (see spawn-child)
//
// At start it writes to standard error "standin-core started pid=<pid>", "cwd=<current folder>",
// "argc=<n>" and one "arg[<i>]=<argument>" line per argument. Then it stays alive until a
// CTRL_BREAK_EVENT (or CTRL_C_EVENT) arrives, writes "standin-core: break received, exiting" and
// exits with code 0.
//
// Its behaviour comes from the config file, lines of "key=value" (read when it is a readable
// file; anything else is ignored), and from options after the config, which win:
//   quiet=1             --quiet              no start lines
//   stdout=<text>                            writes the text and a line end to standard output
//   stderr=<text>                            the same to standard error; \n \r \t \\ are decoded
//   exit-now=<text>     --exit-now <text>    writes the text and a line end (nothing when the
//                                            text is empty) to standard error, exits at once
//   exit-code=<n>       --exit-code <n>      exit code of exit-now (default 1) and of
//                                            exit-after-ms (default 0)
//   exit-after-ms=<n>   --exit-after-ms <n>  exits on its own after n ms
//   ignore-break=1      --ignore-break       a break is reported ("break ignored") and ignored
//   spawn-child=1       --spawn-child        starts "standin-core child" and writes
//                                            "child pid=<pid>" to standard error
//   flood-mib=<n>       --flood-mib <n>      writes n MiB and more of numbered lines, blocks
//                                            alternating between standard output and error,
//                                            then "standin-core: flood done"
// stdout and stderr lines are written in file order, after the start lines and the child.
//
// A break can also be simulated by setting the named event "velmora-standin-break-<pid>", for
// platforms that cannot deliver a console break (Wine).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>
#include "base/handles.h"
#include "base/process.h"
#include "base/text.h"
#include "base/win.h"

namespace {

struct Behaviour {
    bool quiet = false;
    bool exitNow = false;
    std::string exitMessage;
    bool hasExitCode = false;
    DWORD exitCode = 0;
    bool exitAfter = false;
    DWORD exitAfterMs = 0;
    bool ignoreBreak = false;
    bool spawnChild = false;
    DWORD floodMib = 0;
    std::vector<std::pair<DWORD, std::string>> output;  // standard handle id and text
};

HANDLE breakEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_BREAK_EVENT || type == CTRL_C_EVENT) {
        SetEvent(breakEvent);
        return TRUE;
    }
    return FALSE;
}

void Write(DWORD stdHandle, const std::string& text) {
    HANDLE handle = GetStdHandle(stdHandle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Say(const std::string& line) {
    Write(STD_ERROR_HANDLE, line + "\n");
}

std::string Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next);
    }
    return out;
}

DWORD ToNumber(const std::string& text) {
    return static_cast<DWORD>(strtoul(text.c_str(), nullptr, 10));
}

void Apply(const std::string& key, const std::string& value, Behaviour& behaviour) {
    if (key == "quiet") {
        behaviour.quiet = value == "1";
    } else if (key == "stdout") {
        behaviour.output.emplace_back(STD_OUTPUT_HANDLE, value + "\n");
    } else if (key == "stderr") {
        behaviour.output.emplace_back(STD_ERROR_HANDLE, Decode(value) + "\n");
    } else if (key == "exit-now") {
        behaviour.exitNow = true;
        behaviour.exitMessage = value;
    } else if (key == "exit-code") {
        behaviour.hasExitCode = true;
        behaviour.exitCode = ToNumber(value);
    } else if (key == "exit-after-ms") {
        behaviour.exitAfter = true;
        behaviour.exitAfterMs = ToNumber(value);
    } else if (key == "ignore-break") {
        behaviour.ignoreBreak = value == "1";
    } else if (key == "spawn-child") {
        behaviour.spawnChild = value == "1";
    } else if (key == "flood-mib") {
        behaviour.floodMib = ToNumber(value);
    }
}

void ReadConfig(const std::wstring& path, Behaviour& behaviour) {
    UniqueFile file;
    if (_wfopen_s(file.put(), path.c_str(), L"rb") != 0 || !file) {
        return;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, n);
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            Apply(line.substr(0, equals), line.substr(equals + 1), behaviour);
        }
        start = end + 1;
    }
}

void ReadOptions(int argc, wchar_t** argv, int first, Behaviour& behaviour) {
    for (int i = first; i < argc; ++i) {
        std::wstring option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == L"--quiet") {
            Apply("quiet", "1", behaviour);
        } else if (option == L"--ignore-break") {
            Apply("ignore-break", "1", behaviour);
        } else if (option == L"--spawn-child") {
            Apply("spawn-child", "1", behaviour);
        } else if (hasValue && option.size() > 2 && option.compare(0, 2, L"--") == 0) {
            Apply(ToUtf8(option.substr(2)), ToUtf8(argv[++i]), behaviour);
        }
    }
}

void SpawnChild() {
    std::wstring commandLine = L"\"" + OwnExecutablePath() + L"\" child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        Say("standin-core: child not started (err=" + std::to_string(GetLastError()) + ")");
        return;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    Say("child pid=" + std::to_string(info.dwProcessId));
}

// Numbered lines of 100 bytes in blocks of 40, so that a reader can tell whether any went
// missing or out of order.
void Flood(DWORD mib) {
    const unsigned long long blocks = mib * 1024ull * 1024 / 4000 + 1;
    unsigned long long number = 0;
    for (unsigned long long block = 0; block < blocks; ++block) {
        std::string text;
        for (int i = 0; i < 40; ++i) {
            char line[101];
            snprintf(line, sizeof line, "flood %012llu %080d\n", number++, 0);
            text.append(line, 100);
        }
        Write(block % 2 == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, text);
    }
    Say("standin-core: flood done");
}

void SayStart(int argc, wchar_t** argv) {
    Say("standin-core started pid=" + std::to_string(GetCurrentProcessId()));
    std::vector<wchar_t> cwd(32768, L'\0');
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
    Say("cwd=" + ToUtf8(std::wstring(cwd.data(), length)));
    Say("argc=" + std::to_string(argc));
    for (int i = 1; i < argc; ++i) {
        Say("arg[" + std::to_string(i) + "]=" + ToUtf8(argv[i]));
    }
}

int RunAsCore(int argc, wchar_t** argv) {
    Behaviour behaviour;
    if (argc >= 4 && std::wstring(argv[2]) == L"-c") {
        ReadConfig(argv[3], behaviour);
        ReadOptions(argc, argv, 4, behaviour);
    }
    std::wstring eventName = L"velmora-standin-break-" + std::to_wstring(GetCurrentProcessId());
    breakEvent = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    if (!behaviour.quiet) {
        SayStart(argc, argv);
    }
    if (behaviour.spawnChild) {
        SpawnChild();
    }
    for (const auto& item : behaviour.output) {
        Write(item.first, item.second);
    }
    if (behaviour.floodMib > 0) {
        Flood(behaviour.floodMib);
    }
    if (behaviour.exitNow) {
        if (!behaviour.exitMessage.empty()) {
            Say(behaviour.exitMessage);
        }
        return static_cast<int>(behaviour.hasExitCode ? behaviour.exitCode : 1);
    }

    ULONGLONG deadline = GetTickCount64() + behaviour.exitAfterMs;
    for (;;) {
        DWORD waitMs = INFINITE;
        if (behaviour.exitAfter) {
            ULONGLONG now = GetTickCount64();
            waitMs = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        if (WaitForSingleObject(breakEvent, waitMs) != WAIT_OBJECT_0) {
            Say("standin-core: exiting on its own");
            return static_cast<int>(behaviour.exitCode);
        }
        if (!behaviour.ignoreBreak) {
            Say("standin-core: break received, exiting");
            return 0;
        }
        Say("standin-core: break ignored");
        ResetEvent(breakEvent);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"child") {
        Sleep(INFINITE);
        return 0;
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"run") {
        return RunAsCore(argc, argv);
    }
    Say("usage: standin-core run -c <config> [options] | standin-core child");
    return 2;
}
