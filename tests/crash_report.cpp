// Linked into every Windows test program: a crash ends the program at once with the
// exception's code as its exit status, after one line on standard error. Left to
// Wine's debugger, a crashed process is ended from outside, and Wine 8 then hands the
// Unix side (CTest) an exit status of 0 whenever the process has had a second thread,
// such as a child's output reader: the crash would pass.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS *pointers) {
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    const auto address = reinterpret_cast<ULONG_PTR>(record->ExceptionAddress);
    char module[MAX_PATH] = "?";
    HMODULE base = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(record->ExceptionAddress), &base)) {
        GetModuleFileNameA(base, module, MAX_PATH);
    }
    const char *name = std::strrchr(module, '\\');
    std::fprintf(stderr, "unhandled exception 0x%08lx at %s+0x%llx\n", static_cast<unsigned long>(record->ExceptionCode),
                 name ? name + 1 : module, static_cast<unsigned long long>(address - reinterpret_cast<ULONG_PTR>(base)));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct CrashReport {
    CrashReport() { SetUnhandledExceptionFilter(EndWithExceptionCode); }
} crashReport;

}  // namespace
