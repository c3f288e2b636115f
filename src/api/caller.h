#pragma once
#include <cstdint>
#include <string>
#include "app/win.h"

// True when the process at the other end of the connection is the trusted application.
bool VerifyPeer(SOCKET connection);

// The process owning the client end of a loopback connection to listenPort, or 0.
DWORD FindPeerPid(uint16_t peerPort, uint16_t listenPort);

// Constant-time comparison of the x-auth-token value with the access token.
bool TokenMatches(const std::string& headerValue, const std::string& accessToken);
