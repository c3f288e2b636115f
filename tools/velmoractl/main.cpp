// velmoractl: a small client of velmora's control API. It reads the port and the token from the
// service's endpoint file, sends one request and prints "<status code> <body>".
#include <cstdio>
#include <string>
#include "base/console.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/text.h"
#include "base/win.h"
#include "config/endpoint_file.h"
#include "velmora_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A /start may wait for a stop of the old core (up to 11 s) and the start-up window.
constexpr DWORD kResponseTimeoutMs = 60000;

struct Options {
    std::wstring name;
    std::wstring command;
    std::wstring configPath;
    std::wstring tokenFile;
    std::wstring bindAddress;
    std::wstring rawFile;
};

void PrintUsage() {
    PrintErr(
        "usage: velmoractl --version\n"
        "       velmoractl --name <service> <command> [--token-file <path>] [--bind <ip>[:<port>]]\n"
        "       velmoractl --name <service> --raw <request-file> [--bind <ip>[:<port>]]\n"
        "commands:\n"
        "  version              GET /version: the protocol number\n"
        "  status               GET /status: whether the core runs\n"
        "  core                 GET /core: the core's state, pid, configuration, restarts and\n"
        "                       last exit\n"
        "  start <config-path>  POST /start: starts the core with that configuration file\n"
        "  stop                 POST /stop: stops the core\n"
        "options:\n"
        "  --token-file <path>  sends the token in that file instead of service.conf's\n"
        "  --bind <ip>[:<port>] connects from that local address (and port)\n"
        "  --raw <file>         sends the file's bytes as the whole request\n"
        "Reads the port and token from %%ProgramData%%\\<service>\\service.conf, prints\n"
        "\"<status code> <body>\" and exits 0 for a 200 answer, 1 otherwise, 2 for usage.\n");
}

bool ScanOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--name" && hasValue) {
            options.name = argv[++i];
        } else if (arg == L"--token-file" && hasValue) {
            options.tokenFile = argv[++i];
        } else if (arg == L"--bind" && hasValue) {
            options.bindAddress = argv[++i];
        } else if (arg == L"--raw" && hasValue) {
            options.rawFile = argv[++i];
        } else if (options.command.empty() && !arg.empty() && arg[0] != L'-') {
            options.command = arg;
            if (arg == L"start") {
                if (!hasValue) {
                    return false;
                }
                options.configPath = argv[++i];
            }
        } else {
            return false;
        }
    }
    if (options.name.empty()) {
        return false;
    }
    if (!options.rawFile.empty()) {
        return options.command.empty();
    }
    return options.command == L"version" || options.command == L"status" ||
           options.command == L"core" || options.command == L"start" || options.command == L"stop";
}

// Shared for reading, writing and deletion, so that holding a file open never keeps velmora
// from replacing it (service.conf at a service start, for one).
bool ReadBytes(const std::wstring& path, std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
        bytes.append(buffer, n);
    }
    return true;
}

std::string BuildRequest(const Options& options, int port, const std::string& token) {
    std::string method = "POST";
    std::string path = "/" + ToUtf8(options.command);
    std::string body;
    if (options.command == L"version" || options.command == L"status" ||
        options.command == L"core") {
        method = "GET";
    } else if (options.command == L"start") {
        body = ToUtf8(options.configPath);
    }
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nx-auth-token: " + token + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Connects (from bindAddress when given), sends the request and reads until the server closes.
bool Exchange(const Options& options, int port, const std::string& request, std::string& reply) {
    UniqueSocket s(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (!s) {
        int error = WSAGetLastError();
        PrintErr("velmoractl: socket failed (err=%d)\n", error);
        return false;
    }
    if (!options.bindAddress.empty()) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        std::wstring address = options.bindAddress;
        size_t colon = address.find(L':');
        if (colon != std::wstring::npos) {
            local.sin_port = htons(static_cast<u_short>(_wtoi(address.c_str() + colon + 1)));
            address.resize(colon);
        }
        if (InetPtonW(AF_INET, address.c_str(), &local.sin_addr) != 1) {
            PrintErr("velmoractl: not an IPv4 address: %ls\n", options.bindAddress.c_str());
            return false;
        }
        if (bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            int error = WSAGetLastError();
            PrintErr("velmoractl: bind to %ls failed (err=%d)\n", options.bindAddress.c_str(),
                     error);
            return false;
        }
    }
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        int error = WSAGetLastError();
        PrintErr("velmoractl: cannot connect to 127.0.0.1:%d (err=%d)\n", port, error);
        return false;
    }
    DWORD timeout = kResponseTimeoutMs;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    send(s.get(), request.data(), static_cast<int>(request.size()), 0);
    char buffer[4096];
    int n;
    while ((n = recv(s.get(), buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int Run(const Options& options) {
    ServiceState.serviceName = options.name;
    EndpointInfo endpoint;
    std::string endpointText;
    if (!ReadBytes(GetEndpointFilePath(), endpointText) ||
        !ParseEndpointText(endpointText, endpoint) || endpoint.port > kHighestPort) {
        PrintErr("velmoractl: no valid endpoint file at %ls\n", GetEndpointFilePath().c_str());
        return kExitFailed;
    }
    std::string token = endpoint.token;
    if (!options.tokenFile.empty()) {
        token.clear();
        if (!ReadBytes(options.tokenFile, token)) {
            PrintErr("velmoractl: cannot read %ls\n", options.tokenFile.c_str());
            return kExitFailed;
        }
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) {
            token.pop_back();
        }
    }
    std::string request;
    if (!options.rawFile.empty()) {
        if (!ReadBytes(options.rawFile, request)) {
            PrintErr("velmoractl: cannot read %ls\n", options.rawFile.c_str());
            return kExitFailed;
        }
    } else {
        request = BuildRequest(options, endpoint.port, token);
    }

    std::string reply;
    if (!Exchange(options, endpoint.port, request, reply)) {
        return kExitFailed;
    }
    int status = 0;
    size_t headEnd = reply.find("\r\n\r\n");
    if (sscanf_s(reply.c_str(), "HTTP/1.1 %d", &status) != 1 || headEnd == std::string::npos) {
        PrintErr("velmoractl: no response from 127.0.0.1:%d\n", endpoint.port);
        return kExitFailed;
    }
    PrintOut("%d %s\n", status, reply.substr(headEnd + 4).c_str());
    return status == 200 ? kExitOk : kExitFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"--version") {
        PrintOut("velmora %s\n", VELMORA_VERSION);
        return kExitOk;
    }
    Options options;
    if (!ScanOptions(argc, argv, options)) {
        PrintUsage();
        return kExitUsage;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        PrintErr("velmoractl: Winsock unavailable\n");
        return kExitFailed;
    }
    int code = Run(options);
    WSACleanup();
    return code;
}
