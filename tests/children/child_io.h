#pragma once

// What the test children and their tests share: texts on the children's output lines
// go as hexadecimal bytes, so any byte (NUL, Shift-JIS, line ends) survives the pipe;
// named events tell a waiting child when to go on.

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "tests/hex.h"
#include "tests/win_process.h"

// One line of a child's report on standard output, flushed at once: the test reads it
// while the child goes on.
inline void Report(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The value of "key=value" in a line of blank-separated fields; empty when absent.
inline std::string FieldOf(const std::string &line, const std::string &key) {
    size_t at = 0;
    for (;;) {
        at = line.find(key + "=", at);
        if (at == std::string::npos) return std::string();
        if (at == 0 || line[at - 1] == ' ') break;
        at += key.size();
    }
    const size_t begin = at + key.size() + 1;
    const size_t end = line.find(' ', begin);
    return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// A manual-reset event with a unique name, for a child to wait on; set when it goes,
// so that no child is left waiting.
class NamedEvent {
public:
    NamedEvent() : name_("OrvaneEvent_" + UniqueSuffix()), handle_(CreateEventA(nullptr, TRUE, FALSE, name_.c_str())) {}
    ~NamedEvent() {
        Set();
        if (handle_) CloseHandle(handle_);
    }
    NamedEvent(const NamedEvent &) = delete;
    NamedEvent &operator=(const NamedEvent &) = delete;
    void Set() { SetEvent(handle_); }
    const std::string &Name() const { return name_; }

private:
    std::string name_;
    HANDLE handle_;
};
