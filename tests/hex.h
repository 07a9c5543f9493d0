#pragma once

#include <cstddef>
#include <string>

// Lowercase hex of a byte range, for comparing digests and states in tests and for
// carrying any byte over the test children's output lines.
inline std::string ToHex(const void *data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

inline std::string ToHex(const std::string &bytes) { return ToHex(bytes.data(), bytes.size()); }
