#include "launcher/command_line.h"

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

const char *FindArgumentText(const char *commandLine) {
    const char *cursor = commandLine;
    while (IsBlank(*cursor)) ++cursor;
    char closing = ' ';
    if (*cursor == '"') {
        closing = '"';
        ++cursor;
    }
    while (*cursor != '\0' && *cursor != closing && *cursor != '\t') ++cursor;
    if (*cursor == '"') ++cursor;
    while (IsBlank(*cursor)) ++cursor;
    return cursor;
}

const char *FindViewerParameters(const char *argumentText) {
    int skipped = 0;
    while (skipped < kArgumentPrefixLength && argumentText[skipped] != '\0') ++skipped;
    return argumentText + skipped;
}
