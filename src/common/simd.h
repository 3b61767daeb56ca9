// Which form of the vector kernels is compiled: the SSE2 one on x86, unless
// the build asks for the portable forms (QZR_NO_SIMD, CMake's QZR_PORTABLE),
// which every other target compiles and which an x86 build can thus run and
// test. Both forms give the same bytes.
//
// On x86-64 with GCC or Clang (not Windows, whose GCC does not align the
// stack for the wider registers' spills) a kernel may also hold AVX2 and
// AVX-512 forms, built beside the baseline code as functions of their own
// (QZR_X86_DISPATCH) and chosen at run time by what the CPU has
// (common/simd_forms.h).
#pragma once

#if defined(__SSE2__) && !defined(QZR_NO_SIMD)
#define QZR_SSE2 1
#include <emmintrin.h>
#endif

#if defined(QZR_SSE2) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define QZR_X86_DISPATCH 1
#endif
