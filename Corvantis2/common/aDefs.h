// Model codes: the byte a module reports as its model.
#ifndef _aDefs_H_
#define _aDefs_H_

#include <cstdint>

// The display name of a model code, or "Unknown". The text is static.
const char *aDefs_GetModelName(uint32_t model);

#endif
