// A caller with names of its own spelled as the library's, built against a release. It
// defines ORVANE_NO_GLOBAL_NAMES, so the library's headers put nothing in the global
// namespace: a header that still did would clash with one of the names below and fail the
// build. It reaches the library through orvane:: only.
//   no_global_names <text>   prints the headers' version, the SHA-1 hex of the text and
//                            the text that a later instance in this process handed over
// Any failure prints a line starting with "FAILED" and exits with 1.
#define ORVANE_NO_GLOBAL_NAMES

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <orvanecmd/framework/ansi_string.h>
#include <orvanecmd/framework/exception.h>
#include <orvanecmd/support/handoff_receiver.h>
#include <orvanecmd/support/handoff_types.h>
#include <orvanecmd/support/md5.h>
#include <orvanecmd/support/owned_array.h>
#include <orvanecmd/support/process_counter.h>
#include <orvanecmd/support/safe_name.h>
#include <orvanecmd/support/sha1.h>
#include <orvanecmd/support/shared_memory.h>
#include <orvanecmd/support/single_instance.h>
#include <orvanecmd/support/version.h>

#define VERSION_TEXT(number) #number
#define VERSION_OF(major, minor, patch) VERSION_TEXT(major) "." VERSION_TEXT(minor) "." VERSION_TEXT(patch)

constexpr bool SameText(const char *a, const char *b) { return *a == *b && (*a == '\0' || SameText(a + 1, b + 1)); }
static_assert(SameText(ORVANE_VERSION_STRING,
                       VERSION_OF(ORVANE_VERSION_MAJOR, ORVANE_VERSION_MINOR, ORVANE_VERSION_PATCH)),
              "ORVANE_VERSION_STRING is not MAJOR.MINOR.PATCH");

// The caller's own names.
class Exception {
public:
    const char *What() const { return "the caller's Exception"; }
};
class AnsiString {
public:
    std::string text = "the caller's AnsiString";
};
template <typename T>
class CArray {
public:
    T item;
};
int InstanceMutex = 1;
std::string SharedDataName = "the caller's SharedDataName";
void Sha1HexOfText(const char *, char *out) { std::strcpy(out, "the caller's Sha1HexOfText"); }
// One more for each other header.
struct CHandOffReceiver {};
struct CMemMapFile {};
int Md5Transform, ComposeSafeName, FindProcessCounterPath;

namespace {

int Fail(const std::string &what) {
    std::printf("FAILED %s\n", what.c_str());
    return 1;
}

// This process is the first instance; a second receiver, a later instance, hands it a text.
int HandOff() {
    const std::string title = "orvanecmd_no_global_names_" + std::to_string(GetCurrentProcessId());
    try {
        orvane::CHandOffReceiver first(title.c_str(), "NoGlobalNames", nullptr);
        if (!first.IsFirstInstance()) return Fail("handoff: not the first instance");
        {
            orvane::CHandOffReceiver later(title.c_str(), "NoGlobalNames", "handed over");
            if (later.Outcome() != orvane::HandOffOutcome::HandedOff) return Fail("handoff: not handed off");
            if (title + "NoGlobalNames_multiple_data" != orvane::SharedDataName || !orvane::InstanceMutex)
                return Fail("handoff: the library's globals do not name its check");
        }
        char *text = first.TakeText();
        std::printf("handoff %s\n", text ? text : "(none)");
        delete[] text;
        return 0;
    } catch (const orvane::Exception &error) {
        return Fail(std::string("handoff: ") + error.Message.c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("usage: no_global_names <text>\n", stderr);
        return 2;
    }
    char own[64];
    Sha1HexOfText(argv[1], own);
    CArray<AnsiString> ownArray;
    if (std::string(own) != "the caller's Sha1HexOfText" || ownArray.item.text != "the caller's AnsiString" ||
        InstanceMutex != 1 || SharedDataName != "the caller's SharedDataName" ||
        std::string(Exception().What()) != "the caller's Exception")
        return Fail("the caller's own names");

    char hex[41];
    orvane::Sha1HexOfText(argv[1], hex);
    std::printf("version %s\nsha1 %s\n", ORVANE_VERSION_STRING, hex);
    return HandOff();
}
