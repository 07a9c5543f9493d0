// Viewer for the start-up benchmark: the first thing it does is read the performance
// counter, which it writes to the file its parameters name.
#include <windows.h>

#include <cstdio>

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
    FILE *file = std::fopen(p, "w");
    if (!file) return 1;
    std::fprintf(file, "%lld\n", static_cast<long long>(now.QuadPart));
    std::fclose(file);
    return 0;
}
