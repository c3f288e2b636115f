#pragma once
#include <string>
#include "api/request.h"
#include "app/win.h"

struct Response {
    int status;
    std::string body;
};

// Runs the checks of the caller and the route of one parsed request.
Response DispatchRequest(SOCKET connection, const HttpRequest& request,
                         const std::string& accessToken);
