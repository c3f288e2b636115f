#pragma once
// One in-process environment for the control API: a loopback listener in place of the service
// loop, ServiceState filled in as the loop would, and a service name of its own for the
// registry values and the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "loopback.h"
#include "support.h"

class ApiTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A client thread sends the segments; this thread accepts and runs ServeConnection.
    ClientResult Serve(const std::vector<std::string>& segments, DWORD pauseMs = 0,
                       bool shutdownSend = false);
    ClientResult Serve(const std::string& request) {
        return Serve(std::vector<std::string>{request});
    }
    // A well-formed request with the given token header line (omitted when empty).
    ClientResult Request(const std::string& method, const std::string& path,
                         const std::string& tokenLine, const std::string& body = "");

    void SetGuiBinary(const std::wstring& path);
    std::string Log() const;

    std::wstring name;
    std::string token = "0123456789abcdef0123456789abcdef";
    LoopbackListener listener;
    ULONGLONG lastServeMs = 0;
};
