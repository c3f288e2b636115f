// Latency benchmark of the control API against the floor of the same machine.
//
//   bash bench/run.sh [requests] [attacked]   (builds, then runs bench.exe under Wine; with
//                                            "attacked", series (f) alone)
//
// Measures, in one run: (a) a minimal Winsock responder in a process of its own that accepts,
// reads one request and sends a fixed response; (b) velmora /version; (c) velmora GET /status
// with caller verification on; (d) /start + /stop of the stand-in core; and the cost of one
// TCP-table read, the main extra work of (c); (e) GET /status and one table read again while
// another process holds 1,000 and 5,000 extra loopback connections open (a busy core holds many);
// (f) GET /status while another process keeps 64 connections idle at velmora's port and 8 more
// sending refused requests as fast as they are answered, against the same with no attacker.
// Then velmora's CPU time while idle for 10 s and its private bytes idle and after the run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
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

template <typename F>
Stats Measure(int count, F request) {
    std::vector<double> samples;
    double begin = NowMs();
    for (int i = 0; i < count; ++i) {
        double start = NowMs();
        request();
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wstring(argv[1]) == L"responder") {
        return RunResponder(_wtoi(argv[2]));
    }
    if (argc >= 3 && std::wstring(argv[1]) == L"hold") {
        return HoldConnections(_wtoi(argv[2]));
    }
    if (argc >= 5 && std::wstring(argv[1]) == L"attack") {
        return Attack(_wtoi(argv[2]), _wtoi(argv[3]), _wtoi(argv[4]));
    }
    int count = argc >= 2 ? _wtoi(argv[1]) : 1000;
    if (count <= 0) {
        count = 1000;
    }
    // bench.exe <requests> attacked: series (f) alone.
    bool attackedOnly = argc >= 3 && std::wstring(argv[2]) == L"attacked";
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
    if (!attackedOnly) {
        MeasureUnattacked(count, responderPort, service, ToUtf8(config));
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
