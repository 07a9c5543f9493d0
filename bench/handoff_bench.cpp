// The hand-off's path under Wine, from a later instance's start until the running
// instance has taken its text: tools/receiver.exe (CHandOffReceiver) against the old
// receiver pattern (the tests' old_receiver.exe), side by side, in alternating rounds.
//   handoff_bench.exe [rounds of each, at least 20]
// Each round starts the receiver as the first instance, waits until its window exists,
// then starts the same program as a later instance and times from just before
// CreateProcessA until the first instance reports the text.
// Then, in alternating rounds too, tools/receiver.exe's time from its start to its decision
// that it is the first instance: on a normal start (no instance ran), against a start
// after the running instance was killed while a later one still holds the instance mutex.
// Then, in alternating rounds, a later instance's time from just before CreateProcessA to
// the end of its check (it has ended) while the running tools/receiver.exe is idle, against
// one whose own thread is busy for good (--hang): the receiver answers from its own thread.
// Then, in alternating rounds, the same time for a request of 20 arguments (each a document's
// name of 40 UTF-16 units, and the working directory) to a receiver made with a request,
// against a text of today's form to a receiver made with a text.
// Then, in alternating rounds, the same time for a later instance that hands over a request
// and waits for its answer (--wait-answer), which the running receiver gives at once, against
// one that only hands over the same request.
// Last, a burst of 300 later instances (at most 40 alive at once) against a busy receiver:
// the texts per second it takes, against the rate at which Wine starts and ends 300
// programs that do nothing.
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

// From a receiver's start to its "first-instance" line; negative when it did not come.
double DecideOnce(bool afterCrash) {
    const std::string cls = "OrvaneBench_" + UniqueSuffix(), title = "OrvaneBenchTitle_" + UniqueSuffix();
    const std::string receiver = "\"" + StandInProgramPath("receiver.exe") + "\" " + cls + " " + title;
    std::unique_ptr<ChildProcess> crashed, holder;
    if (afterCrash) {
        crashed.reset(new ChildProcess(receiver));
        if (!crashed->WaitForLine("ready", 30000)) return -1;
        // A later instance that stays: it keeps the instance mutex in existence.
        holder.reset(new ChildProcess("\"" + SiblingProgramPath("handoff_child.exe") + "\" " + title + " " + cls +
                                      " --hold-event OrvaneBenchHold_" + UniqueSuffix()));
        if (!holder->WaitForLine("done", 30000)) return -1;
        crashed->Kill();
    }
    const double before = NowMs();
    ChildProcess next(receiver);
    if (!next.WaitForLine("first-instance", 30000)) return -1;
    return NowMs() - before;
}

// From a later instance's start to its end: receiver.exe with `firstOptions` runs, and
// receiver.exe with `laterOptions` (its text and options) is the later instance, which must
// end with status 0 (and, when given, have reported a line that starts with `laterLine`).
double CheckOnce(const std::string &firstOptions, const std::string &laterOptions, const std::string &laterLine = "") {
    const std::string names = "OrvaneBench_" + UniqueSuffix() + " OrvaneBenchTitle_" + UniqueSuffix();
    const std::string receiver = "\"" + StandInProgramPath("receiver.exe") + "\" " + names;
    ChildProcess first(receiver + firstOptions);
    if (!first.WaitForLine("ready", 30000)) return -1;
    const double before = NowMs();
    ChildProcess later(receiver + laterOptions);
    if (!later.WaitExit(30000) || later.ExitCode() != 0) return -1;
    const double ms = NowMs() - before;
    return laterLine.empty() || later.WaitForLine(laterLine, 5000) ? ms : -1;
}

// A request's 20 arguments as receiver.exe takes them: each "C:\docs\" + Japanese name in hex.
std::string TwentyArguments() {
    std::string options = " --request --dir-hex 43003a005c00";
    for (int i = 0; i < 20; ++i) {
        options += " --arg-hex 43003a005c0064006f00630073005c00";                     // C:\docs\ ...
        for (int unit = 0; unit < 32; ++unit) options += unit % 2 ? "4230" : "6830";  // ... then kana
    }
    return options;
}

// Starts `count` programs, at most `alive` at a time, and gives the seconds until the last
// has ended (and, with `receiver`, until it reported that many texts); negative on failure.
double Burst(const std::string &program, int count, int alive, ChildProcess *receiver) {
    const double before = NowMs();
    std::vector<std::unique_ptr<ChildProcess>> started(count);
    for (int i = 0, ended = 0; ended < count;) {
        if (i < count && i - ended < alive) {
            started[i] = std::unique_ptr<ChildProcess>(new ChildProcess(program + " " + std::to_string(i)));
            ++i;
        } else if (!started[ended++]->WaitExit(30000)) {
            return -1;
        }
    }
    for (int taken = 0; receiver && taken < count; ++taken)
        if (!receiver->WaitForLine("text ", 30000)) return -1;
    return (NowMs() - before) / 1000;
}

