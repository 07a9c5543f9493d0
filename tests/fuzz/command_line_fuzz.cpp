// The command-line split never reads or points past the terminator, whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "launcher/command_line.h"

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
    return 0;
}
