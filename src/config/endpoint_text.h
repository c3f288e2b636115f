#pragma once
// The endpoint's in-memory form and the reading rules of service.conf: plain logic, no Win32.
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

// 32-bit FNV-1a over the UTF-16 code units of the name, folded into 17800..18199.
int32_t ComputeBasePortFor(const std::wstring& serviceName);
