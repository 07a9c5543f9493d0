#pragma once

// The shape of a later instance's request, made by the sender and read by the receiver;
// not installed. The checks of received bytes (handoff_receiver.h) build everywhere.

#include "support/handoff_receiver.h"

#ifdef _WIN32
#include <memory>
#include <string>

namespace orvane::handoff_detail {

// The message of a request (IsHandOffRequest); the arguments as
// TryHandOffRequestToRunningInstance takes them. Throws Exception when it is too long.
std::string MakeHandOffRequest(int argumentCount, const wchar_t *const *arguments, const wchar_t *workingDirectory);

// What a kept message gives the program: a request as it came, or a text (`size` bytes)
// as a request of one argument, converted from the ANSI code page.
std::unique_ptr<CHandOffRequest> RequestOf(const char *bytes, size_t size, bool request);

}  // namespace orvane::handoff_detail
#endif
