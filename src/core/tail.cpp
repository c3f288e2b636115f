#include "core/tail.h"

std::string LastNonBlankLine(const std::string& bytes) {
    size_t start = bytes.size() > kStderrTailBytes ? bytes.size() - kStderrTailBytes : 0;
    std::string result;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        size_t stop = end;
        while (stop > start && (bytes[stop - 1] == '\r' || bytes[stop - 1] == ' ')) {
            --stop;
        }
        if (stop > start) {
            result.assign(bytes, start, stop - start);
        }
        start = end + 1;
    }
    return result;
}
