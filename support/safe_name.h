#pragma once

// Joins prefix, middle and suffix into one name that is safe as a file or
// object name. In the middle text only, ( and ) become [ and ], and \ / # *
// become _; each byte is judged by itself, with no regard to double-byte
// characters (so a Shift-JIS character whose second byte is 0x5C changes).
// The prefix and suffix are taken unchanged; none of the texts may be null.
// Returns a new array of exactly strlen(prefix) + strlen(middle) +
// strlen(suffix) + 1 bytes, made with new[]: the caller releases it with
// delete[]. Throws std::bad_alloc; nothing stays allocated then.
char *ComposeSafeName(const char *prefix, const char *middle, const char *suffix);
