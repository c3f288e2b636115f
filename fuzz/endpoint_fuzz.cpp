// The reader of service.conf over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include "config/endpoint_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EndpointInfo info;
    bool valid = ParseEndpointText(std::string(reinterpret_cast<const char*>(data), size), info);
    // A token is at most one 255-byte piece less its key, never spans a line end.
    if (valid != (info.port > 0 && !info.token.empty()) || info.token.size() > 249 ||
        info.token.find('\n') != std::string::npos) {
        abort();
    }
    return 0;
}
