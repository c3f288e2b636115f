#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "base/win.h"

// The connection table with owning processes, read at most once for a round of requests that
// had all arrived before the read: under load the read is the dearest part of a request (Wine
// scans every process for every row), and a flood of refused requests must not make the
// trusted one wait for a read of its own behind each of them. A read that failed stays failed
// for the round.
struct PeerTable {
    enum class State { kUnread, kRead, kFailed };
    State state = State::kUnread;
    std::vector<unsigned char> bytes;
};

enum class PeerCheck { kTrusted, kUntrusted, kCannotVerify };

// Whether the process at the other end of the connection is the trusted application;
// kCannotVerify when the connection table could not be read.
PeerCheck VerifyPeer(SOCKET connection, PeerTable& table);

// The process owning the client end of a loopback connection to listenPort, or 0 (also when
// the table could not be read: its state then says so).
DWORD FindPeerPid(uint16_t peerPort, uint16_t listenPort, PeerTable& table);

// Constant-time comparison of the x-auth-token value with the access token.
bool TokenMatches(const std::string& headerValue, const std::string& accessToken);
