#include "codec/dequantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace qzr {
namespace {

// The floating-point form: bias in single precision, p -/+ bias in double.
int32_t float_form(int16_t step, int16_t v) {
  if (v == 0) return 0;
  const float bias = static_cast<float>(step * 0.18 - 0.5);
  const int32_t p = step * v;
  return static_cast<int32_t>(v > 0 ? p - static_cast<double>(bias) : p + static_cast<double>(bias));
}

TEST(Dequantize, WorkedValues) {
  struct Case {
    int16_t step, v;
    int32_t result;
  };
  const Case cases[] = {{1, 1, 1},       {1, -1, -1}, {2, 1, 2},    {3, 1, 2},     {3, -1, -2},
                        {10, 1, 8},      {10, 3, 28}, {25, 1, 21},  {25, -1, -21}, {40, 2, 73},
                        {100, -7, -682}, {0, 5, 0},   {-10, 1, -7}, {-10, -1, 7},  {7, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(dequantize_value(c.step, c.v), c.result) << c.step << "," << c.v;
    EXPECT_EQ(float_form(c.step, c.v), c.result) << c.step << "," << c.v;
  }
}

TEST(Dequantize, ExactAndFloatFormsAgreeEverywhere) {
  for (int step = -32768; step <= 32767; step += 97) {
    for (int v = -16383; v <= 16383; v += 131) {
      ASSERT_EQ(dequantize_value(static_cast<int16_t>(step), static_cast<int16_t>(v)),
                float_form(static_cast<int16_t>(step), static_cast<int16_t>(v)))
          << step << "," << v;
    }
  }
  for (int m = -600; m <= 600; ++m) {  // steps where the bias is an integer
    const int step = 25 + 50 * m;
    if (step < -32768 || step > 32767) continue;
    for (int v : {-16383, -2, -1, 1, 2, 16383})
      ASSERT_EQ(dequantize_value(static_cast<int16_t>(step), static_cast<int16_t>(v)),
                float_form(static_cast<int16_t>(step), static_cast<int16_t>(v)));
  }
}

TEST(Dequantize, BandsInIndexOrderWithTheirSteps) {
  // L = 3, count 4096: bands of 64 at 0..192, of 256 from 256, of 1024 from 1024.
  const int32_t count = 4096;
  std::vector<int32_t> c(count, 1);
  c[100] = 0;  // zero stays zero at any step
  std::vector<int16_t> steps = {1, 2, 4, 8, 10, 20, 40, 100, 200, 400};
  dequantize_plane(c, count, 3, steps);
  EXPECT_EQ(c[100], 0);
  c[100] = dequantize_value(steps[1], 1);
  const int starts[] = {0, 64, 128, 192, 256, 512, 768, 1024, 2048, 3072, 4096};
  for (int b = 0; b < 10; ++b)
    for (int i = starts[b]; i < starts[b + 1]; ++i)
      ASSERT_EQ(c[static_cast<size_t>(i)], dequantize_value(steps[static_cast<size_t>(b)], 1)) << i;
  // No level writes nothing.
  std::vector<int32_t> d(16, -99);
  dequantize_plane(d, 16, 0, steps);
  EXPECT_EQ(d, std::vector<int32_t>(16, -99));
}

}  // namespace
}  // namespace qzr
