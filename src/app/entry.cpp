#include "app/entry.h"

#include "base/console.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/win.h"
#include "core/console_break.h"
#include "service/scm.h"
#include "base/data_directory.h"
#include "install/install.h"
#include "install/remove.h"
#include "velmora_version.h"

namespace {

constexpr size_t kMaxServiceNameLength = 256;

void PrintUsage() {
    PrintErr(
        "usage: velmora.exe <install|uninstall|run|console> --name <service-name> "
        "[--core <sing-box.exe>] [--gui <app.exe>]\n");
}

}  // namespace

CommandLine ScanArguments(int argc, const wchar_t* const* argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--name" && hasValue) {
            line.name = argv[++i];
        } else if (arg == L"--core" && hasValue) {
            line.core = argv[++i];
        } else if (arg == L"--gui" && hasValue) {
            line.gui = argv[++i];
        } else if (line.command.empty() && !arg.empty() && arg[0] != L'-') {
            line.command = arg;
        }
    }
    return line;
}

bool IsValidServiceName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxServiceNameLength) {
        return false;
    }
    // Besides "." and "..": Windows drops trailing dots and spaces from the last component of a
    // path, so "svc." would be the folder of "svc" and "..." the ProgramData folder itself.
    if (name.back() == L'.' || name.back() == L' ') {
        return false;
    }
    for (wchar_t c : name) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            return false;
        }
        switch (c) {
            case L'\\':
            case L'/':
            case L':':
            case L'*':
            case L'?':
            case L'"':
            case L'<':
            case L'>':
            case L'|':
                return false;
            default:
                break;
        }
    }
    return true;
}

namespace {

// Lines the log writer has not written yet are given this long before the process ends.
constexpr DWORD kExitFlushMs = 2000;

int RunCommand(int argc, const wchar_t* const* argv) {
    // Internal: a short-lived copy of this program that delivers a console break for the
    // service (the usage text does not list it).
    if (argc == 3 && std::wstring(argv[1]) == kBreakCommandWord) {
        return RunBreakHelper(argv[2]);
    }
    // Touches nothing: support can tell builds apart on any machine.
    if (argc >= 2 && std::wstring(argv[1]) == L"--version") {
        PrintOut("velmora %s\n", VELMORA_VERSION);
        return 0;
    }
    if (argc < 2) {
        PrintUsage();
        return kExitUsage;
    }
    CommandLine line = ScanArguments(argc, argv);
    if (line.command.empty() || !IsValidServiceName(line.name)) {
        PrintUsage();
        return kExitUsage;
    }
    // Only installation stores the programs, after checking where they live; a console that
    // took them would run programs that nothing had checked. Other commands ignore them, as
    // uninstall steps that repeat the install line rely on.
    if (line.command == L"console" && (!line.core.empty() || !line.gui.empty())) {
        PrintErr("--core and --gui are for install only\n");
        PrintUsage();
        return kExitUsage;
    }
    ServiceState.serviceName = line.name;

    CreateDataDirectory();

    if (line.command == L"install") {
        if (line.core.empty()) {
            PrintErr("install requires --core <sing-box.exe>\n");
            return kExitUsage;
        }
        return InstallService(line.core, line.gui);
    }
    if (line.command == L"uninstall") {
        return RemoveService();
    }
    if (line.command == L"console") {
        return RunConsole();
    }
    if (line.command == L"run") {
        return RunServiceDispatcher();
    }
    PrintErr("unknown command\n");
    return kExitUsage;
}

}  // namespace

int RunEntry(int argc, const wchar_t* const* argv) {
    InitializeCriticalSection(&ServiceState.coreLock);
    InitializeCriticalSection(&ServiceState.statusLock);
    ServiceState.nextCheckPoint = 1;
    int code = RunCommand(argc, argv);
    FlushLog(kExitFlushMs);
    return code;
}
