#pragma once

#include "framework/ansi_string.h"

namespace orvane {

// The framework's exception: one message text. Throw it by value and catch it
// by reference, so that a handler for Exception& also takes every class
// derived from it.
class Exception {
public:
    explicit Exception(const AnsiString &message) : Message(message) {}
    explicit Exception(const char *message) : Message(message) {}

    AnsiString Message;
};

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::Exception;
#endif
