#pragma once
// Request framing, header lookup and JSON escaping: plain byte logic, no Win32, so it builds
// natively too and can be fuzzed.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kRequestLimit = 65536;
constexpr size_t kReceiveChunk = 4096;
// A Content-Length above this (negative ones included, read as unsigned) is not waited for.
constexpr uint32_t kContentLengthCeiling = 65536;

struct HttpRequest {
    std::string method;
    std::string path;
    std::string headerBlock;
    std::string body;
    // The body holds all the Content-Length announced. Never true for one above the ceiling,
    // which is not waited for.
    bool bodyWhole = true;
};

// Where reading stands after the bytes received so far.
struct RequestScan {
    bool headerEndFound = false;
    size_t headerEnd = 0;
    // The announced body has arrived, or there is no body to wait for.
    bool complete = false;
};

RequestScan ScanRequest(const std::string& text);

// The Content-Length value as the C library's atol reads it, saturated to 32 bits: optional
// leading white space and sign, decimal digits up to the first other byte, 0 without digits.
int32_t ParseContentLength(const std::string& value);

// Splits a request whose header end has been seen. False when the request line lacks its two
// spaces: the connection is then closed without a response.
bool ParseRequest(const std::string& text, size_t headerEnd, HttpRequest& request);

// The value of the first header line named `name` (lower case), trimmed; empty when absent.
std::string FindHeader(const std::string& headerBlock, const std::string& name);

// The head of a response ("HTTP/1.1 ..." up to the blank line) for a JSON body.
std::string FormatResponseHead(int status, size_t bodyLength);

// Escapes a text for a JSON string. Valid UTF-8 passes unchanged; each ill-formed part becomes
// U+FFFD, so the result is always valid JSON string content.
std::string JsonEscape(const std::string& text);
