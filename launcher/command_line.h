#pragma once

// The launcher's reading of its own command line. Pure functions over a
// NUL-terminated text, 8-bit or UTF-16: they return pointers into it and never pass
// its terminator.

// Bytes of the argument text that the launcher drops before the viewer's parameters.
constexpr int kArgumentPrefixLength = 14;

// The argument text: skips leading spaces and tabs, the program name (quoted, or
// ended by a space; a tab ends it either way), a closing quote, and the spaces and
// tabs after it. Quotes and blanks further on are kept as they stand.
const char *FindArgumentText(const char *commandLine);
const wchar_t *FindArgumentText(const wchar_t *commandLine);

// The viewer's parameters: the argument text without its first 14 bytes. A shorter
// argument text gives its terminator (empty parameters) rather than a pointer past it.
const char *FindViewerParameters(const char *argumentText);

// Bytes that one character of a UTF-16 text takes in the 8-bit form the 14 bytes are
// counted in: `units` is 2 for a surrogate pair, else 1.
using AnsiByteCountFn = int (*)(const wchar_t *character, int units);

// The same for a UTF-16 argument text: drops the characters whose 8-bit forms (as
// countAnsiBytes gives them) make up its first 14 bytes. A character whose form
// starts inside the 14 bytes and runs past them (a double-byte character at byte 13,
// a replacement of two bytes) is dropped whole; the parameters start at the next one.
// A surrogate pair is one character, never split; a character counted as 0 bytes
// counts as 1. A shorter argument text gives its terminator.
const wchar_t *FindViewerParameters(const wchar_t *argumentText, AnsiByteCountFn countAnsiBytes);

#ifdef _WIN32
// The bytes a character takes in the ANSI code page, best fit included: the form
// GetCommandLineA gives it. For FindViewerParameters.
int CountAnsiBytes(const wchar_t *character, int units);
#endif
