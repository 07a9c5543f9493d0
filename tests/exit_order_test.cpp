// The order of the exit, observed in a child process: the global CWindows goes
// first (its arrays and the MCI close in member order), then the framework's exit
// procedures, then the hidden window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/app_objects.h"
#include "seams/mci.h"
#include "tests/win_process.h"

namespace {

std::vector<std::string> RunChild(const char *program, const char *arguments, DWORD *exitCode) {
    ChildProcess child("\"" + SiblingProgramPath(program) + "\" " + arguments);
    std::vector<std::string> lines;
    std::string line;
    while (child.ReadLine(line, 20000)) lines.push_back(line);
    EXPECT_TRUE(child.WaitExit(20000));
    *exitCode = child.ExitCode();
    return lines;
}

const std::vector<std::string> kExitWithArrays = {
    "framework ready before CWindows",
    "main returns",
    "delete[] CApplication first",
    "delete[] CApplication second",
    "delete[] CSystem first",
    "delete[] CSystem second",
    "mciSendCommandA(0, 0x0804, 0, 0)",
    "delete[] CDeskTop",
    "delete[] CShell",
    "exit procedure (application running: no)",
    "hidden window destroyed",
};

TEST(ExitOrder, ArraysMciCloseExitProceduresThenWindow) {
    // Built twice, with the unit that holds the globals first and last in the link.
    for (const char *program : {"exit_order_child_a.exe", "exit_order_child_b.exe"}) {
        DWORD exitCode = 1;
        EXPECT_EQ(kExitWithArrays, RunChild(program, "", &exitCode)) << program;
        EXPECT_EQ(0u, exitCode) << program;
    }
}

TEST(ExitOrder, NullArraysAreSkipped) {
    const std::vector<std::string> expected = {
        "framework ready before CWindows",  "main returns",
        "mciSendCommandA(0, 0x0804, 0, 0)", "exit procedure (application running: no)",
        "hidden window destroyed",
    };
    DWORD exitCode = 1;
    EXPECT_EQ(expected, RunChild("exit_order_child_a.exe", "--null-arrays", &exitCode));
    EXPECT_EQ(0u, exitCode);
}

MCIDEVICEID closedDevice = 0;
UINT closeMessage = 0;
DWORD_PTR closeFlags = 1, closeParameters = 1;
MCIERROR WINAPI RecordClose(MCIDEVICEID device, UINT message, DWORD_PTR flags, DWORD_PTR parameters) {
    closedDevice = device;
    closeMessage = message;
    closeFlags = flags;
    closeParameters = parameters;
    return 263;  // MCIERR_INVALID_DEVICE_NAME
}

TEST(SystemSound, CloseSendsMciCloseToTheHeldDeviceAndReturnsTheResult) {
    ScopedSeam<seams::MciSendCommandAFn> mci(seams::mciSendCommandA, RecordClose);
    static CSystemSound sound;  // static storage: fields start at zero
    EXPECT_EQ(0u, sound.DeviceId);
    sound.DeviceId = 7;
    EXPECT_EQ(263u, sound.Close());
    EXPECT_EQ(7u, closedDevice);
    EXPECT_EQ(static_cast<UINT>(MCI_CLOSE), closeMessage);
    EXPECT_EQ(0u, closeFlags);
    EXPECT_EQ(0u, closeParameters);
    sound.DeviceId = 0;
}

TEST(SystemSound, RealMciCloseOfANeverOpenedDeviceFailsQuietly) {
    CSystemSound sound;
    sound.DeviceId = 0;
    const MCIERROR result = sound.Close();
    EXPECT_NE(0u, result);
    // winmm.dll is loaded on the call: the answer is winmm's own, not a failed load.
    EXPECT_EQ(::mciSendCommandA(0, MCI_CLOSE, 0, 0), result);
}

}  // namespace
