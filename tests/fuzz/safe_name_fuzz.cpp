// The composed name is exactly as long as its three parts, the prefix and suffix
// are kept, and the middle holds none of the six mapped bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "support/safe_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Three texts cut from the input at its NUL bytes.
    std::string parts[3];
    int part = 0;
    for (size_t i = 0; i < size && part < 3; ++i) {
        if (data[i] == 0)
            ++part;
        else
            parts[part] += static_cast<char>(data[i]);
    }
    std::unique_ptr<char[]> name(ComposeSafeName(parts[0].c_str(), parts[1].c_str(), parts[2].c_str()));

    const std::string result(name.get());
    if (result.size() != parts[0].size() + parts[1].size() + parts[2].size()) std::abort();
    if (result.compare(0, parts[0].size(), parts[0]) != 0) std::abort();
    if (result.compare(result.size() - parts[2].size(), parts[2].size(), parts[2]) != 0) std::abort();
    const std::string middle = result.substr(parts[0].size(), parts[1].size());
    if (middle.find_first_of("()\\/#*") != std::string::npos) std::abort();
    for (size_t i = 0; i < middle.size(); ++i) {
        const char in = parts[1][i], out = middle[i];
        const char expected = in == '(' ? '[' : in == ')' ? ']' : std::strchr("\\/#*", in) && in ? '_' : in;
        if (out != expected) std::abort();
    }
    return 0;
}
