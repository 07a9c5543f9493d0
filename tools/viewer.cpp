// Stand-in for the viewer "Orvane.exe": records exactly how it was started.
// Appends one line per start to "Orvane-received.txt" beside the program:
//   <process id> TAB <show command or -1> TAB <parameters> TAB <whole command line>
//   TAB <parameters of the UTF-16 command line, 4 hexadecimal digits per unit> LF
// The parameters are the command line after the program name and one blank, the
// way the shell puts them together. The first four fields are the ANSI command line
// (GetCommandLineA); the last, which holds no tab whatever the text, is GetCommandLineW's.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
template <typename Char>
const Char *SkipProgramToken(const Char *p) {
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    if (*p == ' ') ++p;
    return p;
}

std::string HexUnits(const wchar_t *text) {
    std::string hex;
    for (; *text; ++text) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(*text));
        hex += unit;
    }
    return hex;
}
}  // namespace

int main() {
    const char *commandLine = GetCommandLineA();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string record(path);
    record = record.substr(0, record.find_last_of('\\') + 1) + "Orvane-received.txt";

    char head[64];
    std::snprintf(head, sizeof head, "%lu\t%d\t", static_cast<unsigned long>(GetCurrentProcessId()), show);
    const std::string line = head + std::string(SkipProgramToken(commandLine)) + "\t" + commandLine + "\t" +
                             HexUnits(SkipProgramToken(GetCommandLineW())) + "\n";
    HANDLE file = CreateFileA(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
