// JsonEscape over arbitrary bytes: the result must always sit inside a JSON string as valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include "api/request.h"

namespace {

// Length of a well-formed UTF-8 sequence at i, or 0.
size_t SequenceLength(const std::string& s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t length;
    unsigned lowest;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    unsigned code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
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
