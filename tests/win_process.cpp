#include "tests/win_process.h"

#include <chrono>
#include <random>
#include <vector>

std::string ThisProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string SiblingProgramPath(const char *fileName) { return ThisProgramFolder() + fileName; }

std::string StandInProgramPath(const char *fileName) {
    return ThisProgramFolder() + ORVANE_STANDINS_FROM_BIN + "\\" + fileName;
}

std::string UniqueSuffix() {
    std::random_device seed;
    std::mt19937_64 random(seed() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ GetTickCount64());
    char text[32];
    wsprintfA(text, "%08lx%08lx", static_cast<unsigned long>(random()), static_cast<unsigned long>(random()));
    return text;
}

std::string ReadWholeFile(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string contents;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) contents.append(chunk, got);
    CloseHandle(file);
    return contents;
}

bool CopyProgram(const std::string &path, const std::string &toFolder) {
    const std::string fileName = path.substr(path.find_last_of('\\') + 1);
    return CopyFileA(path.c_str(), (toFolder + fileName).c_str(), FALSE) != 0;
}

TempFolder::TempFolder() {
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "orvane-test-" + UniqueSuffix() + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path_ + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((path_ + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

ChildProcess::ChildProcess(const std::string &commandLine, const ChildOptions &options) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (options.useShowWindow) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = options.showWindow;
    }
    HANDLE writeEnd = nullptr;
    HANDLE nul = INVALID_HANDLE_VALUE;
    if (options.captureStdout) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        CreatePipe(&readEnd_, &writeEnd, &inheritable, 0);
        SetHandleInformation(readEnd_, HANDLE_FLAG_INHERIT, 0);
        nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                          nullptr);
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    PROCESS_INFORMATION started = {};
    const char *folder = options.workingFolder.empty() ? nullptr : options.workingFolder.c_str();
    const char *application = options.applicationName.empty() ? nullptr : options.applicationName.c_str();
    if (CreateProcessA(application, writable.data(), nullptr, nullptr, options.captureStdout, 0, nullptr, folder,
                       &startup, &started)) {
        process_ = started.hProcess;
        id_ = started.dwProcessId;
        CloseHandle(started.hThread);
    }
    // Only the child keeps the write end, so the pipe ends when the child does.
    if (writeEnd) CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (readEnd_) reader_ = CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr);
    if (!reader_) outputEnded_ = true;
}

ChildProcess::~ChildProcess() {
    Kill();
    if (reader_) {
        // A grandchild may still hold the pipe open; do not wait for it for ever.
        if (WaitForSingleObject(reader_, 3000) == WAIT_TIMEOUT) {
            CancelSynchronousIo(reader_);
            if (WaitForSingleObject(reader_, 1000) == WAIT_TIMEOUT) TerminateThread(reader_, 1);
        }
        CloseHandle(reader_);
    }
    if (readEnd_) CloseHandle(readEnd_);
    if (process_) CloseHandle(process_);
}

DWORD WINAPI ChildProcess::ReaderThread(void *self) {
    auto *child = static_cast<ChildProcess *>(self);
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(child->readEnd_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> hold(child->lock_);
        child->output_.append(chunk, got);
        child->changed_.notify_all();
    }
    std::lock_guard<std::mutex> hold(child->lock_);
    child->outputEnded_ = true;
    child->changed_.notify_all();
    return 0;
}

bool ChildProcess::ReadLine(std::string &line, DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    const bool complete = changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                            [this] { return output_.find('\n') != std::string::npos || outputEnded_; });
    const size_t end = output_.find('\n');
    if (!complete || end == std::string::npos) return false;
    line = output_.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    output_.erase(0, end + 1);
    return true;
}

bool ChildProcess::WaitForLine(const std::string &prefix, DWORD timeoutMs, std::string *line) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::string next;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        if (!ReadLine(next, static_cast<DWORD>(deadline - now))) return false;
        if (next.compare(0, prefix.size(), prefix) == 0) {
            if (line) *line = next;
            return true;
        }
    }
}

std::string ChildProcess::UnreadOutput() {
    std::lock_guard<std::mutex> hold(lock_);
    return output_;
}

bool ChildProcess::WaitExit(DWORD timeoutMs) {
    return process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_, &code);
    return code;
}

void ChildProcess::Kill() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 5000);
    }
}
