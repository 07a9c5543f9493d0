#include "framework/ansi_string.h"

namespace orvane {

AnsiString::AnsiString(const char *text) : text_(text ? text : "") {}

// GCOVR_EXCL_BR_START: beside the condition, only the clean-up of the conditional temporary, run when allocation fails
AnsiString::AnsiString(const char *data, int length)
    : text_(length > 0 && data ? std::string(data, static_cast<size_t>(length)) : std::string()) {}
// GCOVR_EXCL_BR_STOP

}  // namespace orvane
