// Latency benchmark of the control API against the floor of the same machine.
//
//   bash bench/run.sh [requests] [attacked|flood|version]   (builds, then runs bench.exe under
//        Wine; with a second word, series (f), (g) or (a) to (c) alone)
//
// Measures, in one run: (a) a minimal Winsock responder in a process of its own that accepts,
// reads one request and sends a fixed response; (b) velmora /version; (c) velmora GET /status
// with caller verification on; (d) /start + /stop of the stand-in core; and the cost of one
// TCP-table read, the main extra work of (c); (e) GET /status and one table read again while
// another process holds 1,000 and 5,000 extra loopback connections open (a busy core holds many);
// (f) GET /status while another process keeps 64 connections idle at velmora's port and 8 more
// sending refused requests as fast as they are answered, against the same with no attacker;
// (g) GET /status while another process connects and closes as fast as it can with 8 threads (a
// connect flood that keeps the backlog full), with a plain client and with one that gives a connect
// 250 ms and tries again, against the same with no flood. Then velmora's CPU time while idle for 10
// s and its private bytes idle and after the run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>
#include "base/text.h"
#include "support.h"
// After windows.h, which they need.
#include <iphlpapi.h>

namespace {

const char kFixedResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 14\r\n"
    "Connection: close\r\n\r\n{\"protocol\":1}";

int RunResponder(int port) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 4) != 0) {
        return 1;
    }
    for (;;) {
        UniqueSocket connection(accept(listener.get(), nullptr, nullptr));
        if (!connection) {
            continue;
        }
        std::string request;
        char buffer[4096];
        int n;
        while (request.find("\r\n\r\n") == std::string::npos &&
               (n = recv(connection.get(), buffer, sizeof buffer, 0)) > 0) {
            request.append(buffer, static_cast<size_t>(n));
        }
        send(connection.get(), kFixedResponse, static_cast<int>(sizeof kFixedResponse - 1), 0);
    }
}

// bench.exe hold <n>: opens n loopback connections to itself, says "held", and keeps them.
int HoldConnections(int count) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    UniqueSocket listener = ListenOn("127.0.0.1", 0, 0);
    sockaddr_in address = {};
    int length = sizeof address;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<UniqueSocket> ends;
    for (int i = 0; i < count; ++i) {
        ends.push_back(ConnectLoopback(ntohs(address.sin_port)));
        ends.emplace_back(accept(listener.get(), nullptr, nullptr));
        if (!ends[ends.size() - 2] || !ends.back()) {
            std::printf("only %d connections\n", i);
            break;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

// bench.exe attack <port> <idle> <refusers>: keeps `idle` connections that sent one byte open at
// the port, reopening those the service closes, and `refusers` clients that send requests the
// service refuses as fast as they are answered. Says "attacking" and runs until ended.
int Attack(int port, int idleCount, int refusers) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    for (int i = 0; i < refusers; ++i) {
        std::thread([port] {
            for (;;) {
                SendRequest(port, "GET", "/status", "0123456789abcdef0123456789abcdef");
            }
        }).detach();
    }
    std::vector<UniqueSocket> idle(static_cast<size_t>(idleCount));
    std::printf("attacking\n");
    std::fflush(stdout);
    for (;;) {
        for (UniqueSocket& connection : idle) {
            if (connection) {
                // Closed by the service when it reads as ready: the receive gives 0 or fails.
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(connection.get(), &readable);
                timeval now = {0, 0};
                char byte;
                if (select(0, &readable, nullptr, nullptr, &now) != 1 ||
                    recv(connection.get(), &byte, 1, 0) > 0) {
                    continue;
                }
            }
            connection = ConnectLoopback(port);
            send(connection.get(), "G", 1, 0);
        }
        Sleep(20);
    }
}

// bench.exe flood <port> <threads>: each thread connects and closes as fast as it can, giving a
// connect 20 ms before it gives up on it. Says "flooding", then the connects made so far once a
// second, until ended.
int Flood(int port, int threads) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    static volatile LONG connects = 0;
    for (int i = 0; i < threads; ++i) {
        std::thread([port] {
            sockaddr_in remote = {};
            remote.sin_family = AF_INET;
            remote.sin_port = htons(static_cast<u_short>(port));
            inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
            for (;;) {
                UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
                u_long nonBlocking = 1;
                ioctlsocket(s.get(), FIONBIO, &nonBlocking);
                connect(s.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote);
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(s.get(), &writable);
                timeval wait = {0, 20000};
                if (select(0, nullptr, &writable, nullptr, &wait) == 1) {
                    InterlockedIncrement(&connects);
                }
            }
        }).detach();
    }
    std::printf("flooding\n");
    for (;;) {
        std::fflush(stdout);
        Sleep(1000);
        std::printf("connects %ld\n", static_cast<long>(connects));
    }
}

