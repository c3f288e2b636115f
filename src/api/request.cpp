#include "api/request.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

const char kLineEnd[] = "\r\n";
const char kHeaderEnd[] = "\r\n\r\n";
const char kReplacementCharacter[] = "\xEF\xBF\xBD";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Length of the well-formed UTF-8 sequence at `at`, or 0 with `illFormed` set to the length of
// its longest valid-looking prefix (at least 1), which is replaced as one unit.
size_t Utf8SequenceLength(const std::string& text, size_t at, size_t& illFormed) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        // No overlong forms and no UTF-16 surrogates.
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        // No overlong forms and nothing beyond U+10FFFF.
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        illFormed = 1;
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if (at + k >= text.size()) {
            illFormed = k;
            return 0;
        }
        unsigned char next = static_cast<unsigned char>(text[at + k]);
        if (next < low || next > high) {
            illFormed = k;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return length;
}

// Read as unsigned: a negative Content-Length lands above the ceiling.
uint32_t AnnouncedLength(const std::string& text, size_t headerEnd) {
    return static_cast<uint32_t>(
        ParseContentLength(FindHeader(text.substr(0, headerEnd), "content-length")));
}

}  // namespace

int32_t ParseContentLength(const std::string& value) {
    // strtoll, not atol: long is 32 bits on Windows and 64 elsewhere; the clamp gives the same
    // saturation on both.
    long long parsed = std::strtoll(value.c_str(), nullptr, 10);
    if (parsed > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (parsed < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(parsed);
}

RequestScan ScanRequest(const std::string& text) {
    RequestScan scan;
    size_t end = text.size() >= 4 ? text.find(kHeaderEnd) : std::string::npos;
    if (end == std::string::npos) {
        return scan;
    }
    scan.headerEndFound = true;
    scan.headerEnd = end;
    uint32_t announced = AnnouncedLength(text, end);
    size_t received = text.size() - end - 4;
    scan.complete = announced > kContentLengthCeiling || received >= announced;
    return scan;
}

bool ParseRequest(const std::string& text, size_t headerEnd, HttpRequest& request) {
    size_t lineEnd = text.size() >= 2 ? text.find(kLineEnd) : std::string::npos;
    if (lineEnd == std::string::npos || headerEnd + 4 > text.size()) {
        return false;
    }
    std::string line = text.substr(0, lineEnd);
    size_t first = line.find(' ');
    if (first == std::string::npos || first + 1 >= line.size()) {
        return false;
    }
    size_t second = line.find(' ', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    request.method = line.substr(0, first);
    request.path = line.substr(first + 1, second - first - 1);
    request.headerBlock = text.substr(0, headerEnd);
    request.body = text.substr(headerEnd + 4);
    uint32_t announced = AnnouncedLength(text, headerEnd);
    request.bodyWhole = announced <= kContentLengthCeiling && request.body.size() >= announced;
    return true;
}

std::string FindHeader(const std::string& headerBlock, const std::string& name) {
    size_t start = 0;
    bool requestLine = true;
    while (start < headerBlock.size()) {
        size_t end = headerBlock.find(kLineEnd, start);
        if (end == std::string::npos) {
            end = headerBlock.size();
        }
        size_t length = end - start;
        if (!requestLine && length > name.size() && headerBlock[start + name.size()] == ':') {
            bool same = true;
            for (size_t i = 0; i < name.size() && same; ++i) {
                int c = std::tolower(static_cast<unsigned char>(headerBlock[start + i]));
                same = c == static_cast<unsigned char>(name[i]);
            }
            if (same) {
                size_t valueStart = start + name.size() + 1;
                while (valueStart < end && IsBlank(headerBlock[valueStart])) {
                    ++valueStart;
                }
                size_t valueEnd = end;
                while (valueEnd > valueStart && IsBlank(headerBlock[valueEnd - 1])) {
                    --valueEnd;
                }
                return headerBlock.substr(valueStart, valueEnd - valueStart);
            }
        }
        requestLine = false;
        start = end + 2;
    }
    return std::string();
}

std::string FormatResponseHead(int status, size_t bodyLength) {
    const char* reason = "Internal Server Error";
    if (status == 200) {
        reason = "OK";
    } else if (status == 401) {
        reason = "Unauthorized";
    } else if (status == 400) {
        reason = "Bad Request";
    } else if (status == 404) {
        reason = "Not Found";
    } else if (status == 503) {
        reason = "Service Unavailable";
    }
    char head[256];
    int length = snprintf(head, sizeof head,
                          "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\n"
                          "Content-Length: %llu\r\nConnection: close\r\n\r\n",
                          status, reason, static_cast<unsigned long long>(bodyLength));
    if (length < 0 || static_cast<size_t>(length) >= sizeof head) {
        return std::string();
    }
    return std::string(head, static_cast<size_t>(length));
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        size_t illFormed = 0;
        size_t length = Utf8SequenceLength(text, i, illFormed);
        if (length == 0) {
            out += kReplacementCharacter;
            i += illFormed;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            out.push_back(c);
        }
        i += length;
    }
    return out;
}
