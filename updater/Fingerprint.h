// The identity of a chip read through its boot ROM: four words, word 0 first, all zero
// before a reading.
#ifndef _Fingerprint_H_
#define _Fingerprint_H_

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

#endif
