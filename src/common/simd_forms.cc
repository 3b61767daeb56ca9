#include "common/simd_forms.h"

#include <cstdlib>
#include <cstring>

#include "common/simd.h"

#if defined(QZR_X86_DISPATCH)
#include <cpuid.h>
#endif

namespace qzr {
namespace {

#if defined(QZR_X86_DISPATCH)
// LZCNT, which not every compiler's __builtin_cpu_supports names.
bool has_lzcnt() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & (1u << 5)) != 0;
}
#endif

bool cpu_runs(SimdForm form) {
  switch (form) {
    case SimdForm::portable:
      return true;
    case SimdForm::sse2:
#if defined(QZR_SSE2)
      return true;  // the build's baseline
#else
      return false;
#endif
    case SimdForm::avx2:
    case SimdForm::avx512:
#if defined(QZR_X86_DISPATCH)
      // Reported only where the system also saves the wider registers.
      __builtin_cpu_init();
      if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
            __builtin_cpu_supports("popcnt") && has_lzcnt()))
        return false;
      return form == SimdForm::avx2 || (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"));
#else
      return false;
#endif
  }
  return false;
}

constexpr SimdForm kForms[] = {SimdForm::portable, SimdForm::sse2, SimdForm::avx2, SimdForm::avx512};

}  // namespace

const char* simd_form_name(SimdForm form) {
  switch (form) {
    case SimdForm::portable:
      return "portable";
    case SimdForm::sse2:
      return "sse2";
    case SimdForm::avx2:
      return "avx2";
    case SimdForm::avx512:
      return "avx512";
  }
  return "portable";
}

const std::vector<SimdForm>& runnable_simd_forms() {
  static const std::vector<SimdForm> forms = [] {
    std::vector<SimdForm> v;
    for (SimdForm f : kForms)
      if (cpu_runs(f)) v.push_back(f);
    return v;
  }();
  return forms;
}

SimdForm best_simd_form(SimdForm cap) {
  SimdForm best = SimdForm::portable;
  for (SimdForm f : runnable_simd_forms())
    if (f <= cap) best = f;
  return best;
}

SimdForm chosen_simd_form() {
  static const SimdForm chosen = [] {
    SimdForm cap = SimdForm::avx512;
    if (const char* asked = std::getenv("QZR_SIMD"))
      for (SimdForm f : kForms)
        if (std::strcmp(asked, simd_form_name(f)) == 0) cap = f;
    return best_simd_form(cap);
  }();
  return chosen;
}

}  // namespace qzr
