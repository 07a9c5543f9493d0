#include "support/safe_name.h"

#include <cstdio>
#include <cstring>
#include <memory>

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

    std::unique_ptr<char[]> mapped(new char[middleLength + 1]);
    std::memcpy(mapped.get(), middle, middleLength + 1);
    for (size_t i = 0; i < middleLength; ++i) mapped[i] = SafeByte(mapped[i]);

    const size_t size = prefixLength + middleLength + suffixLength + 1;
    std::unique_ptr<char[]> name(new char[size]);
    std::snprintf(name.get(), size, "%s%s%s", prefix, mapped.get(), suffix);
    return name.release();
}
