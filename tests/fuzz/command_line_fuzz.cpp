// The command-line split never reads or points past the terminator, whatever the bytes
// or UTF-16 units, and whatever byte counts the ANSI form gives the characters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "launcher/command_line.h"

namespace {
// 0, 1 or 2 bytes a character, following its first unit, so every path is reached.
int SomeAnsiBytes(const wchar_t *character, int units) { return static_cast<int>((character[0] + units) % 3); }

void CheckUtf16(const uint8_t *data, size_t size) {
    const size_t length = size / 2;
    // An exact-size heap copy of 16-bit units (wchar_t may be wider here), ended by a 0 unit.
    std::unique_ptr<wchar_t[]> line(new wchar_t[length + 1]);
    size_t end = length;
    for (size_t i = 0; i < length; ++i) {
        line[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (line[i] == 0 && end == length) end = i;
    }
    line[length] = 0;

    const wchar_t *argumentText = FindArgumentText(line.get());
    if (argumentText < line.get() || argumentText > line.get() + end) std::abort();
    const wchar_t *parameters = FindViewerParameters(argumentText, SomeAnsiBytes);
    if (parameters < argumentText || parameters > line.get() + end) std::abort();
    // At least one byte a character, and at most two units a character.
    if (parameters - argumentText > 2 * kArgumentPrefixLength) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size heap copy, so AddressSanitizer sees any read past the terminator.
    std::unique_ptr<char[]> line(new char[size + 1]);
    std::memcpy(line.get(), data, size);
    line[size] = '\0';
    const size_t length = std::strlen(line.get());

    const char *argumentText = FindArgumentText(line.get());
    if (argumentText < line.get() || argumentText > line.get() + length) std::abort();
    const char *parameters = FindViewerParameters(argumentText);
    if (parameters < argumentText || parameters > line.get() + length) std::abort();
    if (parameters - argumentText > kArgumentPrefixLength) std::abort();

    CheckUtf16(data, size);
    return 0;
}
