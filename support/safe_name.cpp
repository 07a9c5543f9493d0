#include "support/safe_name.h"

#include <algorithm>
#include <cstring>

namespace orvane {
namespace {

char SafeByte(char c) {
    switch (c) {
        case '(':
            return '[';
        case ')':
            return ']';
        case '\\':
        case '/':
        case '#':
        case '*':
            return '_';
        default:
            return c;
    }
}

}  // namespace

char *ComposeSafeName(const char *prefix, const char *middle, const char *suffix) {
    const size_t prefixLength = std::strlen(prefix);
    const size_t middleLength = std::strlen(middle);
    const size_t suffixLength = std::strlen(suffix);

    // Copied, not printed: a print stops at 2 GiB - 1 characters and fails.
    char *name = new char[prefixLength + middleLength + suffixLength + 1];
    char *end = std::copy_n(prefix, prefixLength, name);
    end = std::transform(middle, middle + middleLength, end, SafeByte);
    end = std::copy_n(suffix, suffixLength, end);
    *end = '\0';
    return name;
}

}  // namespace orvane
