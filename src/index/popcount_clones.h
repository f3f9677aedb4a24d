#pragma once
// The hot loops of the index count bits on every step. The default x86-64
// build may not assume the POPCNT instruction, so those functions are
// compiled twice and the variant this processor can run is chosen when the
// program starts, as the matcher's scan is.

// clang (the fuzz build's compiler) leaves some library templates that a
// clone calls undefined at link time, so its builds count bits one way.
#if defined(__x86_64__) && !defined(__clang__)
#define VORLANT_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define VORLANT_POPCOUNT_CLONES
#endif
