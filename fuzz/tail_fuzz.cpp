// The standard-error tail over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include "core/tail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string line = LastNonBlankLine(bytes);
    if (!line.empty() && (line.size() > kStderrTailBytes || line.find('\n') != std::string::npos ||
                          line.back() == '\r' || line.back() == ' ' ||
                          bytes.find(line, size > kStderrTailBytes ? size - kStderrTailBytes : 0) ==
                              std::string::npos)) {
        abort();
    }
    return 0;
}
