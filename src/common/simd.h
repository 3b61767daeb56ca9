// Which form of the vector kernels is compiled: the SSE2 one on x86, unless
// the build asks for the portable forms (QZR_NO_SIMD, CMake's QZR_PORTABLE),
// which every other target compiles and which an x86 build can thus run and
// test. Both forms give the same bytes.
#pragma once

#if defined(__SSE2__) && !defined(QZR_NO_SIMD)
#define QZR_SSE2 1
#include <emmintrin.h>
#endif
