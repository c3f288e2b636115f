#include "config/endpoint.h"

#include <cstdio>
#include <cstring>
#include "app/handles.h"
#include "app/paths.h"
#include "app/state.h"

namespace {

// fgets into 256 bytes: a line longer than 255 bytes is read as several pieces.
constexpr size_t kPieceLimit = 255;
constexpr int kTokenAttempts = 8;
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

bool ReadEndpointFile(EndpointInfo& info) {
    UniqueFile file;
    if (_wfopen_s(file.put(), GetEndpointFilePath().c_str(), L"rb") != 0 || !file) {
        return false;
    }
    std::string bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        bytes.append(buffer, n);
    }
    return ParseEndpointText(bytes, info);
}

bool WriteEndpointFile(const EndpointInfo& info) {
    CreateDirectoryW(GetDataDirectory().c_str(), nullptr);
    // Written beside the file and moved over it, so a reader never sees it empty or half
    // written and a crash never loses the token.
    std::wstring path = GetEndpointFilePath();
    std::wstring temporary = path + L".tmp";
    char text[64 + 1];
    int length = snprintf(text, sizeof text, "port=%d\ntoken=", static_cast<int>(info.port));
    std::string content(text, static_cast<size_t>(length));
    content += info.token + "\n";
    {
        UniqueFile file;
        if (_wfopen_s(file.put(), temporary.c_str(), L"wb") != 0 || !file) {
            return false;
        }
        bool written = fwrite(content.data(), 1, content.size(), file.get()) == content.size();
        written = fflush(file.get()) == 0 && written;
        written = fclose(file.release()) == 0 && written;
        if (!written) {
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

int32_t ComputeBasePortFor(const std::wstring& serviceName) {
    uint32_t hash = 2166136261u;
    for (wchar_t unit : serviceName) {
        hash ^= static_cast<uint16_t>(unit);
        hash *= 16777619u;
    }
    return kBasePortFirst + static_cast<int32_t>(hash % kBasePortCount);
}

int32_t ComputeBasePort() { return ComputeBasePortFor(ServiceState.serviceName); }

bool GenerateAccessToken(std::string& token) {
    std::string result;
    for (int word = 0; word < 4; ++word) {
        unsigned int value = 0;
        int attempt = 0;
        while (rand_s(&value) != 0) {
            if (++attempt == kTokenAttempts) {
                return false;
            }
        }
        char hex[9];
        snprintf(hex, sizeof hex, "%08x", value);
        result += hex;
    }
    token = result;
    return true;
}
