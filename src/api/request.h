#pragma once
// Request framing and header lookup: plain byte logic, no Win32, so it builds natively too.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kRequestLimit = 65536;
constexpr size_t kReceiveChunk = 4096;

struct HttpRequest {
    std::string method;
    std::string path;
    std::string headerBlock;
    std::string body;
};

// Where reading stands after the bytes received so far.
struct RequestScan {
    bool headerEndFound = false;
    size_t headerEnd = 0;
    // The announced body has arrived, or there is no body to wait for.
    bool complete = false;
};

RequestScan ScanRequest(const std::string& text);

// Splits a request whose header end has been seen. False when the request line lacks its two
// spaces: the connection is then closed without a response.
bool ParseRequest(const std::string& text, size_t headerEnd, HttpRequest& request);

// The value of the first header line named `name` (lower case), trimmed; empty when absent.
std::string FindHeader(const std::string& headerBlock, const std::string& name);

// The head of a response ("HTTP/1.1 ..." up to the blank line) for a JSON body.
std::string FormatResponseHead(int status, size_t bodyLength);

// Escapes a UTF-8 text for a JSON string.
std::string JsonEscape(const std::string& text);
