#include "api/routes.h"

#include <cstdio>
#include "api/caller.h"
#include "base/handles.h"
#include "base/state.h"
#include "base/text.h"
#include "config/registry.h"
#include "core/launch.h"
#include "core/sweep.h"
#include "core/tracked_core.h"

namespace {

const char kUntrustedCallerBody[] = "{\"ok\":false,\"error\":\"untrusted caller\"}";
const char kUnauthorizedBody[] = "{\"ok\":false,\"error\":\"unauthorized\"}";
const char kNotFoundBody[] = "{\"ok\":false,\"error\":\"not found\"}";
const char kEmptyConfigPathBody[] = "{\"ok\":false,\"error\":\"empty config path\"}";
const char kCannotVerifyBody[] = "{\"ok\":false,\"error\":\"cannot verify caller\"}";
const char kIncompleteBody[] = "{\"ok\":false,\"error\":\"incomplete request\"}";

Response VersionResponse() {
    char body[64];
    snprintf(body, sizeof body, "{\"protocol\":%d}", kProtocolVersion);
    return {200, body};
}

Response StatusResponse() {
    bool running;
    {
        ScopedLock lock(ServiceState.coreLock);
        running = IsCoreRunning();
    }
    return {200, running ? "{\"running\":true}" : "{\"running\":false}"};
}

Response StartResponse(const std::string& body) {
    std::string path = TrimConfigPath(body);
    if (path.empty()) {
        return {500, kEmptyConfigPathBody};
    }
    {
        ScopedLock lock(ServiceState.coreLock);
        EndRestartSeries();
    }
    std::string error = LaunchCore(FromUtf8(path));
    if (error.empty()) {
        return {200, "{\"ok\":true}"};
    }
    return {500, "{\"ok\":false,\"error\":\"" + JsonEscape(error) + "\"}"};
}

Response StopResponse() {
    bool graceful;
    {
        ScopedLock lock(ServiceState.coreLock);
        EndRestartSeries();
        graceful = StopCore();
    }
    std::wstring corePath = ReadServiceParameter(L"CoreBinary");
    if (!corePath.empty() && !SweepStrayCores(corePath)) {
        graceful = false;
    }
    return {200, graceful ? "{\"ok\":true,\"graceful\":true}" : "{\"ok\":true,\"graceful\":false}"};
}

}  // namespace

std::string TrimConfigPath(const std::string& body) {
    size_t end = body.size();
    while (end > 0 && (body[end - 1] == '\n' || body[end - 1] == '\r' || body[end - 1] == ' ')) {
        --end;
    }
    return body.substr(0, end);
}

Response DispatchRequest(SOCKET connection, const HttpRequest& request,
                         const std::string& accessToken, PeerTable& peers) {
    if (request.path == "/version") {
        return VersionResponse();
    }
    // A cut body is a cut path, which can name another file. Told before the checks: a client
    // that has ended its side no longer shows in the connection table as connected.
    if (request.method == "POST" && request.path == "/start" && !request.bodyWhole) {
        return {400, kIncompleteBody};
    }
    // The caller is checked before its token, so an untrusted process learns nothing about it.
    PeerCheck caller = VerifyPeer(connection, peers);
    if (caller == PeerCheck::kCannotVerify) {
        return {503, kCannotVerifyBody};
    }
    if (caller != PeerCheck::kTrusted) {
        return {401, kUntrustedCallerBody};
    }
    if (!TokenMatches(FindHeader(request.headerBlock, "x-auth-token"), accessToken)) {
        return {401, kUnauthorizedBody};
    }
    if (request.method == "GET" && request.path == "/status") {
        return StatusResponse();
    }
    if (request.method == "POST" && request.path == "/start") {
        return StartResponse(request.body);
    }
    if (request.method == "POST" && request.path == "/stop") {
        return StopResponse();
    }
    return {404, kNotFoundBody};
}
