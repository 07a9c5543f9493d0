// The demo run: starts orvanecmd.exe from the build's bin folder with an exact command
// line and this program's folder (where the stand-in Orvane.exe is) as its current
// folder, prints what the viewer received, follows the two-minute linger and prints
// the exit status.
//   orvane-demo.exe                -> the built-in argument text
//   orvane-demo.exe "<arguments>"  -> your own argument text (14 prefix bytes, then the tail)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
// 14 prefix bytes, then a tail with quotes and runs of blanks.
const char kDefaultArguments[] = "ORVANE-PREFIX:  \"C:\\Pictures\\My Holiday.jpg\"  /page 2 \"last  word\"";

std::string Folder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string LauncherPath(const std::string &folder) {
    char path[MAX_PATH] = "";
    GetFullPathNameA((folder + ORVANE_LAUNCHER_FROM_STANDINS).c_str(), MAX_PATH, path, nullptr);
    return path;
}

std::string ReadFileText(const std::string &path) {
    std::string text;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        char chunk[1024];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}
}  // namespace

int main(int argc, char **argv) {
    const std::string folder = Folder();
    const std::string arguments = argc > 1 ? argv[1] : kDefaultArguments;
    const std::string commandLine = "\"" + LauncherPath(folder) + "\"  " + arguments;
    const std::string record = folder + "Orvane-received.txt";
    DeleteFileA(record.c_str());

    std::printf("launcher command line: [%s]\n", commandLine.c_str());
    std::printf("expected viewer parameters: [%s]\n", arguments.size() >= 14 ? arguments.c_str() + 14 : "");
    std::fflush(stdout);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &started)) {
        std::printf("could not start orvanecmd.exe (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(started.hThread);

    const ULONGLONG begin = GetTickCount64();
    bool reported = false;
    DWORD wait = WAIT_TIMEOUT;
    while (wait == WAIT_TIMEOUT) {
        wait = WaitForSingleObject(started.hProcess, 1000);
        const std::string received = ReadFileText(record);
        if (!reported && !received.empty()) {
            // pid TAB show TAB parameters TAB command line
            const size_t a = received.find('\t'), b = received.find('\t', a + 1), c = received.find('\t', b + 1);
            std::printf("\rviewer received parameters: [%s] (show command %s)\n",
                        received.substr(b + 1, c - b - 1).c_str(), received.substr(a + 1, b - a - 1).c_str());
            reported = true;
        }
        const unsigned seconds = static_cast<unsigned>((GetTickCount64() - begin) / 1000);
        std::printf("\rlingering: %3u s of 120 s", seconds);
        std::fflush(stdout);
    }
    DWORD status = 0;
    GetExitCodeProcess(started.hProcess, &status);
    CloseHandle(started.hProcess);
    if (!reported) std::printf("\nthe viewer did not report a start\n");
    std::printf("\norvanecmd.exe exited with status %lu after %.1f s\n", status, (GetTickCount64() - begin) / 1000.0);
    return 0;
}
