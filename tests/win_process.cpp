#include "tests/win_process.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <random>

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

void *SwapImport(void *function, void *replacement) {
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleA(nullptr));
    auto *headers = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports); dll->Name != 0; ++dll) {
        for (auto **slot = reinterpret_cast<void **>(base + dll->FirstThunk); *slot != nullptr; ++slot) {
            if (*slot != function) continue;
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            *slot = replacement;
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            return function;
        }
    }
    return nullptr;
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

namespace {
std::wstring WideFromCodePage(UINT codePage, const std::string &text) {
    std::wstring wide(text.size(), L'\0');  // never more units than bytes
    wide.resize(static_cast<size_t>(MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                                        &wide[0], static_cast<int>(wide.size()))));
    return wide;
}
}  // namespace

std::string Utf8FromWide(const std::wstring &wide) {
    std::string text(wide.size() * 3, '\0');  // never more than 3 bytes a unit
    text.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                        &text[0], static_cast<int>(text.size()), nullptr, nullptr)));
    return text;
}

// CreateProcessA converts its texts from the ANSI code page and calls CreateProcessW.
ChildProcess::ChildProcess(const std::string &commandLine, const ChildOptions &options) : commandLine_(commandLine) {
    Start(WideFromCodePage(CP_ACP, commandLine), options);
}

ChildProcess::ChildProcess(const std::wstring &commandLine, const ChildOptions &options)
    : commandLine_(Utf8FromWide(commandLine)) {
    Start(commandLine, options);
}

void ChildProcess::Start(std::wstring commandLine, const ChildOptions &options) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (options.useShowWindow) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = options.showWindow;
    }
    HANDLE stdoutWrite = nullptr;
    HANDLE stderrWrite = nullptr;
    HANDLE nul = INVALID_HANDLE_VALUE;
    if (options.captureStdout) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        CreatePipe(&stdout_.readEnd, &stdoutWrite, &inheritable, 0);
        CreatePipe(&stderr_.readEnd, &stderrWrite, &inheritable, 0);
        SetHandleInformation(stdout_.readEnd, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(stderr_.readEnd, HANDLE_FLAG_INHERIT, 0);
        nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                          nullptr);
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = stdoutWrite;
        startup.hStdError = stderrWrite;
    }
    PROCESS_INFORMATION started = {};
    const std::wstring folderName = WideFromCodePage(CP_ACP, options.workingFolder);
    const std::wstring applicationName = WideFromCodePage(CP_ACP, options.applicationName);
    const wchar_t *folder = folderName.empty() ? nullptr : folderName.c_str();
    const wchar_t *application = applicationName.empty() ? nullptr : applicationName.c_str();
    // Under load, Wine 8 now and then fails a creation with ERROR_INTERNAL_ERROR: the
    // new process died before it had finished starting, before the program's entry
    // point, so none of the program's own code ran. Only that failure is tried again,
    // and each time is reported.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        // CreateProcessW may write into the command line: commandLine is a copy of our own.
        if (CreateProcessW(application, &commandLine[0], nullptr, nullptr, options.captureStdout, 0, nullptr, folder,
                           &startup, &started)) {
            process_ = started.hProcess;
            id_ = started.dwProcessId;
            CloseHandle(started.hThread);
            break;
        }
        createError_ = GetLastError();
        if (createError_ != ERROR_INTERNAL_ERROR) break;
        std::fprintf(stderr, "[child] %s: CreateProcessW failed with ERROR_INTERNAL_ERROR (attempt %d of 3)\n",
                     commandLine_.c_str(), attempt);
    }
    // Only the child keeps the write ends, so the pipes end when the child does.
    if (stdoutWrite) CloseHandle(stdoutWrite);
    if (stderrWrite) CloseHandle(stderrWrite);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    StartReader(stdout_);
    StartReader(stderr_);
}

ChildProcess::~ChildProcess() {
    if (::testing::Test::HasFailure() && !reported_) std::fprintf(stderr, "%s", Diagnosis().c_str());
    Kill();
    StopReader(stdout_);
    StopReader(stderr_);
    if (process_) CloseHandle(process_);
}