// Rounds of `once(0)` and `once(1)` in turn, their times into times[0] and times[1]; false,
// said, when a round did not finish (a negative time).
template <typename Round>
bool Alternate(int rounds, const char *what, Round once, std::vector<double> times[2]) {
    for (int round = 0; round < 2 * rounds; ++round) {
        const int which = round % 2;
        const double ms = once(which);
        if (ms < 0) {
            std::printf("%s round %d did not finish\n", what, round);
            return false;
        }
        times[which].push_back(ms);
    }
    return true;
}

void PrintMedians(const char *what, const char *names[2], std::vector<double> times[2]) {
    std::printf("median ms %s: %s %.1f, %s %.1f, ratio %.2f\n", what, names[0], Median(times[0]), names[1],
                Median(times[1]), Median(times[0]) / Median(times[1]));
    std::printf(
        "range: %s %.1f to %.1f, %s %.1f to %.1f\n", names[0], *std::min_element(times[0].begin(), times[0].end()),
        *std::max_element(times[0].begin(), times[0].end()), names[1],
        *std::min_element(times[1].begin(), times[1].end()), *std::max_element(times[1].begin(), times[1].end()));
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = std::max(20, argc > 1 ? std::atoi(argv[1]) : 20);
    const std::string programs[2] = {StandInProgramPath("receiver.exe"), SiblingProgramPath("old_receiver.exe")};
    const char *takenLines[2] = {"text ", "copydata "};
    std::vector<double> times[2];
    if (!Alternate(
            rounds, "hand-off", [&](int which) { return RunOnce(programs[which], takenLines[which]); }, times))
        return 1;
    std::printf("rounds of each: %d, alternating\n", rounds);
    const char *receivers[2] = {"CHandOffReceiver", "old pattern"};
    PrintMedians("from a later instance's start to its text taken", receivers, times);

    std::vector<double> decisions[2];
    if (!Alternate(
            rounds, "decision", [](int which) { return DecideOnce(which == 1); }, decisions))
        return 1;
    const char *starts[2] = {"normal start", "after a crash"};
    PrintMedians("from a receiver's start to its decision (first instance)", starts, decisions);

    std::vector<double> checks[2];
    if (!Alternate(
            rounds, "check", [](int which) { return CheckOnce(which == 0 ? " \"\" --hang" : "", " bench-text"); },
            checks))
        return 1;
    const char *states[2] = {"busy", "idle"};
    PrintMedians("from a later instance's start to the end of its check, the running one", states, checks);

    std::vector<double> forms[2];
    if (!Alternate(
            rounds, "request",
            [](int which) {
                return which == 0 ? CheckOnce(" \"\" --request", " \"\"" + TwentyArguments())
                                  : CheckOnce("", " bench-text");
            },
            forms))
        return 1;
    const char *payloads[2] = {"request of 20 arguments", "text"};
    PrintMedians("from a later instance's start to the end of its check, handing over a", payloads, forms);

    std::vector<double> answers[2];
    if (!Alternate(
            rounds, "answer",
            [](int which) {
                return which == 0 ? CheckOnce(" \"\" --request --answer 0 4f004b00",
                                              " \"\" --request --arg-hex 6100 --wait-answer 20000",
                                              "answer answered status=0 message=4f004b00")
                                  : CheckOnce(" \"\" --request", " \"\" --request --arg-hex 6100", "handed-off");
            },
            answers))
        return 1;
    const char *waits[2] = {"request answered", "request only"};
    PrintMedians("from a later instance's start to its end, handing over a", waits, answers);

    const int kBurst = 300, kAlive = 40;
    const std::string names = "OrvaneBench_" + UniqueSuffix() + " OrvaneBenchTitle_" + UniqueSuffix();
    ChildProcess running("\"" + StandInProgramPath("receiver.exe") + "\" " + names +
                         " \"\" --close-on OrvaneBenchClose_" + UniqueSuffix());
    if (!running.WaitForLine("ready", 30000)) return 1;
    const double handOffs = Burst("\"" + StandInProgramPath("receiver.exe") + "\" " + names, kBurst, kAlive, &running);
    // handoff_child without its arguments ends at once.
    const double bareStarts = Burst("\"" + SiblingProgramPath("handoff_child.exe") + "\"", kBurst, kAlive, nullptr);
    if (handOffs < 0 || bareStarts < 0) {
        std::printf("a burst did not finish\n");
        return 1;
    }
    std::printf(
        "burst of %d later instances, %d at once: %.1f texts/s taken; Wine starts %.1f programs/s; "
        "ratio %.2f\n",
        kBurst, kAlive, kBurst / handOffs, kBurst / bareStarts, bareStarts / handOffs);
    return 0;
}
