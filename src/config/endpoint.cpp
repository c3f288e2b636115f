#include "config/endpoint.h"

#include <cstdio>
#include <cstring>
#include "app/handles.h"
#include "app/paths.h"
#include "app/state.h"

namespace {

constexpr int kTokenAttempts = 8;

}  // namespace

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
