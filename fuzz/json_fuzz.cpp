// JsonEscape over arbitrary bytes: the result must always sit inside a JSON string as valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include "api/request.h"

namespace {

// Length of a well-formed UTF-8 sequence at i, or 0.
size_t SequenceLength(const std::string& s, size_t i) {
    static const unsigned kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t length = c < 0x80    ? 1
                    : c >= 0xF8 ? 0
                    : c >= 0xF0 ? 4
                    : c >= 0xE0 ? 3
                    : c >= 0xC0 ? 2
                                : 0;
    if (length <= 1 || i + length > s.size()) {
        return length == 1 ? 1 : 0;
    }
    unsigned code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    bool valid = code >= kLowest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid ? length : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string escaped = JsonEscape(std::string(reinterpret_cast<const char*>(data), size));
    for (size_t i = 0; i < escaped.size();) {
        unsigned char c = static_cast<unsigned char>(escaped[i]);
        if (c < 0x20 || c == '"') {
            abort();
        }
        if (c == '\\') {
            if (i + 1 >= escaped.size()) {
                abort();
            }
            char next = escaped[i + 1];
            if (next != '\\' && next != '"' && next != 't' && next != 'n') {
                abort();
            }
            i += 2;
            continue;
        }
        size_t length = SequenceLength(escaped, i);
        if (length == 0) {
            abort();
        }
        i += length;
    }
    return 0;
}
