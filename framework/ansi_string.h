#pragma once

#include <string>

namespace orvane {

// The framework's string: an 8-bit text taken and returned by value. It may
// hold NUL characters inside; c_str() always gives a NUL-terminated text, an
// empty one for an empty string.
class AnsiString {
public:
    AnsiString() = default;
    AnsiString(const char *text);              // null gives an empty string
    AnsiString(const char *data, int length);  // exactly `length` bytes, NULs included

    const char *c_str() const { return text_.c_str(); }
    int Length() const { return static_cast<int>(text_.size()); }
    bool IsEmpty() const { return text_.empty(); }

    friend bool operator==(const AnsiString &a, const AnsiString &b) { return a.text_ == b.text_; }
    friend bool operator!=(const AnsiString &a, const AnsiString &b) { return !(a == b); }

private:
    std::string text_;
};

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::AnsiString;
#endif
