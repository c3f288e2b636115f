#pragma once
#include <cstdint>
#include <string>

// The in-memory form of service.conf.
struct EndpointInfo {
    int32_t port = 0;
    std::string token;
};

// The reading rules over the file's bytes; fills info as it goes. True when the port is above 0
// and the token is not empty.
bool ParseEndpointText(const std::string& bytes, EndpointInfo& info);

bool ReadEndpointFile(EndpointInfo& info);
// Replaces service.conf atomically; false when any step of writing it failed.
bool WriteEndpointFile(const EndpointInfo& info);

// 32-bit FNV-1a over the UTF-16 code units of the name, folded into 17800..18199.
int32_t ComputeBasePortFor(const std::wstring& serviceName);
int32_t ComputeBasePort();

// 32 lowercase hex digits from the system's secure generator; false when it keeps failing.
bool GenerateAccessToken(std::string& token);
