// Viewer for the start-up benchmark: the first thing it does is read the performance
// counter, which it writes to the file its parameters name.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // The shell starts it as "Orvane.exe" followed by the parameters after one blank.
    const char *p = GetCommandLineA();
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {
        }
        if (*p) ++p;
    } else {
        while (*p && *p != ' ') ++p;
    }
    if (*p == ' ') ++p;
    // Written under another name and renamed, so the benchmark never reads half a number.
    const std::string record = p;
    FILE *file = std::fopen((record + ".new").c_str(), "w");
    if (!file) return 1;
    std::fprintf(file, "%lld\n", static_cast<long long>(now.QuadPart));
    std::fclose(file);
    return MoveFileExA((record + ".new").c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
