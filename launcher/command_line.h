#pragma once

// The launcher's reading of its own command line. Pure functions over a
// NUL-terminated text: they return pointers into it and never pass its terminator.

// Bytes of the argument text that the launcher drops before the viewer's parameters.
constexpr int kArgumentPrefixLength = 14;

// The argument text: skips leading spaces and tabs, the program name (quoted, or
// ended by a space; a tab ends it either way), a closing quote, and the spaces and
// tabs after it. Quotes and blanks further on are kept as they stand.
const char *FindArgumentText(const char *commandLine);

// The viewer's parameters: the argument text without its first 14 bytes. A shorter
// argument text gives its terminator (empty parameters) rather than a pointer past it.
const char *FindViewerParameters(const char *argumentText);
