#pragma once
// Included by one source of each Windows test program that CTest runs once per code
// page: each run names the ANSI code page it sets up (ORVANE_REQUIRE_CODE_PAGE, with
// LC_ALL), so the cases that depend on it are known to run in both.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

TEST(CodePage, IsTheOneThisRunAsksFor) {
    const char *required = std::getenv("ORVANE_REQUIRE_CODE_PAGE");
    if (!required) GTEST_SKIP() << "no code page asked for";
    EXPECT_EQ(static_cast<UINT>(std::atoi(required)), GetACP());
}
