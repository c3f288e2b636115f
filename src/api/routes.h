#pragma once
#include <string>
#include "api/caller.h"
#include "api/request.h"
#include "base/win.h"

constexpr int kProtocolVersion = 1;

struct Response {
    int status;
    std::string body;
};

// Runs the checks of the caller and the route of one parsed request.
Response DispatchRequest(SOCKET connection, const HttpRequest& request,
                         const std::string& accessToken, PeerTable& peers);

// The configuration path of a /start body: trailing LF, CR and space bytes removed; tabs and
// leading bytes stay.
std::string TrimConfigPath(const std::string& body);
