#include "launcher/command_line.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
template <typename Char>
bool IsBlank(Char c) {
    return c == ' ' || c == '\t';
}

template <typename Char>
const Char *SkipProgramName(const Char *commandLine) {
    const Char *cursor = commandLine;
    while (IsBlank(*cursor)) ++cursor;
    Char closing = ' ';
    if (*cursor == '"') {
        closing = '"';
        ++cursor;
    }
    while (*cursor != '\0' && *cursor != closing && *cursor != '\t') ++cursor;
    if (*cursor == '"') ++cursor;
    while (IsBlank(*cursor)) ++cursor;
    return cursor;
}

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
}  // namespace

const char *FindArgumentText(const char *commandLine) { return SkipProgramName(commandLine); }
const wchar_t *FindArgumentText(const wchar_t *commandLine) { return SkipProgramName(commandLine); }

const char *FindViewerParameters(const char *argumentText) {
    int skipped = 0;
    while (skipped < kArgumentPrefixLength && argumentText[skipped] != '\0') ++skipped;
    return argumentText + skipped;
}

const wchar_t *FindViewerParameters(const wchar_t *argumentText, AnsiByteCountFn countAnsiBytes) {
    const wchar_t *cursor = argumentText;
    int bytes = 0;
    while (bytes < kArgumentPrefixLength && *cursor != L'\0') {
        const int units = IsHighSurrogate(cursor[0]) && IsLowSurrogate(cursor[1]) ? 2 : 1;
        const int counted = countAnsiBytes(cursor, units);
        bytes += counted > 0 ? counted : 1;
        cursor += units;
    }
    return cursor;
}

#ifdef _WIN32
int CountAnsiBytes(const wchar_t *character, int units) {
    return WideCharToMultiByte(CP_ACP, 0, character, units, nullptr, 0, nullptr, nullptr);
}
#endif
