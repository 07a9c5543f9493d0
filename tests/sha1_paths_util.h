#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/sha1_paths.h"

// Every SHA-1 path this build has and this CPU runs, the portable one first.
inline std::vector<Sha1Path> Sha1PathsOfThisCpu() {
    std::vector<Sha1Path> paths;
    const Sha1Cpuid cpu = ReadSha1Cpuid();
    for (Sha1Path path : {Sha1Path::kPortable, Sha1Path::kSsse3, Sha1Path::kAvx2, Sha1Path::kShaExtensions})
        if (Sha1BlocksOf(path) && Sha1CpuRuns(path, cpu)) paths.push_back(path);
    return paths;
}

// The streaming calls on one path, or through the public functions (the
// dispatched path) when `path` is null.
struct Sha1Hasher {
    std::string name;
    const Sha1PathFunctions *path;

    void Update(Sha1Context *context, const void *input, uint32_t length) const {
        if (path)
            Sha1UpdateWith(*path, context, input, length);
        else
            Sha1Update(context, input, length);
    }
    void Final(Sha1Context *context, unsigned char digest[20]) const {
        if (path)
            Sha1FinalWith(*path, context, digest);
        else
            Sha1Final(context, digest);
    }
    // The digest of the bytes at `data`, fed to one context in pieces of these lengths.
    void DigestInPieces(const void *data, const std::vector<size_t> &pieces, unsigned char digest[20]) const {
        Sha1Context context;
        Sha1Init(&context);
        const unsigned char *at = static_cast<const unsigned char *>(data);
        for (size_t piece : pieces) {
            Update(&context, at, static_cast<uint32_t>(piece));
            at += piece;
        }
        Final(&context, digest);
    }
};

// The public functions and every path this CPU runs.
inline std::vector<Sha1Hasher> Sha1HashersOfThisCpu() {
    std::vector<Sha1Hasher> hashers{{"dispatched", nullptr}};
    for (Sha1Path path : Sha1PathsOfThisCpu()) hashers.push_back({Sha1PathName(path), Sha1FunctionsOf(path)});
    return hashers;
}

// A heap copy of `length` bytes that starts `offset` bytes into its allocation and
// ends where the allocation ends, so that AddressSanitizer sees any read past the
// message's end.
class Sha1ExactCopy {
public:
    Sha1ExactCopy(const void *bytes, size_t length, size_t offset)
        : storage_(new unsigned char[offset + length]), offset_(offset) {
        if (length > 0) std::memcpy(storage_.get() + offset, bytes, length);
    }
    const unsigned char *data() const { return storage_.get() + offset_; }

private:
    std::unique_ptr<unsigned char[]> storage_;
    size_t offset_;
};
