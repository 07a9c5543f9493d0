// Sha1Update over 16 KiB messages (a whole digest each), in MiB/s: the same
// source built for the host and for Windows, so scripts/bench.sh can show the
// two builds side by side. Prints the path and the median of 15 timings.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "support/sha1.h"
#include "support/sha1_paths.h"

int main() {
    std::vector<unsigned char> message(16384);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 131 + 7);
    unsigned char digest[20] = {};
    const int digestsPerTiming = 4000;  // 64 MiB, about 50 ms with the SHA extensions
    std::vector<double> rates;
    for (int timing = 0; timing < 15; ++timing) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < digestsPerTiming; ++i) {
            Sha1Context context;
            Sha1Init(&context);
            Sha1Update(&context, message.data(), static_cast<uint32_t>(message.size()));
            Sha1Final(&context, digest);
            message[0] = digest[0];  // each digest depends on the one before
        }
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        rates.push_back(digestsPerTiming * 16384.0 / 1048576.0 / seconds.count());
    }
    std::sort(rates.begin(), rates.end());
    std::printf("Sha1Update, 16 KiB, path %s: %.1f MiB/s (median of 15; best %.1f)\n",
                Sha1PathName(Sha1DispatchedPath()), rates[rates.size() / 2], rates.back());
    return 0;
}
