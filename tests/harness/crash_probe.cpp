// Test programs that go wrong on purpose, for tests/harness/check-wine-run.sh: each
// DISABLED_ test below, run alone, must make its CTest run fail.
//   crash_probe --gtest_also_run_disabled_tests --gtest_filter=Probe.DISABLED_<name>
//   crash_probe sleep   (a child that stays until it is killed)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/win_process.h"

namespace {

// Runs a child to its end and leaves a second one running, with their readers.
void RunChildren(std::unique_ptr<ChildProcess> &stays) {
    const std::string self = "\"" + SiblingProgramPath("crash_probe.exe") + "\"";
    ChildProcess lister(self + " --gtest_list_tests");
    std::string line;
    ASSERT_TRUE(lister.WaitForLine("Probe.", 30000, &line));
    ASSERT_TRUE(lister.WaitExit(30000));
    stays.reset(new ChildProcess(self + " sleep"));
}

void WriteThroughNull() { *static_cast<volatile int *>(nullptr) = 1; }

// Reports a crash on standard error alone and ends the process with status 0.
LONG WINAPI ReportAndEndWithZero(EXCEPTION_POINTERS *pointers) {
    std::fprintf(stderr, "unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 0);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

TEST(Probe, Passes) { SUCCEED(); }

TEST(Probe, DISABLED_CrashAlone) { WriteThroughNull(); }

TEST(Probe, DISABLED_CrashAfterChild) {
    std::unique_ptr<ChildProcess> stays;
    RunChildren(stays);
    WriteThroughNull();
}

// Without the crash report, as a program built without it would crash: Wine's
// debugger ends the process, and only what Wine prints shows the crash.
TEST(Probe, DISABLED_CrashUnreportedAfterChild) {
    std::unique_ptr<ChildProcess> stays;
    RunChildren(stays);
    SetUnhandledExceptionFilter(nullptr);
    WriteThroughNull();
}

// A crash after the summary, on the way out, without the crash report, once children
// (and their readers) have come and gone: only Wine shows it, Wine 8 in what its
// debugger prints as it ends the process with status 0, Wine 10 in the status.
TEST(Probe, DISABLED_CrashUnreportedAfterSummary) {
    std::unique_ptr<ChildProcess> stays;
    RunChildren(stays);
    stays.reset();
    SetUnhandledExceptionFilter(nullptr);
    std::atexit(WriteThroughNull);
}

// A crash after the summary, on the way out, that its handler reports on standard error
// alone before it ends the process with status 0: only that line shows the crash.
TEST(Probe, DISABLED_CrashReportedOnStandardErrorAfterSummary) {
    SetUnhandledExceptionFilter(ReportAndEndWithZero);
    std::atexit(WriteThroughNull);
}

// After a child has run and ended: with one still read from, the 32-bit Wine loader
// now and then faults on its way out (status 139) instead of ending with 0.
TEST(Probe, DISABLED_EndsInTheMiddle) {
    std::unique_ptr<ChildProcess> stays;
    RunChildren(stays);
    stays.reset();
    ExitProcess(0);
}

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "sleep") == 0) {
        Sleep(3000);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
