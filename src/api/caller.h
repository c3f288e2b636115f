#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "base/win.h"

// The connection table with owning processes, read at most once for a round of requests that
// had all arrived before the read: under load the read is the dearest part of a request (Wine
// scans every process for every row), and a flood of refused requests must not make the
// trusted one wait for a read of its own behind each of them.
struct PeerTable {
    bool read = false;
    std::vector<unsigned char> bytes;
};

// True when the process at the other end of the connection is the trusted application.
bool VerifyPeer(SOCKET connection, PeerTable& table);

// The process owning the client end of a loopback connection to listenPort, or 0.
DWORD FindPeerPid(uint16_t peerPort, uint16_t listenPort, PeerTable& table);

// Constant-time comparison of the x-auth-token value with the access token.
bool TokenMatches(const std::string& headerValue, const std::string& accessToken);
