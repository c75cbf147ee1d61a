// Standard Base64 (A-Z, a-z, 0-9, "+", "/", "=" padding), in which BIRD files travel
// inside the update server's answers.
#ifndef _base64_H_
#define _base64_H_

#include <cstddef>

// Returns a new null-terminated text of 4 * ceil(length / 3) characters (also stored in
// *outLength), or null when memory runs out. Release it with free().
char *base64_encode(const unsigned char *data, size_t length, size_t *outLength);

// Returns a new buffer of *outLength bytes followed by a zero byte, or null when the text
// is not Base64: a length that is not a multiple of 4, a character outside the alphabet,
// or "=" anywhere but in the last two places (and then only as a run to the end). An
// empty text gives an empty buffer. Release it with free().
unsigned char *base64_decode(const char *text, size_t length, size_t *outLength);

#endif
