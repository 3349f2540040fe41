#pragma once
// The build settings both builds must share, checked where a file that
// depends on them includes this: the x86 toolchain file sets them, and a
// build without them must not compile.
#include <ctime>

static_assert(sizeof(std::time_t) == 8,
              "time_t must be 64 bits (define __MINGW_USE_VC2005_COMPAT): a 32-bit time_t ends in January 2038");

#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "x86 arithmetic must be SSE2 (-msse2 -mfpmath=sse): x87 extended precision computes differently from x64"
#endif
