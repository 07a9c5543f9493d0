#include "support/handoff_request.h"

#include <cstring>

namespace orvane {
namespace {
const size_t kBlockSize = 1024;
const size_t kRequestHeaderSize = sizeof kHandOffRequestTag + 4;

// Walks a request's strings (the working directory, then each argument), giving each one's
// first unit's offset and its length in units to `each`; false when the bytes are no request.
template <typename Each>
bool WalkHandOffRequest(const void *data, size_t size, Each each) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    if (!bytes || size < kRequestHeaderSize || (size - kRequestHeaderSize) % 2 != 0 ||
        std::memcmp(bytes, kHandOffRequestTag, sizeof kHandOffRequestTag) != 0)
        return false;
    const unsigned long argumentCount = bytes[4] | bytes[5] << 8 | static_cast<unsigned long>(bytes[6]) << 16 |
                                        static_cast<unsigned long>(bytes[7]) << 24;
    if (argumentCount > kMaxRequestUnits) return false;  // each argument has a terminator at least
    size_t at = kRequestHeaderSize, argumentUnits = 0;
    for (unsigned long string = 0; string <= argumentCount; ++string) {
        const size_t begin = at;
        while (at < size && (bytes[at] | bytes[at + 1]) != 0) at += 2;
        if (at == size) return false;  // no terminator
        const size_t units = (at - begin) / 2;
        at += 2;
        if (string == 0 ? units > kMaxRequestUnits - 1 : (argumentUnits += units + 1) > kMaxRequestUnits) return false;
        each(begin, units);
    }
    return at == size;
}
}  // namespace

bool IsHandOffMessage(const void *data, size_t size) {
    if (!data || size < 1 || size > kBlockSize) return false;
    return std::memchr(data, '\0', size) == static_cast<const char *>(data) + size - 1;
}

bool IsHandOffRequest(const void *data, size_t size) {
    return WalkHandOffRequest(data, size, [](size_t, size_t) {});
}

size_t HandOffBlockTextLength(const char *block, size_t size) {
    if (!block) return 0;
    const void *end = std::memchr(block, '\0', size < kBlockSize ? size : kBlockSize);
    return end ? static_cast<size_t>(static_cast<const char *>(end) - block) : 0;
}

}  // namespace orvane

#ifdef _WIN32
#include <cwchar>

#include "framework/exception.h"
#include "support/handoff_common.h"

namespace orvane::handoff_detail {
namespace {

void AppendUnits(std::string &bytes, const wchar_t *text, size_t units) {
    // With its terminator, as UTF-16LE, unit by unit: every unit goes as it is.
    for (size_t i = 0; i <= units; ++i) {
        const unsigned unit = i < units ? static_cast<unsigned>(text[i]) & 0xFFFF : 0;
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
}

}  // namespace

std::string MakeHandOffRequest(int argumentCount, const wchar_t *const *arguments, const wchar_t *workingDirectory) {
    if (argumentCount < 0 || !arguments) argumentCount = 0;
    std::wstring currentDirectory;
    if (!workingDirectory) {
        currentDirectory.resize(GetCurrentDirectoryW(0, nullptr));
        currentDirectory.resize(
            GetCurrentDirectoryW(static_cast<DWORD>(currentDirectory.size()), &currentDirectory[0]));
        workingDirectory = currentDirectory.c_str();
    }
    const size_t directoryUnits = std::wcslen(workingDirectory);
    size_t argumentUnits = 0;
    for (int i = 0; i < argumentCount; ++i) argumentUnits += (arguments[i] ? std::wcslen(arguments[i]) : 0) + 1;
    if (argumentUnits > kMaxRequestUnits || directoryUnits > kMaxRequestUnits - 1) throw Exception(kDataTooLongText);

    std::string bytes(kHandOffRequestTag, sizeof kHandOffRequestTag);
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((static_cast<unsigned>(argumentCount) >> shift) & 0xFF);
    bytes.reserve(bytes.size() + 2 * (directoryUnits + 1 + argumentUnits));
    AppendUnits(bytes, workingDirectory, directoryUnits);
    for (int i = 0; i < argumentCount; ++i) {
        const wchar_t *argument = arguments[i] ? arguments[i] : L"";
        AppendUnits(bytes, argument, std::wcslen(argument));
    }
    return bytes;
}

void ReadHandOffRequest(const char *bytes, size_t size, std::wstring &workingDirectory,
                        std::vector<std::wstring> &arguments) {
    bool directory = true;
    WalkHandOffRequest(bytes, size, [&](size_t begin, size_t units) {
        std::wstring text(units, L'\0');
        for (size_t i = 0; i < units; ++i)
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[begin + 2 * i]) |
                                           static_cast<unsigned char>(bytes[begin + 2 * i + 1]) << 8);
        if (directory)
            workingDirectory = std::move(text);
        else
            arguments.push_back(std::move(text));
        directory = false;
    });
}

}  // namespace orvane::handoff_detail
#endif