// The last count the flooder printed.
long FloodCount(const ChildProcess& flooder) {
    std::string out = flooder.Stdout();
    size_t at = out.rfind("connects ");
    return at == std::string::npos ? 0 : std::atol(out.c_str() + at + 9);
}

// What a trusted application should do while its connects may be dropped: give each connect a
// short time and try again, rather than wait for the system's retransmissions (1 s, then 3 s...).
HttpResult StatusWithConnectRetry(int port, const std::string& token, DWORD connectMs) {
    const std::string request =
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nx-auth-token: " + token +
        "\r\nContent-Length: 0\r\n\r\n";
    ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < 15000) {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        ioctlsocket(s.get(), FIONBIO, &nonBlocking);
        sockaddr_in remote = {};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(static_cast<u_short>(port));
        inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        connect(s.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s.get(), &writable);
        timeval wait = {0, static_cast<long>(connectMs) * 1000};
        if (select(0, nullptr, &writable, nullptr, &wait) != 1) {
            continue;
        }
        u_long blocking = 0;
        ioctlsocket(s.get(), FIONBIO, &blocking);
        send(s.get(), request.data(), static_cast<int>(request.size()), 0);
        HttpResult result;
        result.raw = ReceiveAll(s.get(), 15000);
        sscanf_s(result.raw.c_str(), "HTTP/1.1 %d", &result.status);
        return result;
    }
    return HttpResult();
}

struct Stats {
    double medianMs = 0;
    double p99Ms = 0;
    double perSecond = 0;
};

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// `request` may return false for a request that got no answer; the count is in `failed`.
template <typename F>
Stats Measure(int count, F request, int* failed = nullptr) {
    std::vector<double> samples;
    double begin = NowMs();
    for (int i = 0; i < count; ++i) {
        double start = NowMs();
        if constexpr (std::is_void_v<decltype(request())>) {
            request();
        } else if (request().status == 0 && failed != nullptr) {
            ++*failed;
        }
        samples.push_back(NowMs() - start);
    }
    double total = NowMs() - begin;
    std::sort(samples.begin(), samples.end());
    Stats stats;
    stats.medianMs = samples[samples.size() / 2];
    stats.p99Ms = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    stats.perSecond = 1000.0 * count / total;
    return stats;
}

void Print(const char* label, const Stats& s) {
    std::printf("%-34s median %8.3f ms   p99 %8.3f ms   %8.1f req/s\n", label, s.medianMs, s.p99Ms,
                s.perSecond);
}

void ReadTcpTable() {
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    std::vector<unsigned char> buffer(size + 8192);
    size = static_cast<ULONG>(buffer.size());
    GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
}

