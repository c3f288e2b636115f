#pragma once
// An in-process stand-in for the service loop's listener, and clients that talk to it from a
// thread of this process.
#include <cstdint>
#include <string>
#include <vector>
#include "app/handles.h"

struct LoopbackListener {
    UniqueSocket socket;
    uint16_t port = 0;

    // Listens on 127.0.0.1 at a free port; the socket is not inheritable by child processes.
    bool Open();
    // The next connection, blocking and not inheritable, or an invalid socket after timeoutMs.
    UniqueSocket Accept(DWORD timeoutMs = 20000);
};

// Waits until the connection has bytes to read: the client has sent, so Wine knows its owner.
bool WaitForData(SOCKET connection, DWORD timeoutMs);

struct ClientResult {
    bool connected = false;
    int status = 0;  // 0 when the server closed without a response
    std::string raw;
    std::string body;
    ULONGLONG closedAfterMs = 0;  // from connect to end of stream
};

// Sends the segments with a pause between them, optionally shuts down its sending side, then
// reads until the server closes.
ClientResult RunClient(uint16_t port, const std::vector<std::string>& segments, DWORD pauseMs = 0,
                       bool shutdownSend = false);
