#pragma once

// A later instance's request as bytes: made by the sender, read by the receiver; not
// installed. The shape checks of handoff_types.h are defined with it and build everywhere.

#include "support/handoff_types.h"

#ifdef _WIN32
#include <string>
#include <vector>

namespace orvane::handoff_detail {

// The message of a request (IsHandOffRequest); the arguments as
// TryHandOffRequestToRunningInstance takes them. Throws Exception when it is too long.
std::string MakeHandOffRequest(int argumentCount, const wchar_t *const *arguments, const wchar_t *workingDirectory);

// The strings of a message that IsHandOffRequest took, every unit as it came.
void ReadHandOffRequest(const char *bytes, size_t size, std::wstring &workingDirectory,
                        std::vector<std::wstring> &arguments);

}  // namespace orvane::handoff_detail
#endif