// Series (a) to (e).
void MeasureUnattacked(int count, int responderPort, const ConsoleService& service,
                       const std::string& configUtf8) {
    const std::string request = "GET /version HTTP/1.1\r\n\r\n";
    Stats floor = Measure(count, [&] { SendRaw(responderPort, request); });
    Print("(a) minimal responder", floor);
    Stats version = Measure(count, [&] { SendRaw(service.port, request); });
    Print("(b) velmora /version", version);
    Stats status =
        Measure(count, [&] { SendRequest(service.port, "GET", "/status", service.token); });
    Print("(c) velmora GET /status (verified)", status);
    Stats table = Measure(count, ReadTcpTable);
    Print("    one TCP table read", table);
    int cycles = std::max(5, count / 50);
    Stats startStop = Measure(cycles, [&] {
        SendRequest(service.port, "POST", "/start", service.token, configUtf8);
        SendRequest(service.port, "POST", "/stop", service.token);
    });
    Print("(d) /start + /stop of the core", startStop);
    std::printf("ratio b/a (median) %.2f   ratio c/a (median) %.2f   table read / (c) %.0f%%\n",
                version.medianMs / floor.medianMs, status.medianMs / floor.medianMs,
                100.0 * table.medianMs / status.medianMs);

    // Fewer requests per series here: under Wine each lookup grows with the table times the open
    // files of every process, to seconds per request at 1,000 connections.
    for (int extra : {0, 1000, 5000}) {
        int series = extra == 0 ? std::max(20, count / 10) : extra < 5000 ? 5 : 1;
        ChildProcess holder;
        if (extra > 0 &&
            (!StartProgram(OwnImagePath(), L"hold " + std::to_wstring(extra), holder) ||
             !WaitUntil([&] { return holder.Stdout().find("held") != std::string::npos; },
                        120000))) {
            std::printf("cannot hold %d connections: %s\n", extra, holder.Stdout().c_str());
            holder.Kill();
            break;
        }
        char label[64];
        std::snprintf(label, sizeof label, "(e) /status, %d extra conns", extra);
        Print(label,
              Measure(series, [&] { SendRequest(service.port, "GET", "/status", service.token); }));
        Print("    one TCP table read", Measure(series, ReadTcpTable));
        holder.Kill();
    }
}

// Series (a), (b) and (c) alone.
void MeasureVersion(int count, int responderPort, const ConsoleService& service) {
    const std::string request = "GET /version HTTP/1.1\r\n\r\n";
    Stats floor = Measure(count, [&] { return SendRaw(responderPort, request); });
    Print("(a) minimal responder", floor);
    Stats version = Measure(count, [&] { return SendRaw(service.port, request); });
    Print("(b) velmora /version", version);
    Print("(c) velmora GET /status (verified)", Measure(count / 10, [&] {
              return SendRequest(service.port, "GET", "/status", service.token);
          }));
    std::printf("ratio b/a (median) %.2f\n", version.medianMs / floor.medianMs);
}

