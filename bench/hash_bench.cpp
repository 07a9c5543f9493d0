// The SHA-1 paths and the MD5 transform against OpenSSL's libcrypto, in one run.
//
// OpenSSL reads OPENSSL_ia32cap once, when libcrypto starts. To measure its
// default dispatch and its code without the SHA extensions in the same process,
// the program uses the libcrypto it is linked with for the default, and loads
// private copies of the same library file with dlmopen (each in a new link-map
// namespace, so it is initialised afresh) after setting OPENSSL_ia32cap:
// ":~0x20000000" clears the SHA-extensions bit (capability bit 64+29); a third
// copy also loses SSSE3, AVX and AVX2, which leaves OpenSSL's scalar code.
//
// Without arguments, each benchmark is repeated 10 times in random interleaving
// and the table at the end compares the medians (and the best repetitions).
// Any Google Benchmark flag may be given to override that.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level SHA1_* and MD5_* calls, cheapest for short messages

#include <dlfcn.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/md5.h"
#include "support/sha1.h"
#include "support/sha1_paths.h"

namespace {

// Capability bit 64+29: the SHA extensions.
constexpr const char *kNoShaExtensions = ":~0x20000000";
// Also SSSE3 (bit 41), AVX (bit 60), and AVX2 (64+5): OpenSSL's scalar x86_64 code.
constexpr const char *kScalarOnly = "~0x1000020000000000:~0x20000020";

struct OpenSslCalls {
    int (*sha1Init)(SHA_CTX *);
    int (*sha1Update)(SHA_CTX *, const void *, size_t);
    int (*sha1Final)(unsigned char *, SHA_CTX *);
    int (*md5Init)(MD5_CTX *);
    int (*md5Update)(MD5_CTX *, const void *, size_t);
};

template <typename Fn>
Fn Symbol(void *library, const char *name) {
    void *address = dlsym(library, name);
    if (!address) {
        std::fprintf(stderr, "hash_bench: %s not found: %s\n", name, dlerror());
        std::exit(2);
    }
    return reinterpret_cast<Fn>(address);
}

// Another libcrypto, from the same file as the linked one, initialised with
// `capabilities` in OPENSSL_ia32cap.
OpenSslCalls LoadCopy(const char *capabilities) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&SHA1_Update), &info) || !info.dli_fname) {
        std::fprintf(stderr, "hash_bench: cannot find the file of libcrypto\n");
        std::exit(2);
    }
    setenv("OPENSSL_ia32cap", capabilities, 1);
    void *library = dlmopen(LM_ID_NEWLM, info.dli_fname, RTLD_NOW | RTLD_LOCAL);
    unsetenv("OPENSSL_ia32cap");
    if (!library) {
        std::fprintf(stderr, "hash_bench: dlmopen %s: %s\n", info.dli_fname, dlerror());
        std::exit(2);
    }
    std::printf("libcrypto %s: a copy with OPENSSL_ia32cap=%s\n", info.dli_fname, capabilities);
    return {Symbol<decltype(OpenSslCalls::sha1Init)>(library, "SHA1_Init"),
            Symbol<decltype(OpenSslCalls::sha1Update)>(library, "SHA1_Update"),
            Symbol<decltype(OpenSslCalls::sha1Final)>(library, "SHA1_Final"),
            Symbol<decltype(OpenSslCalls::md5Init)>(library, "MD5_Init"),
            Symbol<decltype(OpenSslCalls::md5Update)>(library, "MD5_Update")};
}

// Short messages around the padding's edges (one final block or two; up to three
// blocks in all), and long ones.
constexpr size_t kSha1Sizes[] = {0, 1, 55, 56, 63, 64, 65, 128, 16384, 1048576};

std::string SizeTag(size_t size) {
    if (size >= 1048576) return std::to_string(size / 1048576) + "MiB";
    if (size >= 16384) return std::to_string(size / 1024) + "KiB";
    return std::to_string(size) + "B";
}

std::vector<unsigned char> Message(size_t size) {
    std::vector<unsigned char> bytes(size);
    uint32_t x = 0x12345678u;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return bytes;
}

