#pragma once

namespace orvane {

// Joins prefix, middle and suffix into one name that is safe as a file or
// object name. In the middle text only, ( and ) become [ and ], and \ / # *
// become _; every other byte, 0x80 to 0xFF included, is copied unchanged.
// The prefix and suffix are taken unchanged; none of the texts may be null.
//
// Bytes outside ASCII: the middle is read byte by byte, with no code page and
// no regard to double-byte characters. A Shift-JIS (code page 932) lead byte
// (0x81-0x9F, 0xE0-0xFC) is never one of the six bytes above, and of them only
// 0x5C (\) can be a trail byte (0x40-0x7E, 0x80-0xFC): such a trail byte becomes
// 0x5F, so the character turns into another one, not into two bytes that are
// no character. 表 (0x95 0x5C) becomes 0x95 0x5F (廟), ソ (0x83 0x5C) becomes
// 0x83 0x5F (ダ); the lead byte stays. A UTF-8 character beyond ASCII passes
// unchanged: every byte of its sequence is 0x80 or above.
//
// Returns a new array of exactly strlen(prefix) + strlen(middle) +
// strlen(suffix) + 1 bytes, made with new[]: the caller releases it with
// delete[]. Throws std::bad_alloc; nothing stays allocated then.
char *ComposeSafeName(const char *prefix, const char *middle, const char *suffix);

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::ComposeSafeName;
#endif