// Series (g).
void MeasureConnectFlood(int count, const ConsoleService& service) {
    auto plain = [&] { return SendRequest(service.port, "GET", "/status", service.token); };
    auto retrying = [&] { return StatusWithConnectRetry(service.port, service.token, 250); };
    Print("(g) /status, no flood", Measure(count, plain));
    Print("(g) /status, no flood, 250 ms retry", Measure(count, retrying));
    ChildProcess flooder;
    if (!StartProgram(OwnImagePath(), L"flood " + std::to_wstring(service.port) + L" 8", flooder) ||
        !WaitUntil([&] { return flooder.Stdout().find("connects") != std::string::npos; }, 10000)) {
        std::printf("cannot start the flood\n");
        return;
    }
    Sleep(2000);
    // /version needs no table read: what the flood costs the connect and the loop alone.
    auto version = [&] { return SendRaw(service.port, "GET /version HTTP/1.1\r\n\r\n"); };
    const struct {
        const char* label;
        std::function<HttpResult()> request;
    } series[] = {{"(g) /status, connect flood", plain},
                  {"(g) /status, flood, 250 ms retry", retrying},
                  {"(g) /version, connect flood", version}};
    for (const auto& one : series) {
        long before = FloodCount(flooder);
        double start = NowMs();
        int failed = 0;
        Stats loaded = Measure(count, one.request, &failed);
        Sleep(1100);
        double perSecond = 1000.0 * (FloodCount(flooder) - before) / (NowMs() - start);
        Print(one.label, loaded);
        std::printf("    unanswered %d of %d; flood %.0f connects/s\n", failed, count, perSecond);
    }
    flooder.Kill();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wstring(argv[1]) == L"responder") {
        return RunResponder(_wtoi(argv[2]));
    }
    if (argc >= 3 && std::wstring(argv[1]) == L"hold") {
        return HoldConnections(_wtoi(argv[2]));
    }
    if (argc >= 4 && std::wstring(argv[1]) == L"flood") {
        return Flood(_wtoi(argv[2]), _wtoi(argv[3]));
    }
    if (argc >= 5 && std::wstring(argv[1]) == L"attack") {
        return Attack(_wtoi(argv[2]), _wtoi(argv[3]), _wtoi(argv[4]));
    }
    int count = argc >= 2 ? _wtoi(argv[1]) : 1000;
    if (count <= 0) {
        count = 1000;
    }
    // bench.exe <requests> attacked|flood|version: series (f), (g), or (a) to (c) alone.
    std::wstring only = argc >= 3 ? argv[2] : L"";
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    const int responderPort = 18390;
    ChildProcess responder;
    if (!StartProgram(OwnImagePath(), L"responder " + std::to_wstring(responderPort), responder)) {
        std::printf("cannot start the responder\n");
        return 1;
    }
    WaitUntil([&] { return SendRaw(responderPort, "GET / HTTP/1.1\r\n\r\n").status == 200; },
              10000);

    std::wstring name = UniqueServiceName(L"bench");
    std::wstring core = ProgramPath(L"standin-core.exe");
    SetParameter(name, L"CoreBinary", core);
    SetParameter(name, L"GuiBinary", OwnImagePath());
    ConsoleService service;
    if (!service.Start(name)) {
        std::printf("velmora did not start\n");
        responder.Kill();
        return 1;
    }
    std::wstring config = DataDirectoryOf(name) + L"\\core.conf";
    WriteFileBytes(config, "quiet=1\n");
    std::printf("requests per series: %d (one connection per request)\n", count);
    if (only == L"version") {
        MeasureVersion(count, responderPort, service);
    } else if (only == L"flood") {
        MeasureConnectFlood(count, service);
    } else if (only.empty()) {
        MeasureUnattacked(count, responderPort, service, ToUtf8(config));
    }
    if (only == L"version" || only == L"flood") {
        service.Kill();
        responder.Kill();
        DeleteParameters(name);
        return 0;
    }
    int attacked = std::max(20, count / 10);
    auto trustedStatus = [&] { SendRequest(service.port, "GET", "/status", service.token); };
    Stats quiet = Measure(attacked, trustedStatus);
    Print("(f) /status, no attacker", quiet);
    ChildProcess attacker;
    if (StartProgram(OwnImagePath(), L"attack " + std::to_wstring(service.port) + L" 64 8",
                     attacker) &&
        WaitUntil([&] { return attacker.Stdout().find("attacking") != std::string::npos; },
                  10000)) {
        Sleep(2000);
        Stats loaded = Measure(attacked, trustedStatus);
        Print("(f) /status, 64 idle + 8 refused", loaded);
        std::printf("ratio attacked/quiet (median) %.2f\n", loaded.medianMs / quiet.medianMs);
    } else {
        std::printf("cannot start the attacker\n");
    }
    attacker.Kill();
    if (only.empty()) {
        MeasureConnectFlood(attacked, service);
    }

    HANDLE process = service.child.process.get();
    ProcessUsage afterRun = MeasureProcess(process, name);
    Sleep(10000);
    ProcessUsage idle = MeasureProcess(process, name);
    std::printf("velmora idle CPU over 10 s: %.1f ms (measured: %s)\n", idle.cpuMs - afterRun.cpuMs,
                idle.measured ? "yes" : "no");
    std::printf("velmora memory: %llu bytes after the run, %llu after 10 s idle; handles %llu\n",
                afterRun.memoryBytes, idle.memoryBytes, idle.handles);

    service.Kill();
    responder.Kill();
    DeleteParameters(name);
    return 0;
}