// Bytes per second for the console, and digests (or transforms) per second for
// the ratio table, which also holds for empty messages.
void Count(benchmark::State &state, size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// One whole digest (init, update, final) per iteration, through the public
// functions (path null: the dispatched path) or on one path.
void OurSha1(benchmark::State &state, const Sha1PathFunctions *path, size_t size) {
    const std::vector<unsigned char> message = Message(size);
    unsigned char digest[20];
    for (auto _ : state) {
        Sha1Context context;
        Sha1Init(&context);
        if (path) {
            Sha1UpdateWith(*path, &context, message.data(), static_cast<uint32_t>(message.size()));
            Sha1FinalWith(*path, &context, digest);
        } else {
            Sha1Update(&context, message.data(), static_cast<uint32_t>(message.size()));
            Sha1Final(&context, digest);
        }
        benchmark::DoNotOptimize(digest);
    }
    Count(state, size);
}

void OpenSslSha1(benchmark::State &state, const OpenSslCalls *calls, size_t size) {
    const std::vector<unsigned char> message = Message(size);
    unsigned char digest[20];
    for (auto _ : state) {
        SHA_CTX context;
        calls->sha1Init(&context);
        calls->sha1Update(&context, message.data(), message.size());
        calls->sha1Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    Count(state, size);
}

// Whole blocks only: the transform has no padding, so neither side finishes.
void PortableMd5(benchmark::State &state, size_t size) {
    const std::vector<unsigned char> message = Message(size);
    uint32_t words[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
    for (auto _ : state) {
        for (size_t i = 0; i < size; i += 64) Md5Transform(words, message.data() + i);
        benchmark::DoNotOptimize(words);
    }
    Count(state, size);
}

void OpenSslMd5(benchmark::State &state, const OpenSslCalls *calls, size_t size) {
    const std::vector<unsigned char> message = Message(size);
    MD5_CTX context;
    calls->md5Init(&context);
    for (auto _ : state) {
        calls->md5Update(&context, message.data(), message.size());
        benchmark::DoNotOptimize(context);
    }
    Count(state, size);
}

// Keeps the digests per second of every repetition for the ratio table: the
// median, and the best, which is the least disturbed by other load.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto found = run.counters.find("items_per_second");
            if (found != run.counters.end()) rates_[run.run_name.str()].push_back(found->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatio(const char *label, const std::string &ours, const std::string &theirs, double target) const {
        auto a = rates_.find(ours), b = rates_.find(theirs);
        if (a == rates_.end() || b == rates_.end()) return;
        const double medianRatio = Median(a->second) / Median(b->second);
        const double bestRatio = Best(a->second) / Best(b->second);
        std::printf("%-48s %9.1f / %9.1f ns = %5.3f   best %9.1f / %9.1f = %5.3f", label, 1e9 / Median(a->second),
                    1e9 / Median(b->second), medianRatio, 1e9 / Best(a->second), 1e9 / Best(b->second), bestRatio);
        if (target > 0) std::printf("   target %.2f %s", target, medianRatio >= target ? "met" : "NOT met");
        std::printf("\n");
    }

private:
    static double Median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
    static double Best(const std::vector<double> &values) { return *std::max_element(values.begin(), values.end()); }

    std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char **argv) {
    if (std::getenv("OPENSSL_ia32cap")) {
        std::fprintf(stderr, "hash_bench: unset OPENSSL_ia32cap; the program sets it itself for the second copy\n");
        return 2;
    }
    static const OpenSslCalls linked = {SHA1_Init, SHA1_Update, SHA1_Final, MD5_Init, MD5_Update};
    static const OpenSslCalls masked = LoadCopy(kNoShaExtensions);
    static const OpenSslCalls scalar = LoadCopy(kScalarOnly);

    // The vector-schedule path this CPU runs, forced even where the SHA extensions are there.
    const Sha1Cpuid cpu = ReadSha1Cpuid();
    const Sha1Path vector = Sha1CpuRuns(Sha1Path::kAvx2, cpu)    ? Sha1Path::kAvx2
                            : Sha1CpuRuns(Sha1Path::kSsse3, cpu) ? Sha1Path::kSsse3
                                                                 : Sha1Path::kPortable;
    std::printf("SHA-1 paths: dispatched %s, vector %s\n", Sha1PathName(Sha1DispatchedPath()), Sha1PathName(vector));
    for (size_t size : kSha1Sizes) {
        const std::string tag = "sha1/" + SizeTag(size);
        // The scalar code only where it was measured before: 64 bytes and the long messages.
        const bool scalarToo = size == 64 || size >= 16384;
        benchmark::RegisterBenchmark((tag + "/dispatched").c_str(), OurSha1, nullptr, size);
        benchmark::RegisterBenchmark((tag + "/vector").c_str(), OurSha1, Sha1FunctionsOf(vector), size);
        if (scalarToo)
            benchmark::RegisterBenchmark((tag + "/portable").c_str(), OurSha1, Sha1FunctionsOf(Sha1Path::kPortable),
                                         size);
        benchmark::RegisterBenchmark((tag + "/openssl").c_str(), OpenSslSha1, &linked, size);
        benchmark::RegisterBenchmark((tag + "/openssl-no-shaext").c_str(), OpenSslSha1, &masked, size);
        if (scalarToo) benchmark::RegisterBenchmark((tag + "/openssl-scalar").c_str(), OpenSslSha1, &scalar, size);
    }
    benchmark::RegisterBenchmark("md5/16KiB/Md5Transform", PortableMd5, size_t(16384));
    benchmark::RegisterBenchmark("md5/16KiB/openssl", OpenSslMd5, &linked, size_t(16384));

    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=10", interleave = "--benchmark_enable_random_interleaving=true";
    if (argc == 1) {
        args.push_back(&repetitions[0]);
        args.push_back(&interleave[0]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf(
        "\nours / OpenSSL: time per digest, and the ratio of the rates; medians of the repetitions (and best):\n");
    for (size_t size : kSha1Sizes) {
        const std::string sha1 = "sha1/" + SizeTag(size);
        // Short messages are mostly the last block, which ours builds without a
        // round trip through memory: 1.2 times OpenSSL's rate is the aim there.
        const double floor = size < 16384 ? 1.2 : 1.0;
        reporter.PrintRatio((sha1 + " dispatched vs OpenSSL default").c_str(), sha1 + "/dispatched", sha1 + "/openssl",
                            floor);
        reporter.PrintRatio((sha1 + " vector vs OpenSSL without SHA ext").c_str(), sha1 + "/vector",
                            sha1 + "/openssl-no-shaext", 0.95);
        reporter.PrintRatio((sha1 + " portable vs OpenSSL without SHA ext").c_str(), sha1 + "/portable",
                            sha1 + "/openssl-no-shaext", 0);
        reporter.PrintRatio((sha1 + " portable vs OpenSSL scalar").c_str(), sha1 + "/portable",
                            sha1 + "/openssl-scalar", 0);
    }
    reporter.PrintRatio("Md5Transform 16 KiB vs OpenSSL MD5", "md5/16KiB/Md5Transform", "md5/16KiB/openssl", 0.95);
    return 0;
}
