// Reading rules of service.conf and the base port: plain logic, no Win32, so it builds natively.
#include "config/endpoint_text.h"

#include <cstring>

namespace {

// fgets into 256 bytes: a line longer than 255 bytes is read as several pieces.
constexpr size_t kPieceLimit = 255;
constexpr int32_t kBasePortFirst = 17800;
constexpr uint32_t kBasePortCount = 400;

// atoi without its undefined overflow: saturates at the limits of 32 bits.
int32_t ParsePortValue(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    int64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX) {
            value = static_cast<int64_t>(INT32_MAX) + 1;
        }
        ++text;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

void ApplyPiece(std::string piece, EndpointInfo& info) {
    // fgets hands over C strings: whatever follows a NUL byte is not seen.
    piece.resize(std::strlen(piece.c_str()));
    while (!piece.empty() && (piece.back() == '\r' || piece.back() == '\n')) {
        piece.pop_back();
    }
    if (piece.compare(0, 5, "port=") == 0 && piece.size() >= 5) {
        info.port = ParsePortValue(piece.c_str() + 5);
    } else if (piece.compare(0, 6, "token=") == 0 && piece.size() >= 6) {
        info.token = piece.substr(6);
    }
}

}  // namespace

bool ParseEndpointText(const std::string& bytes, EndpointInfo& info) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = pos;
        while (end < bytes.size() && end - pos < kPieceLimit) {
            if (bytes[end++] == '\n') {
                break;
            }
        }
        ApplyPiece(bytes.substr(pos, end - pos), info);
        pos = end;
    }
    return info.port > 0 && !info.token.empty();
}

int32_t ComputeBasePortFor(const std::wstring& serviceName) {
    uint32_t hash = 2166136261u;
    for (wchar_t unit : serviceName) {
        hash ^= static_cast<uint16_t>(unit);
        hash *= 16777619u;
    }
    return kBasePortFirst + static_cast<int32_t>(hash % kBasePortCount);
}
