// The checks of received bytes, on every build; the receiver itself is tested between
// processes in single_instance_test.
#include "support/handoff_receiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// The bytes in an allocation of exactly their size, so that AddressSanitizer sees any
// read past them; on Windows they end where a page that may not be read begins, so that
// such a read faults there too.
class Exact {
public:
    explicit Exact(const std::string &bytes) {
#ifdef _WIN32
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize, readable = (bytes.size() + page - 1) / page * page;
        base_ = static_cast<char *>(VirtualAlloc(nullptr, readable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD was = 0;
        if (!base_ || !VirtualProtect(base_ + readable, page, PAGE_NOACCESS, &was)) throw std::bad_alloc();
        data_ = base_ + readable - bytes.size();
#else
        owned_.reset(new char[bytes.size()]);
        data_ = owned_.get();
#endif
        bytes.copy(data_, bytes.size());
    }
#ifdef _WIN32
    ~Exact() { VirtualFree(base_, 0, MEM_RELEASE); }
#endif
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    const char *get() const { return data_; }

private:
#ifdef _WIN32
    char *base_ = nullptr;
#else
    std::unique_ptr<char[]> owned_;
#endif
    char *data_ = nullptr;
};

}  // namespace

TEST(HandOffShapes, MessageIsAHandOffOnlyWithOneNulAtItsEnd) {
    const std::string nul(1, '\0');
    struct Case {
        std::string bytes;
        bool handOff;
    };
    const Case cases[] = {
        {nul, true},  // the empty text
        {"text" + nul, true},
        {std::string(1023, 'a') + nul, true},   // 1024 bytes
        {std::string(1024, 'a') + nul, false},  // 1025 bytes
        {"", false},                            // cbData 0
        {"text", false},                        // no NUL
        {"te" + nul + "xt" + nul, false},       // an inner NUL
        {nul + nul, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes.size()) + " bytes");
        EXPECT_EQ(IsHandOffMessage(Exact(c.bytes).get(), c.bytes.size()), c.handOff);
    }
    EXPECT_FALSE(IsHandOffMessage(nullptr, 0));
    EXPECT_FALSE(IsHandOffMessage(nullptr, 5));
}

TEST(HandOffShapes, BlockHoldsATextOnlyBeforeANulWithinItsFirst1024Bytes) {
    const std::string nul(1, '\0');
    struct Case {
        std::string bytes;
        size_t length;
    };
    const Case cases[] = {
        {"text" + nul + "old rest", 4},
        {std::string(1023, 'a') + nul, 1023},
        {std::string(1024, 'a') + nul, 0},  // the NUL lies past the block's 1024 bytes
        {nul + "text" + nul, 0},            // empty: no text
        {"text", 0},                        // a short view without a NUL: nothing read past it
        {std::string(1024, 'a'), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes.size()) + " bytes");
        EXPECT_EQ(HandOffBlockTextLength(Exact(c.bytes).get(), c.bytes.size()), c.length);
    }
    EXPECT_EQ(HandOffBlockTextLength(nullptr, 1024), 0u);
}

namespace {

// A request's bytes: the tag, `count`, then each of `strings` (directory first) as UTF-16LE
// units with a 0 unit after it.
std::string Request(uint32_t count, const std::vector<std::u16string> &strings) {
    std::string bytes(kHandOffRequestTag, sizeof kHandOffRequestTag);
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((count >> shift) & 0xFF);
    for (const std::u16string &text : strings) {
        for (char16_t unit : text + u'\0') {
            bytes += static_cast<char>(unit & 0xFF);
            bytes += static_cast<char>(unit >> 8);
        }
    }
    return bytes;
}

}  // namespace

TEST(HandOffShapes, RequestIsWholeWithinItsLimitsAndNeverATextMessage) {
    const std::u16string longest(kMaxRequestUnits - 1, u'\x3042');
    struct Case {
        const char *name;
        std::string bytes;
        bool request;
    };
    const Case cases[] = {
        {"no arguments", Request(0, {u"C:\\docs"}), true},
        {"every unit as it is", Request(3, {u"", u"\xFF02\x00AD\xD83D\xDE00", u"\xDC00", u""}), true},
        {"longest argument", Request(1, {u"C:\\", longest}), true},
        {"argument one unit longer", Request(1, {u"C:\\", longest + u'x'}), false},
        {"arguments together too long", Request(2, {u"C:\\", longest, u"x"}), false},
        {"longest directory", Request(0, {longest}), true},
        {"directory one unit longer", Request(0, {longest + u'x'}), false},
        {"fewer strings than counted", Request(2, {u"C:\\", u"one"}), false},
        {"a string more than counted", Request(0, {u"C:\\", u"one"}), false},
        {"no strings", Request(0, {}), false},
        {"32,768 empty arguments", Request(kMaxRequestUnits, std::vector<std::u16string>(kMaxRequestUnits + 1)), true},
        {"count beyond any request", Request(0xFFFFFFFF, {u"C:\\"}), false},
        {"an odd byte after the end", Request(0, {u"C:\\"}) + 'x', false},
        {"last string unterminated", Request(0, {u"C:\\"}).substr(0, 12), false},
        {"odd-sized, unterminated", Request(0, {u"C:\\"}).substr(0, 11), false},
        {"header alone", Request(0, {}).substr(0, 7), false},
        {"another tag", "\0RQ\2" + Request(0, {u"C:\\"}).substr(4), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsHandOffRequest(Exact(c.bytes).get(), c.bytes.size()), c.request);
        EXPECT_FALSE(IsHandOffMessage(Exact(c.bytes).get(), c.bytes.size())) << "a receiver of texts takes no request";
    }
    EXPECT_FALSE(IsHandOffRequest(nullptr, 16));
}
