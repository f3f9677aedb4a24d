#pragma once
// The hot loops of the index count bits on every step. The default x86-64
// build may not assume the POPCNT instruction, so those functions are
// compiled twice and the variant this processor can run is chosen when the
// program starts, as the matcher's scan is.

#if defined(__x86_64__)
#define VORLANT_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define VORLANT_POPCOUNT_CLONES
#endif
