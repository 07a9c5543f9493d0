#include "framework/ansi_string.h"

AnsiString::AnsiString(const char *text) : text_(text ? text : "") {}

AnsiString::AnsiString(const char *data, int length)
    : text_(length > 0 && data ? std::string(data, static_cast<size_t>(length)) : std::string()) {}
