// The usage texts, written to the standard error stream.
#ifndef _Usage_H_
#define _Usage_H_

#include <cstdio>

// The short usage; with `full` also the parameters and commands and the samples, and with
// `extended` as well the extended parameters and commands.
void _display_usage(bool extended, bool full);
// The same texts on any stream.
void _write_usage(FILE *out, bool extended, bool full);

#endif
