// Fed in arbitrary receive-sized pieces, as the socket code reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include "api/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the receive size, the rest is the stream.
    size_t chunk = 1 + data[0] % 64;
    std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string text;
    RequestScan scan;
    for (size_t at = 0; at < stream.size() && !scan.complete && text.size() < kRequestLimit;
         at += chunk) {
        text.append(stream, at, chunk);
        scan = ScanRequest(text);
        if (scan.headerEndFound && (scan.headerEnd + 4 > text.size() ||
                                    text.compare(scan.headerEnd, 4, "\r\n\r\n") != 0)) {
            abort();
        }
    }
    if (!scan.headerEndFound) {
        return 0;
    }
    HttpRequest request;
    if (ParseRequest(text, scan.headerEnd, request)) {
        if (request.method.find(' ') != std::string::npos ||
            request.path.find(' ') != std::string::npos ||
            request.headerBlock.size() != scan.headerEnd ||
            request.body.size() != text.size() - scan.headerEnd - 4) {
            abort();
        }
        for (const char* name : {"content-length", "x-auth-token", "host"}) {
            std::string value = FindHeader(request.headerBlock, name);
            if (!value.empty() &&
                (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                 value.back() == '\t' || value.find("\r\n") != std::string::npos)) {
                abort();
            }
        }
    }
    FormatResponseHead(200, text.size());
    return 0;
}
