#include "config/endpoint_file.h"

#include <cstdio>
#include <share.h>
#include "base/data_file.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/state.h"
#include "base/data_directory.h"

namespace {

constexpr int kTokenAttempts = 8;
// How long a replacement refused for sharing is retried before the file is rewritten in place.
constexpr int kReplaceAttempts = 10;
constexpr DWORD kReplaceRetryMs = 100;

bool IsSharingRefusal(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

bool WriteWhole(HANDLE file, const std::string& content) {
    DWORD written = 0;
    return WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size() && SetEndOfFile(file) && FlushFileBuffers(file);
}

}  // namespace

bool ReadEndpointFile(EndpointInfo& info) {
    // Shared like any reader's, so one holding the file for writing does not make it invalid.
    UniqueFile file(_wfsopen(GetEndpointFilePath().c_str(), L"rb", _SH_DENYNO));
    if (!file) {
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

bool IsReaderHold(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool WriteEndpointFile(const EndpointInfo& info, bool patient) {
    CreateDataDirectory();
    // Written beside the file and moved over it, so a reader never sees it empty or half
    // written and a crash never loses the token.
    std::wstring path = GetEndpointFilePath();
    std::wstring temporary = path + L".tmp";
    char text[64 + 1];
    int length = snprintf(text, sizeof text, "port=%d\ntoken=", static_cast<int>(info.port));
    std::string content(text, static_cast<size_t>(length));
    content += info.token + "\n";
    {
        // Never written through a link planted under the temporary name.
        UniqueHandle file = OpenDataFile(temporary, GENERIC_WRITE, 0, true);
        if (!file) {
            return false;
        }
        if (!WriteWhole(file.get(), content)) {
            DWORD error = GetLastError();
            file.reset();
            DeleteFileW(temporary.c_str());
            SetLastError(error);
            return false;
        }
    }
    // A reader that opened the file the way fopen does (no delete sharing) blocks the move.
    bool replaced = false;
    for (int attempt = 0; attempt < (patient ? kReplaceAttempts : 1) && !replaced; ++attempt) {
        if (attempt > 0) {
            Sleep(kReplaceRetryMs);
        }
        replaced = MoveFileExW(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        if (!replaced && !IsSharingRefusal(GetLastError())) {
            break;
        }
    }
    if (!replaced) {
        DeleteFileW(temporary.c_str());
        UniqueHandle file =
            OpenDataFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false);
        return file && WriteWhole(file.get(), content);
    }
    return true;
}

int32_t ComputeBasePort() {
    return ComputeBasePortFor(ServiceState.serviceName);
}

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

bool SettleEndpoint(EndpointInfo& endpoint, EndpointSource& source) {
    endpoint = EndpointInfo();
    if (ReadEndpointFile(endpoint)) {
        source = EndpointSource::kFile;
        // A hand-edited port beyond the last valid one leaves nothing to try; keep the token.
        if (endpoint.port > kHighestPort) {
            endpoint.port = ComputeBasePort();
            source = EndpointSource::kFileToken;
        }
        return true;
    }
    source = EndpointSource::kNew;
    endpoint.port = ComputeBasePort();
    endpoint.token.clear();
    return GenerateAccessToken(endpoint.token);
}
