// The hand-off's path under Wine, from a later instance's start until the running
// instance has taken its text: tools/receiver.exe (CHandOffReceiver) against the old
// receiver pattern (the tests' old_receiver.exe), side by side, in alternating rounds.
//   handoff_bench.exe [rounds of each, at least 20]
// Each round starts the receiver as the first instance, waits until its window exists,
// then starts the same program as a later instance and times from just before
// CreateProcessA until the first instance reports the text.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/win_process.h"

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return now.QuadPart * 1000.0 / frequency.QuadPart;
}

// One round; a negative time when a program did not answer.
double RunOnce(const std::string &program, const char *takenLine) {
    const std::string names = "OrvaneBench_" + UniqueSuffix() + " OrvaneBenchTitle_" + UniqueSuffix();
    ChildProcess first("\"" + program + "\" " + names);
    if (!first.WaitForLine("ready", 30000)) return -1;
    const double before = NowMs();
    ChildProcess later("\"" + program + "\" " + names + " bench-text");
    if (!first.WaitForLine(takenLine, 30000)) return -1;
    const double taken = NowMs() - before;
    later.WaitExit(30000);
    return taken;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = std::max(20, argc > 1 ? std::atoi(argv[1]) : 20);
    const std::string programs[2] = {StandInProgramPath("receiver.exe"), SiblingProgramPath("old_receiver.exe")};
    const char *takenLines[2] = {"text ", "copydata "};
    std::vector<double> times[2];
    for (int round = 0; round < 2 * rounds; ++round) {
        const int which = round % 2;
        const double ms = RunOnce(programs[which], takenLines[which]);
        if (ms < 0) {
            std::printf("round %d of %s did not finish\n", round, programs[which].c_str());
            return 1;
        }
        times[which].push_back(ms);
    }
    const double median[2] = {Median(times[0]), Median(times[1])};
    std::printf("rounds of each: %d, alternating\n", rounds);
    std::printf(
        "median ms from a later instance's start to its text taken: CHandOffReceiver %.1f, old pattern %.1f, "
        "ratio %.2f\n",
        median[0], median[1], median[0] / median[1]);
    std::printf(
        "range: CHandOffReceiver %.1f to %.1f, old pattern %.1f to %.1f\n",
        *std::min_element(times[0].begin(), times[0].end()), *std::max_element(times[0].begin(), times[0].end()),
        *std::min_element(times[1].begin(), times[1].end()), *std::max_element(times[1].begin(), times[1].end()));
    return 0;
}
