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

std::string ReadTail(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return std::string();
    }
    long size = std::ftell(file);
    if (size <= 0) {
        return std::string();
    }
    long count =
        size < static_cast<long>(kStderrTailBytes) ? size : static_cast<long>(kStderrTailBytes);
    if (std::fseek(file, size - count, SEEK_SET) != 0) {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(count), '\0');
    bytes.resize(std::fread(&bytes[0], 1, bytes.size(), file));
    return LastNonBlankLine(bytes);
}
