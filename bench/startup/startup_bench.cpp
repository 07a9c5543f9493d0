// Start-up cost of orvanecmd.exe against the least launcher (or another build of
// orvanecmd.exe), under the same conditions:
//   startup_bench.exe <path of orvanecmd.exe> [runs of each, at least 30] [path of the other launcher]
// The two launchers start alternately from their own folders, each with a fresh folder
// as current folder that holds the timing viewer as Orvane.exe. For each run it takes
// the time from just before CreateProcessA to the viewer's first instruction (both read
// the performance counter, which is the same across processes) and the launcher's peak
// working set once the viewer runs; then it ends the lingering launcher.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sample {
    double startMs = 0;
    double peakKiB = 0;
};

std::string ProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

long long Counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

long long ReadCounterFile(const std::string &path) {
    long long value = 0;
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(file, "%lld", &value) != 1) value = 0;
        std::fclose(file);
    }
    return value;
}

unsigned long long FileSize(const std::string &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One start of `launcher`; false when the viewer did not report within 30 s.
bool RunOnce(const std::string &launcher, const std::string &folder, int run, Sample &sample) {
    const std::string record = folder + "started-" + std::to_string(run) + ".txt";
    // 14 prefix bytes, then the viewer's parameters: the file it writes.
    std::string commandLine = "\"" + launcher + "\"  BENCH-PREFIX: " + record;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    const long long before = Counter();
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &started))
        return false;
    CloseHandle(started.hThread);

    long long viewerStart = 0;
    for (int waited = 0; waited < 30000 && viewerStart == 0; ++waited) {
        Sleep(1);
        viewerStart = ReadCounterFile(record);
    }
    // Let ShellExecuteA return and the launcher settle into its linger.
    Sleep(200);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(started.hProcess, &memory, sizeof memory);
    TerminateProcess(started.hProcess, 0);
    WaitForSingleObject(started.hProcess, 10000);
    CloseHandle(started.hProcess);
    DeleteFileA(record.c_str());

    sample.startMs = (viewerStart - before) * 1000.0 / frequency.QuadPart;
    sample.peakKiB = memory.PeakWorkingSetSize / 1024.0;
    return viewerStart != 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("usage: startup_bench <path of orvanecmd.exe> [runs of each, at least 30] [other launcher]\n",
                   stderr);
        return 2;
    }
    const int runs = std::max(30, argc > 2 ? std::atoi(argv[2]) : 30);
    const std::string here = ProgramFolder();
    char fullPath[2][MAX_PATH] = {};
    GetFullPathNameA(argv[1], MAX_PATH, fullPath[0], nullptr);
    GetFullPathNameA(argc > 3 ? argv[3] : (here + "least_launcher.exe").c_str(), MAX_PATH, fullPath[1], nullptr);
    const std::string launchers[2] = {fullPath[0], fullPath[1]};

    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "orvane-startup-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    if (!CopyFileA((here + "start_timer_viewer.exe").c_str(), (folder + "Orvane.exe").c_str(), FALSE)) {
        std::fputs("could not copy the timing viewer\n", stderr);
        return 1;
    }

    std::vector<double> startMs[2], peakKiB[2];
    int failed = 0;
    for (int run = 0; run < 2 * runs; ++run) {
        const int which = run % 2;
        Sample sample;
        if (RunOnce(launchers[which], folder, run, sample)) {
            startMs[which].push_back(sample.startMs);
            peakKiB[which].push_back(sample.peakKiB);
        } else {
            std::printf("run %d of %s did not reach the viewer\n", run, launchers[which].c_str());
            ++failed;
        }
    }
    DeleteFileA((folder + "Orvane.exe").c_str());
    RemoveDirectoryA(folder.c_str());
    if (failed || startMs[0].empty() || startMs[1].empty()) {
        std::printf("%d of %d runs did not reach the viewer\n", failed, 2 * runs);
        return 1;
    }

    const double start[2] = {Median(startMs[0]), Median(startMs[1])};
    const double peak[2] = {Median(peakKiB[0]), Median(peakKiB[1])};
    std::printf("runs of each: %d, alternating\n", runs);
    std::printf("%-44s %12s %14s %7s\n", "median", "orvanecmd", argc > 3 ? "other" : "least launcher", "ratio");
    std::printf("%-44s %12.1f %14.1f %7.2f\n", "process creation to viewer start, ms", start[0], start[1],
                start[0] / start[1]);
    std::printf("%-44s %12.0f %14.0f %7.2f\n", "peak working set, KiB", peak[0], peak[1], peak[0] / peak[1]);
    std::printf("%-44s %12llu %14llu %7.2f\n", "exe size, bytes", FileSize(launchers[0]), FileSize(launchers[1]),
                static_cast<double>(FileSize(launchers[0])) / FileSize(launchers[1]));
    return 0;
}
