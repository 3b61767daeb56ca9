// The forms of the vector kernels that a kernel with several may run, and
// the one it runs: the best the build holds and the CPU can run, capped by
// the environment variable QZR_SIMD (avx512, avx2, sse2 or portable; a form
// the CPU lacks falls to the best one below it, another value is ignored),
// read once. Every form gives the same bytes; the cap is for measuring and
// testing whole-program runs.
#pragma once

#include <vector>

namespace qzr {

enum class SimdForm { portable, sse2, avx2, avx512 };

// The name QZR_SIMD takes for the form.
const char* simd_form_name(SimdForm form);

// The forms this build holds and this CPU (and its system) can run, from
// the narrowest; portable always.
const std::vector<SimdForm>& runnable_simd_forms();

// The best runnable form at most `cap`.
SimdForm best_simd_form(SimdForm cap);

// The form the kernels run: best_simd_form of the cap QZR_SIMD sets, the
// widest when it sets none. Chosen on first use, safe from any thread.
SimdForm chosen_simd_form();

}  // namespace qzr
