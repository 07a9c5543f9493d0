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

inline int HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// Stops at the first pair that is not hexadecimal.
inline std::string FromHex(const std::string &hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = HexDigitValue(hex[i]);
        const int low = HexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) break;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// UTF-16 units as the hex of their little-endian bytes, as requests go on the children's lines.
inline std::string ToHexUnits(const std::wstring &text) {
    std::string bytes;
    for (wchar_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return ToHex(bytes);
}

inline std::wstring FromHexUnits(const std::string &hex) {
    const std::string bytes = FromHex(hex);
    std::wstring text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text +=
            static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    return text;
}
