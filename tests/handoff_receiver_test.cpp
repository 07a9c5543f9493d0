// The checks of received bytes, on every build; the receiver itself is tested between
// processes in single_instance_test.
#include "support/handoff_receiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// The bytes in an allocation of exactly their size, so that AddressSanitizer sees any
// read past them.
std::unique_ptr<char[]> Exact(const std::string &bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size()]);
    bytes.copy(copy.get(), bytes.size());
    return copy;
}

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
