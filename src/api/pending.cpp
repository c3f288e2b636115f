// Placeholder until the control API lands.
#include "api/caller.h"
#include "api/connection.h"
#include "api/endpoints.h"
#include "api/request.h"
RequestScan ScanRequest(const std::string&) { return RequestScan(); }
bool ParseRequest(const std::string&, size_t, HttpRequest&) { return false; }
std::string FindHeader(const std::string&, const std::string&) { return std::string(); }
std::string FormatResponseHead(int, size_t) { return std::string(); }
std::string JsonEscape(const std::string& text) { return text; }
void ServeConnection(SOCKET connection, const std::string&) { closesocket(connection); }
void SendResponse(SOCKET, int, const std::string&) {}
Response DispatchRequest(SOCKET, const HttpRequest&, const std::string&) { return {404, ""}; }
bool VerifyPeer(SOCKET) { return false; }
DWORD FindPeerPid(uint16_t, uint16_t) { return 0; }
bool TokenMatches(const std::string&, const std::string&) { return false; }
