#include "api/caller.h"

#include <iphlpapi.h>
#include <cstddef>
#include <vector>
#include "base/handles.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state.h"
#include "config/registry.h"

namespace {

constexpr int kTableAttempts = 5;
// The table can grow between the size query and the read.
constexpr DWORD kTableMargin = 8192;
constexpr DWORD kStateEstablished = 5;
constexpr DWORD kStateCloseWait = 8;

bool ReadTcpTable(std::vector<unsigned char>& buffer) {
    for (int attempt = 0; attempt < kTableAttempts; ++attempt) {
        DWORD size = 0;
        DWORD result =
            GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result != NO_ERROR && result != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        size += kTableMargin;
        buffer.assign(size, 0);
        if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET,
                                TCP_TABLE_OWNER_PID_CONNECTIONS, 0) == NO_ERROR) {
            return true;
        }
    }
    return false;
}

uint16_t PortOf(DWORD field) {
    return ntohs(static_cast<u_short>(field & 0xFFFF));
}

}  // namespace

DWORD FindPeerPid(uint16_t peerPort, uint16_t listenPort, PeerTable& table) {
    if (table.state == PeerTable::State::kUnread) {
        table.state =
            ReadTcpTable(table.bytes) ? PeerTable::State::kRead : PeerTable::State::kFailed;
    }
    if (table.state != PeerTable::State::kRead) {
        return 0;
    }
    const std::vector<unsigned char>& buffer = table.bytes;
    IN_ADDR loopback = {};
    inet_pton(AF_INET, "127.0.0.1", &loopback);
    const auto* rowsRead = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    size_t rowsThatFit =
        (buffer.size() - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(MIB_TCPROW_OWNER_PID);
    size_t rows = rowsRead->dwNumEntries < rowsThatFit ? rowsRead->dwNumEntries : rowsThatFit;
    for (size_t i = 0; i < rows; ++i) {
        const MIB_TCPROW_OWNER_PID& row = rowsRead->table[i];
        if (PortOf(row.dwLocalPort) == peerPort && PortOf(row.dwRemotePort) == listenPort &&
            row.dwLocalAddr == loopback.s_addr && row.dwRemoteAddr == loopback.s_addr &&
            (row.dwState == kStateEstablished || row.dwState == kStateCloseWait)) {
            return row.dwOwningPid;
        }
    }
    return 0;
}

PeerCheck VerifyPeer(SOCKET connection, PeerTable& table) {
    std::wstring guiBinary;
    LONG read = ReadServiceParameterValue(L"GuiBinary", guiBinary);
    if (read == ERROR_FILE_NOT_FOUND) {
        WriteLog("WARNING: GuiBinary not registered, peer verification disabled");
        return PeerCheck::kTrusted;
    }
    // A value that is there but cannot be read must not switch the check off.
    if (read != ERROR_SUCCESS) {
        WriteLog("rejected peer: GuiBinary unreadable (err=%lu)", static_cast<unsigned long>(read));
        return PeerCheck::kUntrusted;
    }
    if (guiBinary.empty()) {
        WriteLog("rejected peer: GuiBinary is empty");
        return PeerCheck::kUntrusted;
    }

    sockaddr_in peer = {};
    int peerLength = sizeof peer;
    if (getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        peer.sin_family != AF_INET) {
        return PeerCheck::kUntrusted;
    }
    DWORD pid = FindPeerPid(ntohs(peer.sin_port), ServiceState.listenPort, table);
    if (pid == 0) {
        // A row missing from a table that was read is no excuse: that caller stays untrusted.
        return table.state == PeerTable::State::kFailed ? PeerCheck::kCannotVerify
                                                        : PeerCheck::kUntrusted;
    }
    std::wstring imagePath;
    if (OpenProcessWithImage(pid, PROCESS_QUERY_LIMITED_INFORMATION, guiBinary, imagePath)) {
        return PeerCheck::kTrusted;
    }
    if (!imagePath.empty()) {
        WriteLogOncePerMinute("rejected peer pid=%lu path=%ls", static_cast<unsigned long>(pid),
                              LastPartOfPath(imagePath).c_str());
    }
    return PeerCheck::kUntrusted;
}

bool TokenMatches(const std::string& headerValue, const std::string& accessToken) {
    if (headerValue.size() != accessToken.size()) {
        return false;
    }
    // No early exit: the time taken does not tell how many leading bytes were right.
    unsigned char difference = 0;
    for (size_t i = 0; i < headerValue.size(); ++i) {
        difference |= static_cast<unsigned char>(headerValue[i] ^ accessToken[i]);
    }
    return difference == 0;
}