void ChildProcess::StartReader(Pipe &pipe) {
    if (!pipe.readEnd) return;
    pipe.owner = this;
    pipe.ended = false;
    pipe.reader = CreateThread(nullptr, 0, ReadAll, &pipe, 0, nullptr);
    if (!pipe.reader) pipe.ended = true;
}

void ChildProcess::StopReader(Pipe &pipe) {
    if (pipe.reader) {
        // A grandchild may still hold the pipe open; do not wait for it for ever.
        if (WaitForSingleObject(pipe.reader, 3000) == WAIT_TIMEOUT) {
            CancelSynchronousIo(pipe.reader);
            if (WaitForSingleObject(pipe.reader, 1000) == WAIT_TIMEOUT) TerminateThread(pipe.reader, 1);
        }
        CloseHandle(pipe.reader);
    }
    if (pipe.readEnd) CloseHandle(pipe.readEnd);
}

DWORD WINAPI ChildProcess::ReadAll(void *pipeToRead) {
    Pipe &pipe = *static_cast<Pipe *>(pipeToRead);
    ChildProcess &child = *pipe.owner;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe.readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> hold(child.lock_);
        pipe.text.append(chunk, got);
        child.changed_.notify_all();
    }
    std::lock_guard<std::mutex> hold(child.lock_);
    pipe.ended = true;
    child.changed_.notify_all();
    return 0;
}

bool ChildProcess::ReadLine(std::string &line, DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    std::string &output = stdout_.text;
    const bool complete = changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this, &output] {
        return output.find('\n') != std::string::npos || stdout_.ended;
    });
    const size_t end = output.find('\n');
    if (!complete || end == std::string::npos) {
        hold.unlock();
        ReportFailedWait(complete ? "its output ended without another line" : "no line in time");
        return false;
    }
    line = output.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    output.erase(0, end + 1);
    return true;
}

bool ChildProcess::WaitForLine(const std::string &prefix, DWORD timeoutMs, std::string *line) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::string next;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            ReportFailedWait(("no line starting \"" + prefix + "\" in time").c_str());
            return false;
        }
        if (!ReadLine(next, static_cast<DWORD>(deadline - now))) return false;
        if (next.compare(0, prefix.size(), prefix) == 0) {
            if (line) *line = next;
            return true;
        }
    }
}

std::string ChildProcess::UnreadOutput() {
    std::lock_guard<std::mutex> hold(lock_);
    return stdout_.text;
}

void ChildProcess::ReportFailedWait(const char *what) {
    reported_ = true;
    std::fprintf(stderr, "[child] waited for a line in vain (%s)\n%s", what, Diagnosis().c_str());
}

std::string ChildProcess::Diagnosis() {
    char status[96] = "still running";
    const bool ended = !process_ || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    if (!process_) {
        std::snprintf(status, sizeof status, "never started: CreateProcessW failed with error %lu",
                      static_cast<unsigned long>(createError_));
    } else if (ended) {
        std::snprintf(status, sizeof status, "ended with exit status 0x%lx", static_cast<unsigned long>(ExitCode()));
    }
    std::unique_lock<std::mutex> hold(lock_);
    // Once it has ended, the rest of its standard error may still be on its way.
    if (ended) changed_.wait_for(hold, std::chrono::milliseconds(1000), [this] { return stderr_.ended; });
    return "[child] " + commandLine_ + " (process " + std::to_string(id_) + "): " + status +
           "\n[child] unread standard output: " + stdout_.text + "\n[child] standard error: " + stderr_.text + "\n";
}

bool ChildProcess::WaitExit(DWORD timeoutMs) {
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return false;
    // What it wrote last may still be in the pipe: let the readers take it, unless a
    // grandchild holds the pipe open.
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(2000), [this] { return stdout_.ended && stderr_.ended; });
    return true;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_, &code);
    return code;
}

bool ChildProcess::SetSuspended(bool suspended) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    int reached = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != id_) continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (!thread) continue;
        if ((suspended ? SuspendThread(thread) : ResumeThread(thread)) != static_cast<DWORD>(-1)) ++reached;
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return reached > 0;
}

void ChildProcess::Kill() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 5000);
    }
}
