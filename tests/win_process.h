#pragma once

// Test helpers for Windows tests that start real programs: child processes with
// their standard output captured, temporary folders and unique kernel-object names.

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>

// Folder of the running test program (the build's bin/), with a trailing backslash.
std::string ThisProgramFolder();
// Full path of a program built beside the running test program, e.g. "orvanecmd.exe".
std::string SiblingProgramPath(const char *fileName);
// Full path of a stand-in program (the build's standins folder), e.g. "Orvane.exe".
std::string StandInProgramPath(const char *fileName);
// A random suffix for kernel-object and window names, so runs never meet each other.
std::string UniqueSuffix();
// Whole contents of a file; empty when it does not exist.
std::string ReadWholeFile(const std::string &path);
// UTF-8 form of a UTF-16 text, for messages and comparisons.
std::string Utf8FromWide(const std::wstring &wide);
// Copies the program at `path` into `toFolder` under its own file name.
bool CopyProgram(const std::string &path, const std::string &toFolder);

// Points this program's import address table slot that holds `function` at
// `replacement`, so that code calling the import (the library's included) calls the
// replacement; gives back what the slot held, or null when no slot holds `function`.
void *SwapImport(void *function, void *replacement);

// `replacement` in this program's import slot of `function` until Restore or the object's end.
// `*real`, when given, gets what the slot held, for the replacement to call (null when no
// slot holds `function`): a value the compiler cannot see through, so the call never goes
// back through the swapped slot.
template <typename Function>
class ImportSwap {
public:
    ImportSwap(Function *function, Function *replacement, Function **real = nullptr)
        : replacement_(replacement),
          real_(reinterpret_cast<Function *>(
              SwapImport(reinterpret_cast<void *>(function), reinterpret_cast<void *>(replacement)))) {
        if (real) *real = real_;
    }
    ~ImportSwap() { Restore(); }
    ImportSwap(const ImportSwap &) = delete;
    ImportSwap &operator=(const ImportSwap &) = delete;
    bool Installed() const { return real_ != nullptr; }
    void Restore() {
        if (real_) SwapImport(reinterpret_cast<void *>(replacement_), reinterpret_cast<void *>(real_));
        real_ = nullptr;
    }

private:
    Function *replacement_;
    Function *real_;
};

// A new empty folder under %TEMP%, removed with its files when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &Path() const { return path_; }  // ends with a backslash
    std::string File(const char *name) const { return path_ + name; }

private:
    std::string path_;
};

struct ChildOptions {
    std::string applicationName;  // empty: taken from the command line
    std::string workingFolder;    // empty: the test's own current folder
    bool captureStdout = true;    // read the child's standard output with ReadLine
    bool useShowWindow = false;   // pass showWindow through STARTF_USESHOWWINDOW
    WORD showWindow = SW_SHOWNORMAL;
};

// A process started from an exact command line: an ANSI one as CreateProcessA would
// take it (converted from the ANSI code page), or a UTF-16 one. The destructor
// kills it if it still runs. A failed wait for a line, and the end of a test that has
// failed, print on standard error why the child ended: its exit status and what it
// wrote to its standard error (captured with its standard output).
class ChildProcess {
public:
    explicit ChildProcess(const std::string &commandLine, const ChildOptions &options = ChildOptions());
    explicit ChildProcess(const std::wstring &commandLine, const ChildOptions &options = ChildOptions());
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }

    // Next line of standard output without its line end; false on time-out or end of output.
    bool ReadLine(std::string &line, DWORD timeoutMs);
    // Reads lines until one starts with `prefix`; that line goes to *line when given.
    bool WaitForLine(const std::string &prefix, DWORD timeoutMs, std::string *line = nullptr);
    // Everything printed so far that ReadLine has not taken.
    std::string UnreadOutput();

    // True once it has ended; its output is then read to the end (UnreadOutput).
    bool WaitExit(DWORD timeoutMs);
    DWORD ExitCode() const;  // STILL_ACTIVE while it runs
    void Kill();
    // Suspends (or resumes) each of its threads: it then cannot run at all, as when stopped in
    // a debugger. False when none could be reached.
    bool SetSuspended(bool suspended);
    // Its command line, how it started or ended, and its standard error so far.
    std::string Diagnosis();

private:
    struct Pipe {
        ChildProcess *owner = nullptr;
        HANDLE readEnd = nullptr;
        HANDLE reader = nullptr;
        std::string text;
        bool ended = true;
    };
    static DWORD WINAPI ReadAll(void *pipe);
    void Start(std::wstring commandLine, const ChildOptions &options);
    void StartReader(Pipe &pipe);
    void StopReader(Pipe &pipe);
    void ReportFailedWait(const char *what);

    std::string commandLine_;
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    DWORD createError_ = ERROR_SUCCESS;
    std::mutex lock_;
    std::condition_variable changed_;
    Pipe stdout_;
    Pipe stderr_;
    bool reported_ = false;
};
