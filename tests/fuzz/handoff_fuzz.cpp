// The checks of received hand-off bytes against a plain reading of their rules, on
// inputs of exactly their size (AddressSanitizer reports any read past them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/handoff_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t firstNul = size;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            firstNul = i;
            break;
        }
    }
    // A message: 1 to 1024 bytes whose first NUL is the last byte.
    const bool handOff = size >= 1 && size <= 1024 && firstNul == size - 1;
    if (IsHandOffMessage(data, size) != handOff) std::abort();
    // A block: the bytes before a NUL within its first 1024, when there are any.
    const size_t length = firstNul < size && firstNul < 1024 ? firstNul : 0;
    if (HandOffBlockTextLength(reinterpret_cast<const char *>(data), size) != length) std::abort();
    // A request starts with a NUL: never also a text.
    if (IsHandOffRequest(data, size) && (handOff || data[0] != 0)) std::abort();
    return 0;
}
